// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/retrievalsteps.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "catalog/articlejournal.h"
#include "catalog/picturelist.h"
#include "config/appsettings.h"
#include "config/serverentry.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "model/groupfolder.h"
#include "model/locks.h"
#include "nntp/fillservers.h"
#include "nntp/nntpconnection.h"
#include "nntp/nntpquitexception.h"
#include "nntp/readerthread.h"
#include "nntp/readingposition.h"
#include "platform/paths.h"

namespace qm {
namespace {

std::string stopReason(int cause) {
    return cause == ReaderRunState::NoJournal ? "the article journal cannot be written"
                                              : "the disk is full";
}

}  // namespace

bool isEligible(const GroupEntry& group) {
    const int flags = group.flags();
    return (flags & Active) && (flags & Selected) && !(flags & Finished);
}

RetrievalSteps::RetrievalSteps(AppSettings& settings, Decoder& decoder, ReaderThread& reader,
                               SavedArticle& article, ReaderRunState& run)
    : m_settings(settings),
      m_decoder(decoder),
      m_reader(reader),
      m_connection(reader.connection()),
      m_article(article),
      m_run(run) {
    m_inputs.dataDirectory = settings.dataDirectory;
    m_inputs.log = &settings.logFile;
}

void RetrievalSteps::log(std::string_view line) const {
    m_settings.frontend().appendLog(line);
}

void RetrievalSteps::setGroup(GroupEntry& group, const GroupFolder& folder) {
    m_article.setGroup(folder);
    m_inputs.outputDirectory = folder.path();
    m_inputs.group = &group;
}

RetrievalSteps::Verdict RetrievalSteps::filter(std::string_view subject, int lines) const {
    if (m_settings.skipShort != 0 && lines <= m_settings.skipLimit) {
        log("Skip short article " + std::string(subject));
        return Verdict::SkipShort;
    }
    if (m_settings.killTest(subject)) {
        log("Exclude " + std::string(subject));
        return Verdict::Exclude;
    }
    return Verdict::Take;
}

bool RetrievalSteps::isRetrieved(const GroupEntry& group, std::string_view messageId) const {
    if (messageId.empty() || !m_settings.messageIds.contains(messageId, &m_settings.logFile))
        return false;
    log(group.name() + ": skip retrieved message " + std::string(messageId));
    return true;
}

bool RetrievalSteps::isArticleAsked(const GroupEntry& group, std::int64_t number,
                                    std::string_view expectedId) {
    const ArticleReply& reply = m_connection.lastArticle();
    std::string problem;
    if (reply.number != number) {
        problem = "the server answered with article " +
                  (reply.number < 0 ? std::string("?") : std::to_string(reply.number));
    } else if (!reply.messageId.empty() && !reply.headerId.empty() &&
               reply.messageId != reply.headerId) {
        problem = "its reply names " + reply.messageId + " and its header " + reply.headerId;
    } else {
        for (const std::string& id : {reply.messageId, reply.headerId})
            if (!id.empty() && !expectedId.empty() && id != expectedId)
                problem = "it came as " + id + " where " + std::string(expectedId) + " was asked";
    }
    if (problem.empty()) {
        if (m_article.messageId.empty()) m_article.messageId = std::string(expectedId);
        return true;
    }
    const std::string what = group.name() + ": article " + std::to_string(number);
    log(what + ": " + problem + "; not taken, asked for again next run");
    noteFailure(what + " was answered with another article");
    return false;
}

RetrievalSteps::Decoded RetrievalSteps::decodeAndRecord(GroupEntry& group,
                                                        const std::function<void()>& whileLocked) {
    Decoded decoded = Decoded::Recorded;
    DecodeResult result;
    {
        std::lock_guard lock(DecodeLock);
        if (whileLocked) whileLocked();
        // Another reader may have taken the same article since it was checked.
        if (isRetrieved(group, m_article.messageId)) {
            decoded = Decoded::Duplicate;
        } else {
            m_inputs.subject = m_article.subject();
            result = m_article.decode(m_decoder, m_inputs, m_settings.keepDup == 0,
                                      m_settings.keepText != 0);
            if (!result.outputFailed()) recordArticle(m_article);
        }
    }
    if (m_settings.keepText == 0) m_article.discard();
    if (!result.outputFailed()) return decoded;
    outputFailed(group, result);
    return Decoded::Failed;
}

bool RetrievalSteps::canFill() const {
    return m_run.fill && !m_run.fill->empty();
}

bool RetrievalSteps::isDamagedYencPart() const {
    return canFill() && isDamagedYenc(m_article.text());
}

bool RetrievalSteps::replaceDamaged(GroupEntry& group, std::int64_t number,
                                    const std::string& messageId) {
    log(group.name() + ": article " + std::to_string(number) +
        " fails its yEnc check; a sound copy is asked of the fill servers");
    const std::string text(m_article.text());
    const std::string header = m_article.header;
    const std::string subject = m_article.subject();
    const int lines = m_article.lines.load();
    m_article.discard();
    std::vector<bool> found;
    const Lacking item{number, messageId};
    if (!fillLacking(group, std::span(&item, 1), &found)) return false;
    if (found.at(0)) return true;
    // As the main server sent it.
    m_article.reset();
    m_article.number = number;
    m_article.messageId = messageId;
    m_article.setSubject(subject);
    m_article.lines = lines;
    m_article.header = header;
    (void)m_article.open(m_settings.frontend(), false);
    m_article.append(text);
    m_article.finish();
    group.ensureStats().retrieved += 1;
    return decodeAndRecord(group) != Decoded::Failed;
}

bool RetrievalSteps::fillLacking(GroupEntry& group, std::span<const Lacking> items,
                                 std::vector<bool>* foundOut) {
    if (items.empty() || !canFill()) return true;
    GroupStats& stats = group.ensureStats();
    std::vector<std::string> ids;
    ids.reserve(items.size());
    for (const Lacking& item : items) ids.push_back(item.messageId);
    bool failed = false;
    const std::vector<bool> found = m_run.fill->fetch(&group, ids, m_article, [&](std::size_t i) {
        m_article.number = items[i].number;
        // The same checks as an article of the main server's: its overview line may have
        // been passed over unread (a number the overview left out).
        if (failed || isRetrieved(group, m_article.messageId) ||
            filter(m_article.subject(), m_article.lines.load()) != Verdict::Take) {
            m_article.discard();
            return;
        }
        stats.retrieved += 1;
        stats.filled += 1;
        if (decodeAndRecord(group) == Decoded::Failed) failed = true;
    });
    std::string asked;
    for (const std::string& name : m_run.fill->names()) asked += ", " + name;
    const ServerEntry* main = m_connection.server();
    asked = (main ? main->addressText() : m_settings.server) + asked;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (found[i]) continue;
        // The caller that keeps a copy of its own decodes it and counts nothing as lacking.
        if (!foundOut) stats.lacking += 1;
        log(group.name() + ": article " + std::to_string(items[i].number) + " " +
            items[i].messageId + " is on no server (asked " + asked + ")");
    }
    if (foundOut) *foundOut = found;
    return !failed;
}

