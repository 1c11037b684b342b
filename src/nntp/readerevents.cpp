// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/readerevents.h"

#include "config/appsettings.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "nntp/nntpreply.h"

namespace qm {

ReaderEvents::ReaderEvents(const AppSettings& settings, ReaderRunState& run)
    : FrontendEvents(settings.frontend(), run), m_settings(settings) {}

void ReaderEvents::groupSelected(GroupEntry& group, std::int64_t count, std::int64_t first,
                                 std::int64_t last) {
    // The reading position is the retrieval loop's: only the range is stored.
    GroupStats& stats = group.ensureStats();
    stats.count = count;
    stats.first = first;
    stats.last = last;
    group.set(Active | InProgress);
}

void ReaderEvents::groupRefused(GroupEntry& group) {
    group.ensureStats();
    group.clear(Active);
}

void ReaderEvents::nextAnswered(GroupEntry& group, const NntpReply& reply, SavedArticle& article) {
    GroupStats& stats = group.ensureStats();
    if (reply.ok()) {
        // NEXT named the article the group is at: nothing after it.
        if (article.number == stats.current.load()) {
            log("Finished retrieving from " + group.name());
            group.set(Finished);
            group.clear(InProgress);
        }
        return;
    }
    article.number = stats.current.load();
    // Unasked or unanswered (a cut connection, a stop): the group may still have articles.
    if (reply.is(ReplyOutcome::Abandoned) || reply.is(ReplyOutcome::ConnectionLost)) return;
    log("No more news from " + group.name());
    group.set(Finished);
}

void ReaderEvents::bytesReceived(GroupEntry* group, std::int64_t bytes) {
    if (group)
        if (GroupStats* stats = group->stats()) stats->bytes += bytes;
}

bool ReaderEvents::openArticle(GroupEntry* group, SavedArticle& article) {
    log((group ? group->name() : std::string()) + " -- " + article.subject());
    if (group)
        if (GroupStats* stats = group->stats()) stats->articleInProgress = &article;
    return article.open(frontend(), m_settings.keepText != 0) == 0;
}

}  // namespace qm
