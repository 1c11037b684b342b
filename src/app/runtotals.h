// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The running totals of the window's run: the groups it reads, articles retrieved, pictures
// (of the files decoded, those that are pictures) and bytes received, and the receive rate, from
// the counters that the readers keep per group (atomics), read whenever the window's timer asks. A
// run's totals start at zero: what its groups had counted before is subtracted.
//
// Owned by the main window; window thread only.
#include <chrono>
#include <cstdint>
#include <unordered_map>

namespace qm {

class GroupEntry;
class GroupTable;

class RunTotals {
  public:
    struct Figures {
        int groups = 0;
        std::int64_t articles = 0;
        std::int64_t duplicates = 0;  // not fetched: retrieved before
        std::int64_t filled = 0;      // of the articles, those fill servers gave
        std::int64_t lacking = 0;     // articles no server had
        std::int64_t pictures = 0;
        std::int64_t bytes = 0;
        double seconds = 0;
        double bytesPerSecond = 0;  // over the last few samples
    };

    // A run starts on these groups.
    void start(const GroupTable& groups);
    // The totals now. A group added to the table during the run counts from when first seen;
    // one removed from it keeps what it brought in.
    Figures sample(const GroupTable& groups);

  private:
    struct Base {
        std::int64_t articles = 0, duplicates = 0, pictures = 0, bytes = 0, filled = 0, lacking = 0;
    };
    static Base countersOf(const GroupEntry& group);

    using Clock = std::chrono::steady_clock;
    std::unordered_map<const GroupEntry*, Base> m_base;
    Clock::time_point m_started;
    Clock::time_point m_lastSample;
    std::int64_t m_lastBytes = 0;
    double m_rate = 0;
};

}  // namespace qm