void RetrievalSteps::recordArticle(const SavedArticle& article) {
    if (!article.messageId.empty()) m_settings.messageIds.add(article.messageId, true);
}

bool RetrievalSteps::pendingGroups() const {
    std::lock_guard lock(DecodeLock);
    return !m_reader.pending().empty();
}

void RetrievalSteps::endTurn(const AppSettings& settings, GroupEntry& group) {
    std::lock_guard lock(group.ensureStats().saveMutex);
    // The picture list before the position: a kill between the two fetches articles again
    // (the journal skips them), never leaves decoded files out of "data.lst".
    savePictureList(settings, group);
    writeLastFile(settings, group);
}

void RetrievalSteps::outputFailed(GroupEntry& group, const DecodeResult& result) {
    // The article was not stored whole: it is not dealt with, so the reading position stays
    // before it and the next run fetches it again.
    const std::string what = result.path + " (" + std::strerror(result.error) + ")";
    log("Fail to write " + what + ": article " + std::to_string(m_article.number) + " of " +
        group.name() + " is fetched again next run");
    noteFailure("Fail to write " + what);
    // No article after these could be committed either: the whole run stops.
    const bool journal = result.path == joinPath(m_settings.dataDirectory, ArticleJournalName);
    if (result.error == ENOSPC || journal) {
        const int cause =
            result.error == ENOSPC ? ReaderRunState::DiskFull : ReaderRunState::NoJournal;
        m_run.stopCause = cause;
        m_run.stopped = true;
        throw NNTPQuitException("Retrieval stopped", stopReason(cause));
    }
    // Whatever keeps this file from being written would stop every article after it: the
    // group waits for the next run.
    group.clear(Active);
}

void RetrievalSteps::checkStop() const {
    if (m_reader.abortRequested()) throw NNTPQuitException("Abort reading news.", "");
    if (m_run.stopped.load())
        throw NNTPQuitException("Retrieval stopped", stopReason(m_run.stopCause.load()));
}

void RetrievalSteps::stopIfLoginMissing(GroupEntry& group) {
    if (!m_connection.lastReply().is(ReplyOutcome::AuthRequired)) return;
    group.clear(Finished);  // a NEXT refused for the login is no end of the group
    const ServerEntry* server = m_connection.server();
    const std::string host = server ? server->host : m_settings.server;
    // Credentials at hand were tried at the connect or at the prompt: they were refused.
    if (m_connection.loginRefused() ||
        (server && ServerEntry::hasCredentials(server->credentials()))) {
        noteFailure(host + " refused the user name or password");
        throw NNTPQuitException("Login refused", host);
    }
    noteFailure(host + " asks for a login (user name and password) that was not given");
    throw NNTPQuitException("Login required", host);
}

void RetrievalSteps::requireConnection() const {
    // A connection cut by the server answers no more commands; the reader ends instead of
    // reading stale replies as refusals.
    if (m_connection.state() != NNTPConnection::Ready)
        throw NNTPQuitException("NNTP connection failure ", m_settings.server);
}

}  // namespace qm
