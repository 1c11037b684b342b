// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/retrieval.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "catalog/indexpages.h"
#include "config/appsettings.h"
#include "config/serverentry.h"
#include "decode/decoder.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "model/groupfolder.h"
#include "model/locks.h"
#include "nntp/nntpconnection.h"
#include "nntp/readerthread.h"
#include "nntp/readingposition.h"
#include "platform/paths.h"

namespace qm {

RetrievalLoop::RetrievalLoop(AppSettings& settings, Decoder& decoder, ReaderThread& reader,
                             SavedArticle& article, ReaderRunState& run, const RunOptions& options,
                             GroupTurns& turns, const ConnectionCap& cap,
                             std::function<bool()> groupsToCome)
    : m_settings(settings),
      m_reader(reader),
      m_options(options),
      m_steps(settings, decoder, reader, article, run),
      m_walk(m_steps),
      m_overview(m_steps, turns),
      m_firstVisit(m_steps, options.firstVisit.value_or(settings.firstVisit),
                   options.firstVisitDays.value_or(settings.firstVisitDays)),
      m_turns(turns),
      m_cap(cap),
      m_groupsToCome(std::move(groupsToCome)) {}

void RetrievalLoop::run() {
    for (;;) {
        if (pass() > 0) continue;
        // A group assigned while this pass ran is served before the reader gives up.
        if (m_steps.pendingGroups()) continue;
        if (!help()) return;
    }
}

bool RetrievalLoop::help() {
    constexpr std::chrono::milliseconds Poll{50};
    NNTPConnection& connection = m_steps.connection();
    for (;;) {
        m_steps.checkStop();
        if (!m_options.overview || connection.overview() == NNTPConnection::Overview::None ||
            m_cap.contended())
            return false;
        if (SharedGroupTurn* shared = m_turns.helpable()) {
            GroupEntry& group = shared->group();
            // The owner has read "Last" and placed the position: GROUP alone here.
            m_steps.requireConnection();
            if (connection.currentGroup() != &group && !connection.selectGroup(group).ok()) {
                m_steps.stopIfLoginMissing(group);
                return false;
            }
            m_reader.enterGroup(&group);
            m_steps.setGroup(group, groupFolder(m_settings, group));
            m_overview.run(group, true);
            RetrievalSteps::endTurn(m_settings, group);
            return true;
        }
        if (!m_groupsToCome || !m_groupsToCome()) return false;
        if (m_steps.pendingGroups()) return true;
        m_turns.wait(Poll);
    }
}

int RetrievalLoop::pass() {
    std::vector<GroupEntry*> groups;
    {
        std::lock_guard lock(DecodeLock);
        m_reader.mergePending();
        // The pass walks a copy: the window thread may assign groups meanwhile.
        groups.assign(m_reader.groups().entries().begin(), m_reader.groups().entries().end());
    }
    int eligible = 0;
    for (GroupEntry* group : groups) eligible += isEligible(*group);
    int passCount = 0;
    for (GroupEntry* group : groups) {
        if (!isEligible(*group)) continue;
        m_steps.checkStop();
        if (m_steps.connection().currentGroup() != group && !selectGroup(*group)) continue;
        if (!prepareGroup(*group)) continue;
        ++passCount;
        turn(*group, eligible == 1);
        RetrievalSteps::endTurn(m_settings, *group);
    }
    return passCount;
}

bool RetrievalLoop::selectGroup(GroupEntry& group) {
    m_steps.requireConnection();
    // Positions are per server: a group read from a fill server while the main one was down
    // keeps that server's position apart.
    const ServerEntry* server = m_steps.connection().server();
    const ServerEntry* positions = server == m_settings.currentServer() ? nullptr : server;
    GroupStats& stats = group.ensureStats();
    if (stats.positionServer.exchange(positions) != positions) stats.current = -1;
    readLastFile(m_settings, group);
    const NntpReply selected = m_steps.connection().selectGroup(group);
    if (!selected.ok()) {
        m_steps.stopIfLoginMissing(group);
        // A typo in a group name is a failure of the run, not a quiet zero.
        if (selected.is(ReplyOutcome::NoSuchGroup)) {
            const ServerEntry* server = m_steps.connection().server();
            m_steps.noteFailure("no such group on " + (server ? server->host : m_settings.server) +
                                ": " + group.name());
        }
        return false;
    }
    positionGroup(group);
    return true;
}

void RetrievalLoop::positionGroup(GroupEntry& group) {
    GroupStats& stats = group.ensureStats();
    const std::int64_t first = stats.first.load();
    const std::int64_t last = stats.last.load();
    const std::int64_t current = stats.current.load();
    // The position is the last article dealt with: first - 1 means none of the range yet.
    if (current < 0) {
        stats.current = m_firstVisit.start(group, std::time(nullptr)) - 1;
    } else if (current < first - 1) {
        stats.current = first - 1;  // expired past the position: its first article is next
    } else if (current > last) {
        // A backend that lags behind its own range: going back would fetch everything
        // again that is no longer in the message-id ring. Only a group numbered anew starts
        // over, and as a first visit does, not from its first article.
        if (renumbered(group)) {
            m_steps.log(group.name() + ": numbered anew on the server (its last article " +
                        std::to_string(last) + " is below the reading position " +
                        std::to_string(current) +
                        ", and its newest articles were never retrieved); read as on a first "
                        "visit");
            stats.current = m_firstVisit.start(group, std::time(nullptr)) - 1;
        } else {
            m_steps.log(group.name() + ": the server's last article " + std::to_string(last) +
                        " is below the reading position " + std::to_string(current) +
                        "; the position is kept");
        }
    }
    // The run's progress counts the articles dealt with from here.
    if (stats.runStart.load() < 0) stats.runStart = stats.current.load();
}

bool RetrievalLoop::renumbered(GroupEntry& group) {
    const GroupStats& stats = group.ensureStats();
    const std::int64_t first = stats.first.load();
    const std::int64_t last = stats.last.load();
    NNTPConnection& connection = m_steps.connection();
    std::vector<std::string> probes;
    for (std::int64_t n = last; n >= first && n > 0 && last - n < RenumberProbes; --n)
        probes.push_back("STAT " + std::to_string(n));
    if (probes.empty()) return false;
    connection.sendAhead(probes);
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < probes.size(); ++i) {
        const NntpReply reply = connection.sendCommand(probes[i]);
        m_steps.requireConnection();
        m_steps.stopIfLoginMissing(group);
        const std::optional<ArticleReference> found = parseNextReply(reply);
        if (found && found->number == last - static_cast<std::int64_t>(i) &&
            !found->messageId.empty())
            ids.push_back(found->messageId);
    }
    // Renumbered when the newest articles are all new to this data folder.
    for (const std::string& id : ids)
        if (m_settings.messageIds.contains(id)) return false;
    return !ids.empty();
}

