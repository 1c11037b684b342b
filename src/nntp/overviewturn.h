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
    static constexpr std::int64_t WindowLines = 2000;
    // ...and at most this many articles fetched, so that a group of big articles does not
    // keep its reader's other groups waiting for long.
    static constexpr std::size_t TurnArticles = 500;
    // ARTICLE commands in flight: at 40 ms from the server, 64 keep about 1,300 articles of
    // 60 KB a second coming and 128 about 2,800 (bench_pipeline).
    static constexpr std::size_t Depth = 128;
    // ...and their sizes (from the overview) together at most this much.
    static constexpr std::int64_t BytesAhead = 16 << 20;

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
