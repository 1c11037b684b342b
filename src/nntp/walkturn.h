// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A turn of a group read article by article, as servers without an overview need it: a
// positioning HEAD of the reading position, then NEXT after NEXT, each article checked against
// the message-id index, then HEAD, the filters and BODY. Where no filter needs the header
// first, the next commands go out ahead of the replies (HEAD, BODY and NEXT in one write,
// and the next article's before this one is decoded), and the server still sees the commands
// a reader that waits for every reply would send.
//
// One per reader run, on the reader's thread; uses the run's RetrievalSteps.
#include <cstdint>
#include <optional>
#include <string>

namespace qm {

class GroupEntry;
class RetrievalSteps;
struct ArticleReference;

class WalkTurn {
  public:
    explicit WalkTurn(RetrievalSteps& steps) : m_steps(steps) {}

    // At most the reader's batch of article steps while the group stays eligible.
    void run(GroupEntry& group);

  private:
    enum class Step { Next, EndTurn };
    enum class Found { Article, None, WrongArticle };
    // What became of an article asked for by HEAD and BODY.
    enum class Fetched {
        Saved,         // its body is in the reader's article
        Filtered,      // skipped short or excluded by its header
        NotDelivered,  // HEAD or BODY refused, gone or cut off: the last reply says which
        WrongArticle,  // the server answered for another article than the one asked
    };

    // Step 0: the server's article pointer to the reading position. A group none of whose
    // articles was dealt with starts by taking its first one; a position whose article is
    // gone goes on with the first article after it.
    Step position(GroupEntry& group, int stepsLeft);
    // The first article numbered from..last (STAT probes, several in one write), read with
    // its header into the reader's article.
    Found findFrom(GroupEntry& group, std::int64_t from);
    // Ends the turn and leaves the group for the next run, after a reply for another article.
    Step stopGroup(GroupEntry& group);
    // Checks, fetches and decodes the article the connection has just reported; headerRead
    // when its header has already been read. stepsLeft: how many steps of the turn follow.
    Step takeArticle(GroupEntry& group, bool headerRead, int stepsLeft);
    // HEAD, the filters, BODY. expectedId: the message-id NEXT named.
    [[nodiscard]] Fetched retrieveArticle(const GroupEntry& group, std::int64_t number,
                                          const std::string& expectedId);
    [[nodiscard]] Fetched filterAndFetchBody(const GroupEntry& group, std::int64_t number);
    // Whether commands may be sent ahead: only when no filter needs the header first.
    bool pipelining() const;
    // Sends HEAD and BODY of number ahead, and NEXT when another step follows.
    void requestAhead(std::int64_t number, int stepsLeft);
    // After an article's body: the new article the NEXT sent ahead names, to be asked for
    // ahead unless it is retrieved already.
    std::optional<ArticleReference> nextToAskFor(GroupEntry& group, int stepsLeft);

    RetrievalSteps& m_steps;
    // The message-id of the article last asked for ahead, checked against the index then.
    std::string m_askedAhead;
};

}  // namespace qm