bool RetrievalLoop::prepareGroup(GroupEntry& group) {
    const GroupFolder folder = groupFolder(m_settings, group);
    const std::string& directory = folder.path();
    if (makeDirectories(directory) != 0) {
        // Read on, its articles would be marked retrieved and their files lost: they wait
        // for a run that can keep them.
        const std::string failure = "Fail to create data directory " + directory;
        m_steps.log(failure);
        m_steps.noteFailure(failure);
        group.clear(Active | InProgress);
        return false;
    }
    prepareDayPages(m_settings, group);
    {
        // The visited table is shared by every reader.
        std::lock_guard lock(DecodeLock);
        m_settings.markVisited(group);
        // A run killed while decoding leaves a hidden part-written file; nobody else would
        // ever remove it.
        if (m_swept.insert(&group).second) removeAbandonedOutputs(folder.filesFolder());
    }
    m_reader.enterGroup(&group);
    m_steps.setGroup(group, folder);
    return true;
}

void RetrievalLoop::turn(GroupEntry& group, bool onlyGroup) {
    NNTPConnection& connection = m_steps.connection();
    if (m_options.overview && connection.overview() != NNTPConnection::Overview::None &&
        m_overview.run(group, onlyGroup) == OverviewTurn::Result::Read)
        return;
    m_walk.run(group);
}

}  // namespace qm
