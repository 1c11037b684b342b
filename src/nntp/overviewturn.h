// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A turn of a group read through its overview: the overview lines of a window after the
// reading position (OVER or XOVER), the three filters applied to them (message-id already
// retrieved, "Skip short" on the line count, the kill pattern on the subject), and the
// accepted articles asked for with ARTICLE, many in flight on the connection; each is decoded
// as it arrives. The wire order differs from the walk's; what is decoded, recorded and logged
// is the same.
//
// The overview is only a hint (see overviewwindow.h): with it go, in the same write, the
// window's LISTGROUP where the server takes a range, and STAT and NEXT from an article before
// the window, so that numbers the overview left out are asked for directly and an empty
// stretch of numbers, however long, is crossed in one round trip.
//
// The reading position moves only over articles dealt with (decoded, filtered, not on the
// server), never past one still in flight or one the server answered with another article; a
// stop or a lost connection leaves it before the first article not dealt with. One per
// reader run, on the reader's thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "nntp/overviewwindow.h"

namespace qm {

class GroupEntry;
class RetrievalSteps;
class SavedArticle;

class OverviewTurn {
  public:
    // A turn covers at most this many article numbers of overview (more only to cross numbers
    // that hold no article)...
    static constexpr std::int64_t WindowLines = 5000;
    // ...and keeps at most this many bytes of it, however long its lines (the rest of the
    // window is asked for in the next one)...
    static constexpr std::size_t WindowBytes = 4 << 20;
    // ...and sends no more ARTICLE commands once it has lasted this long, so that a group of
    // big articles does not keep its reader's other groups waiting (the rest of the window
    // is asked for again in its next turn).
    static constexpr std::chrono::milliseconds TurnTime{5000};
    // ARTICLE commands in flight: as many as their sizes (from the overview) allow, and no
    // more than Depth. The bytes: what the line carries at LineRate in the connection's
    // round trip, between MinBytesAhead and MaxBytesAhead. At 40 ms from the server, 64
    // articles of 60 KB in flight give about 1,300 a second and 128 (7.7 MB) about 2,800
    // (bench_pipeline); on loopback 256 KB ahead reads faster than 16 MB, which only leaves
    // the data cold in the caches. Most articles of a picture group are short text, of which
    // a thousand in flight are less than 2 MB.
    static constexpr std::size_t Depth = 1024;
    static constexpr std::int64_t LineRate = 400'000'000;  // bytes a second
    static constexpr std::int64_t MinBytesAhead = 256 << 10;
    static constexpr std::int64_t MaxBytesAhead = 16 << 20;
    // The limit for a round trip.
    static std::int64_t aheadLimit(std::chrono::microseconds roundTrip);
    // Commands are sent in batches of at least this many (or this many bytes' worth), not
    // one per article read.
    static constexpr std::size_t RefillCount = 16;
    static constexpr std::int64_t RefillBytes = 1 << 20;

    explicit OverviewTurn(RetrievalSteps& steps) : m_steps(steps) {}

    enum class Result { Read, NoOverview };
    // One turn of group. NoOverview when the server gives none for it (the walk reads the
    // group then). onlyGroup: the reader has no other group to turn to, so the next window's
    // commands are sent behind this window's articles.
    Result run(GroupEntry& group, bool onlyGroup);

  private:
    struct Wanted {
        std::int64_t number = 0;
        std::int64_t bytes = 0;
        WindowAsk::Kind kind = WindowAsk::Kind::Listed;
        std::string messageId;  // the overview's, when it gave one
    };
    struct Window {
        std::int64_t end = 0;  // the last article number the turn covers
        bool tail = false;     // see WindowPlan
        std::vector<Wanted> wanted;
    };
    // What a group's windows learnt so far in this run.
    struct GroupState {
        std::int64_t span = WindowLines;  // numbers the next window covers
        std::int64_t known = -1;          // an article number seen to exist, -1: none
    };
    // The numbers a window asks about and the commands that ask: STAT and NEXT from an
    // article before it (when one is known), LISTGROUP (where the server takes a range), OVER.
    struct Request {
        std::int64_t from = 0;
        std::int64_t to = 0;
        std::int64_t anchor = -1;
        std::vector<std::string> commands;
    };

    Request request(GroupEntry& group, std::int64_t from, std::int64_t anchor);
    // The article before from that NEXT may start from; -1 when none is known.
    std::int64_t anchorFor(GroupEntry& group, std::int64_t from);
    // The window the request asks about, filtered; nothing when the server has no overview
    // for it.
    std::optional<Window> select(GroupEntry& group, const Request& request);
    // The replies of a window's STAT and NEXT: the first article after the anchor, when the
    // server named one.
    std::optional<std::int64_t> readNext(GroupEntry& group, const Request& request);
    // The replies of its LISTGROUP: the numbers that exist (the window ends at collector's
    // cutoff); nothing where the server does not take the command.
    std::optional<std::vector<std::int64_t>> readListGroup(GroupEntry& group,
                                                           const Request& request,
                                                           std::int64_t& to);
    // The accepted articles of a plan: the listed ones through the filters.
    Window accept(GroupEntry& group, const WindowFacts& facts, const WindowPlan& plan);
    // Fetches and decodes the wanted articles; false when the group stops for this run.
    bool fetch(GroupEntry& group, const Window& window, bool prefetch);
    // Whether what ARTICLE brought is the article asked for; logs and notes it when not.
    bool isTheArticleAsked(GroupEntry& group, const Wanted& item);
    // An article the overview did not list: the duplicate check and the filters that its
    // overview line would have had. False when it is dealt with without decoding.
    bool passesChecks(GroupEntry& group);

    RetrievalSteps& m_steps;
    std::unordered_map<const GroupEntry*, GroupState> m_groups;
    std::vector<std::string> m_prefetched;  // the commands of the next window, already sent
};

}  // namespace qm
