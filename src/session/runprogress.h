// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The figures of a retrieval run, as every front end shows them: per group the articles dealt
// with out of those the run has to deal with, the pictures and bytes, the rates over the last
// seconds, the time left, and the closing line "Run ended: ...". Read from the counters the
// readers keep per group (atomics); where a group's run started is what the reader recorded
// when it positioned the group, so no rule of the engine is worked out again here.
//
// Created and sampled on the thread that drives the run; the counters it reads are atomics
// the readers write.
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class GroupEntry;

struct GroupFigures {
    std::string name;
    // The articles this run deals with (from where the group stood to its last article);
    // unknown until the reader has positioned the group.
    std::optional<std::int64_t> known;
    std::int64_t dealt = 0;       // articles read, skipped or filtered so far
    std::int64_t pictures = 0;    // files decoded that are pictures
    std::int64_t bytes = 0;       // article bytes received
    std::int64_t retrieved = 0;   // articles fetched whole
    std::int64_t duplicates = 0;  // articles not fetched: retrieved before
    std::int64_t filled = 0;      // of those retrieved, the ones fill servers gave
    std::int64_t lacking = 0;     // articles no server had
};

struct RunFigures {
    std::vector<GroupFigures> groups;
    double articlesPerSecond = 0;
    double bytesPerSecond = 0;
    std::optional<double> secondsLeft;  // only when every group's total is known
    double seconds = 0;                 // since the run started
    // Set once the readers are done and the last thumbnails are made: how many so far.
    std::optional<int> thumbnailsMade;

    std::int64_t dealt() const;
    std::int64_t pictures() const;
    std::int64_t bytes() const;
    std::int64_t retrieved() const;
    std::int64_t duplicates() const;
    std::int64_t filled() const;
    std::int64_t lacking() const;
};

// The line logged at the end of a run (articles retrieved, and apart from them those skipped
// as retrieved before): "Run ended: 2 groups, 57 articles, 12 pictures, 3456789 bytes in
// 5.2 s, 3 duplicates skipped", and when fill servers were needed ", 4 from fill servers, 1
// on no server".
std::string closingSummary(const RunFigures& figures);
// "0:05", "12:34", "1:02:03".
std::string durationText(double seconds);
// "1 picture", "3 pictures": a count and its word, as the figures are said.
std::string countText(std::int64_t n, std::string_view word);

class RunProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // Made before the readers start: what the groups counted before is not the run's.
    explicit RunProgress(const std::vector<GroupEntry*>& groups,
                         Clock::time_point start = Clock::now());
    // A group that joined the run while it goes on (the window's selection), counted from
    // now; one tracked already is left as it is.
    void add(GroupEntry& group);
    RunFigures sample(Clock::time_point now = Clock::now());

  private:
    struct Tracked {
        GroupEntry* group;
        // The counters before the run: a run's figures start at zero.
        std::int64_t pictures, bytes, retrieved, duplicates, filled, lacking;
    };
    struct Point {
        Clock::time_point time;
        std::int64_t dealt;
        std::int64_t bytes;
    };

    std::vector<Tracked> m_groups;
    Clock::time_point m_start;
    std::deque<Point> m_points;  // the last RateWindow of samples, for the rates
};

}  // namespace qm
