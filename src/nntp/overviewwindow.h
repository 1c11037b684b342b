// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What one window of a group's article numbers holds, worked out from what the server said
// about it, and which numbers must still be asked for one by one. The overview is a hint, not
// the truth: lines may be missing, out of order, repeated, or behind the articles (large
// servers write it after the article has arrived). So every number the server may hold that
// the overview did not list is asked for directly, and nothing is taken as absent unless the
// server said so: by LISTGROUP, by NEXT from an article before the window, or by the articles
// after it. Above the highest article known, up to the server's last number, a 423 may only
// mean "not yet": the reading position stops below such numbers.
//
// Plain values and pure functions; the collectors keep what a hostile server sends within
// fixed bounds, whatever it sends.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "nntp/overviewline.h"

namespace qm {

// The sum, saturated at the largest article number: a window near the top of the range must
// not wrap around.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);

// The overview lines of a window, kept sorted and one per number (the first line given for
// it), within a number range and a byte budget. Once the budget is reached the highest
// entries are dropped and the window ends below them (cutoff()): the rest comes with the next
// window.
class OverviewCollector {
  public:
    OverviewCollector(std::int64_t from, std::int64_t to, std::size_t byteLimit);
    void add(OverviewEntry entry);
    // Sorted, one per number, all at or below cutoff().
    std::vector<OverviewEntry> take();
    std::int64_t cutoff() const { return m_to; }

  private:
    static std::size_t weight(const OverviewEntry& entry);
    // Sorted and merged; the highest dropped until the bytes fit.
    void compact();

    std::int64_t m_from;
    std::int64_t m_to;
    std::size_t m_limit;
    std::size_t m_bytes = 0;
    std::vector<OverviewEntry> m_entries;
};

// The article numbers of LISTGROUP within a range, at most limit of them (the lowest); the
// window ends at the last one kept when there were more.
class NumberCollector {
  public:
    NumberCollector(std::int64_t from, std::int64_t to, std::size_t limit);
    void add(std::int64_t number);
    std::vector<std::int64_t> take();
    std::int64_t cutoff() const { return m_to; }

  private:
    void compact();

    std::int64_t m_from;
    std::int64_t m_to;
    std::size_t m_limit;
    std::vector<std::int64_t> m_numbers;
};

// What the server said about the numbers from..end of a group whose last number (GROUP) is
// last.
struct WindowFacts {
    std::int64_t from = 0;
    std::int64_t end = 0;
    std::int64_t last = 0;
    std::vector<OverviewEntry> listed;                  // sorted, one per number, within the window
    std::optional<std::vector<std::int64_t>> existing;  // LISTGROUP: sorted, unique, within it
    // NEXT from anchor, an article before the window, named next: nothing lies between them.
    std::int64_t anchor = -1;
    std::optional<std::int64_t> next;
};

struct WindowAsk {
    enum class Kind {
        Listed,  // in the overview: checked and filtered before it is asked for
        Known,   // not in the overview, but the server says it exists
        Probe,   // not in the overview; a 423 means it is gone
        Tail,    // above every article known, up to the server's last: a 423 may mean "not yet"
    };
    std::int64_t number = 0;
    Kind kind = Kind::Listed;
    std::size_t entry = 0;  // Listed: its index in WindowFacts::listed
};

struct WindowPlan {
    // The last number the window covers: cut when too many numbers had to be probed,
    // extended when NEXT showed the numbers after it empty.
    std::int64_t end = 0;
    std::vector<WindowAsk> asks;  // ascending
    // Numbers above the highest article known are not known to be absent: the position may
    // pass them only up to an article found among them.
    bool tail = false;
    std::int64_t leftOut = 0;  // numbers asked for that the overview did not list
};

// Probes for numbers a server without LISTGROUP did not list, at most this many a window.
inline constexpr std::int64_t MaxProbes = 5000;
// Numbers above the highest article known asked for at the end of the range, at most.
inline constexpr std::int64_t TailProbes = 256;

WindowPlan planWindow(const WindowFacts& facts);

}  // namespace qm
