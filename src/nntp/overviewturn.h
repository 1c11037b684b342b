#pragma once
// A turn of a group read through its overview: the overview lines of a window after the
// reading position (OVER or XOVER), the three filters applied to them (message-id already
// retrieved, "Skip short" on the line count, the kill pattern on the subject), and the
// accepted articles asked for with ARTICLE, many in flight on the connection; each is decoded
// as it arrives. The wire order differs from the walk's; what is decoded, recorded and logged
// is the same.
//
// The reading position moves only over articles dealt with (decoded, filtered, not on the
// server), never past one still in flight; a stop or a lost connection leaves it before the
// first article not dealt with. One per reader run, on the reader's thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qm {

class GroupEntry;
class RetrievalSteps;

class OverviewTurn {
  public:
    // A turn covers at most this many article numbers of overview...
    static constexpr std::int64_t WindowLines = 5000;
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
    // overview is asked for behind this window's articles.
    Result run(GroupEntry& group, bool onlyGroup);

  private:
    struct Wanted {
        std::int64_t number = 0;
        std::int64_t bytes = 0;
    };
    struct Window {
        std::int64_t end = 0;  // the last article number the turn covers
        std::vector<Wanted> wanted;
    };

    // The overview of from..to filtered; nothing when the server has no overview for it.
    std::optional<Window> select(GroupEntry& group, std::int64_t from, std::int64_t to);
    // Fetches and decodes the wanted articles; false when the group stops for this run.
    bool fetch(GroupEntry& group, const Window& window, bool prefetch);

    RetrievalSteps& m_steps;
};

}  // namespace qm
