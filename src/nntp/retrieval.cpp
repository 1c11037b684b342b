#include "nntp/retrieval.h"

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "catalog/indexpages.h"
#include "catalog/picturelist.h"
#include "config/appsettings.h"
#include "config/groupentry.h"
#include "config/locks.h"
#include "config/serverentry.h"
#include "decode/decoder.h"
#include "decode/savedarticle.h"
#include "nntp/nntpconnection.h"
#include "nntp/nntpquitexception.h"
#include "nntp/readerthread.h"
#include "platform/paths.h"

namespace qm {

bool isEligible(const GroupEntry& group) {
    const int flags = group.flags();
    return (flags & Active) && (flags & Selected) && !(flags & Finished);
}

RetrievalLoop::RetrievalLoop(AppSettings& settings, Decoder& decoder, ReaderThread& reader,
                             SavedArticle& article)
    : m_settings(settings),
      m_decoder(decoder),
      m_reader(reader),
      m_connection(reader.connection()),
      m_article(article) {
    m_inputs.dataDirectory = settings.dataDirectory;
    m_inputs.log = &settings.logFile;
}

void RetrievalLoop::logLine(std::string_view line) const {
    m_settings.frontend().appendLog(line);
}

void RetrievalLoop::run() {
    for (;;) {
        if (pass() > 0) continue;
        // A group assigned while this pass ran is served before the reader gives up.
        std::lock_guard lock(DecodeLock);
        if (m_reader.pending().empty()) return;
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
    int passCount = 0;
    for (GroupEntry* group : groups) {
        if (!isEligible(*group)) continue;
        if (m_connection.currentGroup() != group) {
            requireConnection();
            if (m_connection.selectGroup(*group) != 0) continue;
            if (m_connection.positionUnread()) m_unreadPosition.insert(group);
        }
        ++passCount;
        prepareGroup(*group);
        turn(*group);
        // The picture list before the position: a crash between the two fetches articles
        // again (the journal skips them), never leaves decoded files out of "data.lst".
        savePictureList(m_settings, *group);
        writeLastFile(m_settings, *group);
    }
    return passCount;
}

void RetrievalLoop::prepareGroup(GroupEntry& group) {
    const std::string directory = groupDirectory(m_settings, group);
    if (makeDirectories(directory) != 0)
        logLine("Fail to create data directory " + directory);  // the decoder reports the rest
    prepareDayPages(m_settings, group);
    {
        // The visited table is shared by every reader.
        std::lock_guard lock(DecodeLock);
        m_settings.markVisited(group);
        // A run killed while decoding leaves a hidden part-written file; nobody else would
        // ever remove it.
        if (m_swept.insert(&group).second) removeAbandonedOutputs(joinPath(directory, "news.dat"));
    }
    m_reader.enterGroup(&group);
    m_article.setGroup(m_settings.dataDirectory, group);
    m_inputs.outputDirectory = directory;
    m_inputs.group = &group;
}

void RetrievalLoop::requireConnection() const {
    // A connection cut by the server answers no more commands; the reader ends instead of
    // reading stale replies as refusals.
    if (m_connection.state() != NNTPConnection::Ready)
        throw NNTPQuitException("NNTP connection failure ", m_settings.server);
}

bool RetrievalLoop::pipelining() const {
    // With a filter on, the header decides whether the body is asked for at all.
    return m_settings.skipShort == 0 && !m_settings.killActive();
}

void RetrievalLoop::turn(GroupEntry& group) {
    GroupStats& stats = group.ensureStats();
    const int batch = m_reader.batch();
    for (int i = 0; i < batch && isEligible(group); ++i) {
        m_article.number = -1;
        if (m_reader.abortRequested()) throw NNTPQuitException("Abort reading news.", "");
        m_article.reset();
        requireConnection();
        // How many steps of the turn follow this one.
        const int stepsLeft = batch - i - 1;
        if (i == 0) {
            // Positioning: the server's article pointer goes to the saved position.
            const std::string position = std::to_string(stats.current.load());
            auto unread = m_unreadPosition.find(&group);
            if (unread == m_unreadPosition.end() && stepsLeft > 0 && pipelining())
                m_connection.sendAhead({"HEAD " + position, "NEXT"});
            const int head = m_connection.fetchHead(position, m_article);
            if (unread != m_unreadPosition.end()) {
                if (head == 0) {
                    m_unreadPosition.erase(unread);
                    if (takeArticle(group, true, stepsLeft) == Step::EndTurn) return;
                } else if (m_connection.state() == NNTPConnection::Ready) {
                    m_unreadPosition.erase(unread);  // refused: there is no such article
                }
            }
        } else {
            if (m_connection.nextArticle(m_article) != 0) {
                stats.current = m_article.number;
                continue;
            }
            // NEXT named the article the group is at: nothing new, and not twice.
            if (group.has(Finished)) break;
            if (takeArticle(group, false, stepsLeft) == Step::EndTurn) return;
        }
        if (m_reader.abortRequested()) throw NNTPQuitException("Abort switching group.", "");
    }
}

void RetrievalLoop::requestAhead(std::int64_t number, int stepsLeft) {
    const std::string text = std::to_string(number);
    const std::string head = "HEAD " + text;
    const std::string body = "BODY " + text;
    if (stepsLeft > 0)
        m_connection.sendAhead({head, body, "NEXT"});
    else
        m_connection.sendAhead({head, body});
}

std::optional<ArticleReference> RetrievalLoop::nextToAskFor(GroupEntry& group, int stepsLeft) {
    if (stepsLeft <= 0 || !isEligible(group) || !pipelining()) return std::nullopt;
    const std::string* reply = m_connection.answerNextAhead();
    if (!reply) return std::nullopt;
    std::optional<ArticleReference> next = parseNextReply(*reply);
    if (!next || next->number == group.ensureStats().current.load()) return std::nullopt;
    return next;
}

RetrievalLoop::Step RetrievalLoop::takeArticle(GroupEntry& group, bool headerRead, int stepsLeft) {
    GroupStats& stats = group.ensureStats();
    // An article asked for ahead was checked then, and is checked again where it is
    // decoded; a check here would only wait for another reader's decode.
    const bool checkedAhead =
        !headerRead && !m_article.messageId.empty() && m_article.messageId == m_askedAhead;
    m_askedAhead.clear();
    if (!checkedAhead) {
        std::lock_guard lock(DecodeLock);
        if (isRetrieved(group)) return Step::Next;
    }
    // Where the next run resumes if this article is cut off: before it. An unread first
    // article has no position before it; -1 makes the next selectGroup start at it again.
    const std::int64_t before = headerRead ? -1 : stats.current.load();
    const std::string number = std::to_string(m_article.number);
    int result = 0;
    try {
        if (!headerRead && m_connection.commandsAhead() == 0 && pipelining())
            requestAhead(m_article.number, stepsLeft);
        result = headerRead ? m_connection.filterAndFetchBody(number, m_article)
                            : m_connection.retrieveArticle(number, m_article);
    } catch (...) {
        stats.current = before;  // a stop or a broken connection: fetch it again next run
        throw;
    }
    if (result != 0) {
        if (m_connection.state() != NNTPConnection::Ready) {
            stats.current = before;  // cut off: the article is fetched again next run
            return Step::EndTurn;
        }
        if (result == -1) {
            // The server refuses this article's header. Leaving current before it would meet
            // it again at every pass and the group would never move on: step past it.
            stats.current = m_article.number;
        }
        // A NEXT sent ahead has moved the server's pointer past this article already. A new
        // turn would start with a HEAD of this article, which moves nothing when refused, so
        // the turn goes on from the NEXT instead.
        return m_connection.nextAhead() ? Step::Next : Step::EndTurn;
    }
    stats.retrieved += 1;
    // The article is complete: a stop or a lost connection while the next one is asked for
    // must not keep it from being decoded, or it would be neither decoded nor fetched again.
    std::exception_ptr failure;
    std::optional<ArticleReference> next;
    try {
        next = nextToAskFor(group, stepsLeft);
    } catch (...) {
        failure = std::current_exception();
    }
    {
        // The next article's commands go out before this one is decoded, so the server sends
        // it while this side decodes and writes. Its check, its commands (a write of a few
        // bytes) and this article's decode share one hold of the lock: with several readers
        // every further hold waits for another reader's decode.
        std::lock_guard lock(DecodeLock);
        if (next &&
            !(!next->messageId.empty() && m_settings.messageIds.contains(next->messageId))) {
            try {
                requestAhead(next->number, stepsLeft - 1);
                m_askedAhead = next->messageId;
            } catch (...) {
                failure = std::current_exception();
            }
        }
        // Another reader may have taken the same article since it was checked.
        if (!isRetrieved(group)) {
            if (!m_article.messageId.empty()) m_settings.messageIds.add(m_article.messageId, true);
            m_inputs.subject = m_article.subject();
            m_article.decode(m_decoder, m_inputs, m_settings.keepDup == 0,
                             m_settings.keepText != 0);
        }
    }
    if (m_settings.keepText == 0) m_article.discard();
    if (failure) std::rethrow_exception(failure);
    return Step::Next;
}

bool RetrievalLoop::isRetrieved(GroupEntry& group) {
    if (m_article.messageId.empty() ||
        !m_settings.messageIds.contains(m_article.messageId, &m_settings.logFile))
        return false;
    group.ensureStats().current = m_article.number;
    logLine(group.name() + ": skip retrieved message " + m_article.messageId);
    return true;
}

}  // namespace qm
