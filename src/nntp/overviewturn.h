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
// A group may be read by several readers at once: the shared turn (SharedGroupTurn) hands the
// accepted articles out to each, and one of them at a time asks for the next window. The
// reading position moves only over articles dealt with (decoded, filtered, not on the
// server), never past one still in flight on any reader or one the server answered with
// another article; a stop or a lost connection leaves it before the first article not dealt
// with. One per reader run, on the reader's thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "nntp/groupturns.h"
#include "nntp/overviewwindow.h"
#include "nntp/retrievalsteps.h"
#include "nntp/sharedgroupturn.h"

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
    // A turn that keeps its pipe full writes the position and the picture list this often,
    // so that a kill fetches again no more than about this long's articles.
    static constexpr std::chrono::milliseconds SaveTime{1000};
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

    OverviewTurn(RetrievalSteps& steps, GroupTurns& turns) : m_steps(steps), m_turns(turns) {}

    enum class Result { Read, NoOverview };
    // One turn of group, beside the other readers on it. NoOverview when the server gives none
    // for it (the walk reads the group then). onlyGroup: the reader has no other group to turn
    // to, so the turn goes on until the group is done, with the next window's commands sent
    // behind the articles in flight and the pipe never drained; the position and picture list
    // are written every SaveTime meanwhile. Otherwise the turn reads one window, or what
    // TurnTime allows of it.
    Result run(GroupEntry& group, bool onlyGroup);

  private:
    struct Window {
        std::int64_t end = 0;  // the last article number the turn covers
        bool tail = false;     // see WindowPlan
        std::vector<TurnItem> wanted;
        std::int64_t span = WindowLines;  // numbers the next window covers
        std::int64_t known = -1;          // an article number seen to exist, -1: none
    };
    // The numbers a window asks about and the commands that ask: STAT and NEXT from an
    // article before it (when one is known), LISTGROUP (where the server takes a range), OVER.
    struct Request {
        std::int64_t from = 0;
        std::int64_t to = 0;
        std::int64_t anchor = -1;
        std::int64_t span = WindowLines;
        std::int64_t known = -1;
        std::vector<std::string> commands;
    };
    // A reply this reader waits for: an article handed to it, or the window it asks for.
    struct InFlight {
        bool window = false;
        SharedGroupTurn::Ticket ticket = 0;
        TurnItem item;
        Request request;
    };

    Request request(GroupEntry& group, const SharedGroupTurn::WindowClaim& claim);
    // What a window's replies lead to: one article's reply read, dealt with and told to the
    // shared turn. False when the group stops for this run.
    bool fetchOne(GroupEntry& group, SharedGroupTurn& shared, const InFlight& entry);
    // The article before from that NEXT may start from; -1 when none is known.
    std::int64_t anchorFor(GroupEntry& group, std::int64_t from, std::int64_t known);
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
    // An article the overview did not list: the duplicate check and the filters that its
    // overview line would have had. False when it is dealt with without decoding.
    bool passesChecks(GroupEntry& group);
    // Asks the fill servers for the articles the main server lacked, then marks them dealt
    // with; false when a decode failed (the group stops for this run).
    bool fillLacking(GroupEntry& group, SharedGroupTurn& shared);

    // Lacking articles asked of the fill servers together, at most this many at once.
    static constexpr std::size_t FillBatch = 64;
    struct LackingItem {
        SharedGroupTurn::Ticket ticket = 0;
        RetrievalSteps::Lacking item;
    };

    RetrievalSteps& m_steps;
    GroupTurns& m_turns;
    std::vector<LackingItem> m_lacking;  // this reader's, waiting for the fill servers
};

}  // namespace qm
