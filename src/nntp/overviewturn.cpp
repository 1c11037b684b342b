#include "nntp/overviewturn.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "config/appsettings.h"
#include "config/groupentry.h"
#include "config/locks.h"
#include "config/results.h"
#include "decode/savedarticle.h"
#include "nntp/nntpconnection.h"
#include "nntp/overviewline.h"
#include "nntp/retrievalsteps.h"

namespace qm {
namespace {

// The subject as the walk sees it in the header: the value after "Subject:", its blank
// included.
std::string headerSubject(const std::string& overviewSubject) {
    return overviewSubject.empty() ? std::string() : " " + overviewSubject;
}

}  // namespace

std::int64_t OverviewTurn::aheadLimit(std::chrono::microseconds roundTrip) {
    // What the line carries in one round trip at LineRate, within bounds: more only fills
    // buffers (and, near the server, the caches), less leaves the line idle.
    const std::int64_t bytes = roundTrip.count() * LineRate / 1000000;
    return std::clamp<std::int64_t>(bytes, MinBytesAhead, MaxBytesAhead);
}

OverviewTurn::Result OverviewTurn::run(GroupEntry& group, bool onlyGroup) {
    GroupStats& stats = group.ensureStats();
    const std::int64_t last = stats.last.load();
    const std::int64_t current = stats.current.load();
    if (current < last) {
        const std::int64_t to = std::min(last, current + WindowLines);
        std::optional<Window> window = select(group, current + 1, to);
        if (!window) return Result::NoOverview;
        const bool prefetch = onlyGroup && window->end < last;
        if (!fetch(group, *window, prefetch)) return Result::Read;
        stats.current = std::max(stats.current.load(), window->end);
    }
    if (stats.current.load() >= last) {
        m_steps.log("No more news from " + group.name());
        group.set(Finished);
    }
    return Result::Read;
}

std::optional<OverviewTurn::Window> OverviewTurn::select(GroupEntry& group, std::int64_t from,
                                                         std::int64_t to) {
    NNTPConnection& connection = m_steps.connection();
    Window window;
    window.end = to;
    const ReplyOutcome asked = connection.requestOverview(from, to);
    if (asked == ReplyOutcome::NoSuchArticle) return window;  // no article in the range
    if (asked != ReplyOutcome::Ok) {
        m_steps.requireConnection();
        m_steps.stopIfLoginMissing(group);
        if (asked != ReplyOutcome::Unsupported) m_steps.log(connection.replyLine());
        return std::nullopt;
    }
    std::vector<OverviewEntry> entries;
    std::string line;
    std::int64_t previous = from - 1;
    while (connection.readLongDataLine(line)) {
        // Numbers outside the range, or not ascending, are no part of the answer.
        std::optional<OverviewEntry> entry = parseOverviewLine(line);
        if (!entry || entry->number <= previous || entry->number > to) continue;
        previous = entry->number;
        entries.push_back(std::move(*entry));
    }
    if (connection.dataTruncated()) m_steps.requireConnection();

    std::vector<bool> retrieved(entries.size(), false);
    {
        std::lock_guard lock(DecodeLock);
        for (std::size_t i = 0; i < entries.size(); ++i)
            retrieved[i] = m_steps.isRetrieved(group, entries[i].messageId);
    }
    // The kill pattern has a lock of its own, never taken with DecodeLock.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (retrieved[i]) continue;
        const OverviewEntry& entry = entries[i];
        if (m_steps.filter(headerSubject(entry.subject), entry.lines) != results::Ok) continue;
        // A size the overview does not give counts as a big article's.
        window.wanted.push_back({entry.number, entry.bytes > 0 ? entry.bytes : 64 * 1024});
    }
    return window;
}

bool OverviewTurn::fetch(GroupEntry& group, const Window& window, bool prefetch) {
    GroupStats& stats = group.ensureStats();
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    const std::vector<Wanted>& wanted = window.wanted;
    const auto deadline = std::chrono::steady_clock::now() + TurnTime;
    const std::int64_t bytesLimit = aheadLimit(connection.roundTrip());
    std::size_t sent = 0;
    std::int64_t bytesAhead = 0;
    bool overtime = false;
    std::vector<std::string> commands;
    auto fits = [&](std::size_t taken) {
        return sent < wanted.size() && sent - taken < Depth &&
               (sent == taken || bytesAhead + wanted[sent].bytes <= bytesLimit);
    };
    for (std::size_t taken = 0; taken < wanted.size(); ++taken) {
        if (taken == sent && overtime) break;  // the rest waits for the next turn
        // Keep the line full: more commands go out before this article's reply is read.
        overtime = overtime || std::chrono::steady_clock::now() > deadline;
        if (!overtime && (sent == taken || sent - taken + RefillCount <= Depth ||
                          bytesAhead + RefillBytes <= bytesLimit)) {
            commands.clear();
            for (; fits(taken); ++sent) {
                commands.push_back("ARTICLE " + std::to_string(wanted[sent].number));
                bytesAhead += wanted[sent].bytes;
            }
            // The next window's overview behind this one's last article: it is there when
            // the next turn asks for it.
            if (sent == wanted.size() && !commands.empty() && prefetch)
                commands.push_back(connection.overviewCommand(
                    window.end + 1, std::min(stats.last.load(), window.end + WindowLines)));
            if (!commands.empty()) connection.sendAhead(commands);
        }

        m_steps.checkStop();
        const Wanted& item = wanted[taken];
        // Every number before it in the window is dealt with: filtered, or not on the server.
        if (stats.current.load() < item.number - 1) stats.current = item.number - 1;
        article.reset();
        const int result = connection.fetchArticle(std::to_string(item.number), article);
        bytesAhead -= item.bytes;
        if (result == results::Ok) {
            stats.retrieved += 1;
            if (m_steps.decodeAndRecord(group) == RetrievalSteps::Decoded::Failed) return false;
            stats.current = item.number;
            continue;
        }
        m_steps.requireConnection();
        if (connection.outcome(NntpCommand::Article) == ReplyOutcome::NoSuchArticle) {
            // Listed, but cancelled or expired since: asking again would never end.
            m_steps.log(group.name() + ": article " + std::to_string(item.number) +
                        " of the overview is not on the server; stepped over");
            stats.current = item.number;
            continue;
        }
        m_steps.stopIfLoginMissing(group);
        // Refused for another reason (the reply is logged): nothing is stepped over, the
        // group waits for the next run.
        group.clear(Active);
        return false;
    }
    return sent == wanted.size();
}

}  // namespace qm
