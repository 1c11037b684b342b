// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/walkturn.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "config/appsettings.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "nntp/nntpconnection.h"
#include "nntp/nntpquitexception.h"
#include "nntp/readerthread.h"
#include "nntp/retrievalsteps.h"

namespace qm {
namespace {

// STAT probes for the first article after a gap: the first write asks for this many, each
// further one for four times as many as the last, up to the limit.
constexpr std::int64_t FirstProbes = 16;
constexpr std::int64_t MaxProbes = 1024;

}  // namespace

bool WalkTurn::pipelining() const {
    // With a filter on, the header decides whether the body is asked for at all.
    const AppSettings& settings = m_steps.settings();
    return settings.skipShort == 0 && !settings.killActive();
}

void WalkTurn::run(GroupEntry& group) {
    GroupStats& stats = group.ensureStats();
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    ReaderThread& reader = m_steps.reader();
    const int batch = reader.batch();
    for (int i = 0; i < batch && isEligible(group); ++i) {
        article.number = -1;
        m_steps.checkStop();
        article.reset();
        m_steps.requireConnection();
        // How many steps of the turn follow this one.
        const int stepsLeft = batch - i - 1;
        if (i == 0) {
            if (position(group, stepsLeft) == Step::EndTurn) return;
        } else {
            if (!connection.nextArticle(article).ok()) {
                m_steps.stopIfLoginMissing(group);
                stats.current = article.number;
                continue;
            }
            // NEXT named the article the group is at: nothing new, and not twice.
            if (group.has(Finished)) break;
            if (takeArticle(group, false, stepsLeft) == Step::EndTurn) return;
        }
        if (reader.abortRequested()) throw NNTPQuitException("Abort switching group.", "");
    }
}

WalkTurn::Step WalkTurn::position(GroupEntry& group, int stepsLeft) {
    GroupStats& stats = group.ensureStats();
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    // Nothing of the server's range dealt with yet: the first article is the next one.
    const bool unread = stats.current.load() < stats.first.load();
    const std::int64_t target = unread ? stats.first.load() : stats.current.load();
    const std::string text = std::to_string(target);
    if (!unread && stepsLeft > 0 && pipelining()) connection.sendAhead({"HEAD " + text, "NEXT"});
    if (connection.fetchHead(text, article).ok()) {
        // Another article's header would set the server's pointer elsewhere.
        if (!m_steps.isArticleAsked(group, target, "")) return stopGroup(group);
        return unread ? takeArticle(group, true, stepsLeft) : Step::Next;
    }
    if (connection.state() != NNTPConnection::Ready) return Step::EndTurn;
    m_steps.stopIfLoginMissing(group);
    // The article there is gone (cancelled, expired) or refused: the server's pointer did not
    // move, so NEXT would start near the group's first article. Go on after it instead.
    switch (findFrom(group, target + 1)) {
        case Found::None:
            // Never backwards: a position above the server's range (a lagging backend) stays.
            stats.current = std::max(stats.current.load(), stats.last.load());
            m_steps.log("No more news from " + group.name());
            group.set(Finished);
            return Step::EndTurn;
        case Found::WrongArticle:
            return stopGroup(group);
        case Found::Article:
            break;
    }
    return takeArticle(group, true, stepsLeft);
}

WalkTurn::Step WalkTurn::stopGroup(GroupEntry& group) {
    // The server answered for another article: nothing is recorded under a number or id not
    // its own, the position stays before it, and the group waits for the next run.
    m_steps.article().discard();
    group.clear(Active);
    return Step::EndTurn;
}

WalkTurn::Found WalkTurn::findFrom(GroupEntry& group, std::int64_t from) {
    GroupStats& stats = group.ensureStats();
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    const std::int64_t last = stats.last.load();
    std::int64_t probes = FirstProbes;
    std::int64_t start = from;
    while (start <= last) {
        const std::int64_t end = std::min(last, start + probes - 1);
        std::vector<std::string> commands;
        for (std::int64_t n = start; n <= end; ++n) commands.push_back("STAT " + std::to_string(n));
        connection.sendAhead(commands);
        std::int64_t found = 0;
        std::string foundId;
        for (std::int64_t n = start; n <= end && found == 0; ++n) {
            m_steps.checkStop();
            if (connection.statArticle(std::to_string(n), article).ok()) {
                if (!m_steps.isArticleAsked(group, n, "")) return Found::WrongArticle;
                found = n;
                foundId = article.messageId;
            }
            m_steps.requireConnection();
            m_steps.stopIfLoginMissing(group);
        }
        if (found == 0) {
            stats.current = end;  // no article there: dealt with
            start = end + 1;
            probes = std::min(probes * 4, MaxProbes);
            continue;
        }
        // HEAD sets the server's pointer to it again (the probes sent behind it moved it on).
        stats.current = found - 1;
        article.reset();
        if (connection.fetchHead(std::to_string(found), article).ok())
            return m_steps.isArticleAsked(group, found, foundId) ? Found::Article
                                                                 : Found::WrongArticle;
        m_steps.requireConnection();
        m_steps.stopIfLoginMissing(group);
        stats.current = found;  // refused: stepped over
        start = found + 1;
    }
    return Found::None;
}

void WalkTurn::requestAhead(std::int64_t number, int stepsLeft) {
    const std::string text = std::to_string(number);
    const std::string head = "HEAD " + text;
    const std::string body = "BODY " + text;
    if (stepsLeft > 0)
        m_steps.connection().sendAhead({head, body, "NEXT"});
    else
        m_steps.connection().sendAhead({head, body});
}

std::optional<ArticleReference> WalkTurn::nextToAskFor(GroupEntry& group, int stepsLeft) {
    if (stepsLeft <= 0 || !isEligible(group) || !pipelining()) return std::nullopt;
    const NntpReply* reply = m_steps.connection().answerNextAhead();
    if (!reply) return std::nullopt;
    std::optional<ArticleReference> next = parseNextReply(*reply);
    if (!next || next->number == group.ensureStats().current.load()) return std::nullopt;
    return next;
}

WalkTurn::Fetched WalkTurn::retrieveArticle(const GroupEntry& group, std::int64_t number,
                                            const std::string& expectedId) {
    if (!m_steps.connection().fetchHead(std::to_string(number), m_steps.article()).ok())
        return Fetched::NotDelivered;
    if (!m_steps.isArticleAsked(group, number, expectedId)) return Fetched::WrongArticle;
    return filterAndFetchBody(group, number);
}

WalkTurn::Fetched WalkTurn::filterAndFetchBody(const GroupEntry& group, std::int64_t number) {
    SavedArticle& article = m_steps.article();
    if (m_steps.filter(article.subject(), article.lines.load()) != RetrievalSteps::Verdict::Take)
        return Fetched::Filtered;
    const std::string expectedId = article.messageId;
    if (!m_steps.connection().fetchBody(std::to_string(number), article).ok())
        return Fetched::NotDelivered;
    return m_steps.isArticleAsked(group, number, expectedId) ? Fetched::Saved
                                                             : Fetched::WrongArticle;
}

WalkTurn::Step WalkTurn::takeArticle(GroupEntry& group, bool headerRead, int stepsLeft) {
    GroupStats& stats = group.ensureStats();
    NNTPConnection& connection = m_steps.connection();
    SavedArticle& article = m_steps.article();
    AppSettings& settings = m_steps.settings();
    const std::int64_t number = article.number;
    const std::string expectedId = article.messageId;  // as NEXT named it
    // An article asked for ahead was checked then, and is checked again where it is
    // decoded; a check here would only wait for another reader's decode.
    const bool checkedAhead =
        !headerRead && !article.messageId.empty() && article.messageId == m_askedAhead;
    m_askedAhead.clear();
    if (!checkedAhead) {
        if (m_steps.isRetrieved(group, article.messageId)) {
            stats.duplicates += 1;
            stats.current = number;
            return Step::Next;
        }
    }
    if (!headerRead && connection.commandsAhead() == 0 && pipelining())
        requestAhead(number, stepsLeft);
    const Fetched result =
        headerRead ? filterAndFetchBody(group, number) : retrieveArticle(group, number, expectedId);
    if (result == Fetched::WrongArticle) return stopGroup(group);
    if (result != Fetched::Saved) {
        // Cut off: the position stays before the article, which is fetched again next run.
        if (connection.state() != NNTPConnection::Ready) return Step::EndTurn;
        // Withheld, not refused: fetched once the login is given.
        m_steps.stopIfLoginMissing(group);
        // Gone from this server, or held back damaged: a fill server may have it.
        const NntpReply& reply = connection.lastReply();
        if ((reply.is(ReplyOutcome::NoSuchArticle) || reply.is(ReplyOutcome::Damaged)) &&
            !expectedId.empty() && m_steps.canFill()) {
            const RetrievalSteps::Lacking lacking{number, expectedId};
            if (!m_steps.fillLacking(group, std::span(&lacking, 1))) return Step::EndTurn;
        }
        // Filtered, or refused by the server: dealt with. Leaving the position before a
        // refused article would meet it again at every pass, and the group would never move.
        stats.current = number;
        // A NEXT sent ahead has moved the server's pointer past this article already. A new
        // turn would start with a HEAD of this article, which moves nothing when refused, so
        // the turn goes on from the NEXT instead.
        return connection.nextAhead() ? Step::Next : Step::EndTurn;
    }
    if (!expectedId.empty() && m_steps.isDamagedYencPart()) {
        if (!m_steps.replaceDamaged(group, number, expectedId)) return Step::EndTurn;
        stats.current = number;
        return connection.nextAhead() ? Step::Next : Step::EndTurn;
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
    // The next article's commands go out before this one is decoded, so the server sends it
    // while this side decodes and writes. Its check, its commands (a write of a few bytes)
    // and this article's decode share one hold of the lock: with several readers every
    // further hold waits for another reader's decode.
    auto askNext = [&] {
        if (!next || (!next->messageId.empty() && settings.messageIds.contains(next->messageId)))
            return;
        try {
            requestAhead(next->number, stepsLeft - 1);
            m_askedAhead = next->messageId;
        } catch (...) {
            failure = std::current_exception();
        }
    };
    if (m_steps.decodeAndRecord(group, askNext) == RetrievalSteps::Decoded::Failed) {
        if (failure) std::rethrow_exception(failure);
        return Step::EndTurn;  // not dealt with: the position stays before it
    }
    stats.current = number;
    if (failure) std::rethrow_exception(failure);
    return Step::Next;
}

}  // namespace qm
