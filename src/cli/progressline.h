// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The progress of qmere-cli fetch: the figures of the run's groups, read from the counters
// the readers keep for the group monitor (range, reading position, decoded files, bytes), the
// rates over the last seconds, the one status line a terminal shows while the run goes on,
// and the closing summary.
//
// Created and sampled on the command's main thread; the counters it reads are atomics the
// readers write.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "nntp/retrievalsteps.h"

namespace qm {
class AppSettings;
class GroupEntry;
}  // namespace qm

namespace qm::cli {

class ConsoleFrontend;

struct GroupFigures {
    std::string name;
    // The articles this run deals with (from where the group stood to its last article);
    // unknown until the server has told the group's range.
    std::optional<std::int64_t> known;
    std::int64_t dealt = 0;       // articles read, skipped or filtered so far
    std::int64_t pictures = 0;    // files decoded
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

// The status line, within width - 1 columns so that it never wraps: the groups' figures
// first (cut with "..." where they do not fit), the rates and the time left after them.
std::string progressLine(const RunFigures& figures, int width);
// The line the window logs at the end of a run, with the same figures (articles retrieved,
// and apart from them those skipped as retrieved before): "Run ended: 2 groups, 57 articles,
// 12 pictures, 3456789 bytes in 5.2 s, 3 duplicates skipped", and when fill servers were
// needed ", 4 from fill servers, 1 on no server".
std::string closingSummary(const RunFigures& figures);
// "0:05", "12:34", "1:02:03".
std::string durationText(double seconds);

// Samples the run's groups. Where a group starts is decided by the readers as they select
// it (its stored position, or the first visit); that is worked out here from the same inputs,
// so that a group read whole between two samples is counted right.
class RunProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // Reads each group's stored position now, before the readers start.
    RunProgress(const AppSettings& settings, std::vector<GroupEntry*> groups,
                const RunOptions& options, Clock::time_point start = Clock::now());
    RunFigures sample(Clock::time_point now = Clock::now());

  private:
    struct Tracked {
        GroupEntry* group;
        std::int64_t stored;  // the position before the run; < 0: never read
        std::optional<std::int64_t> start;
        // The counters before the run: a run's figures start at zero.
        std::int64_t pictures, bytes, retrieved, duplicates, filled, lacking;
    };
    struct Point {
        Clock::time_point time;
        std::int64_t dealt;
        std::int64_t bytes;
    };
    std::optional<std::int64_t> startOf(Tracked& tracked) const;

    std::vector<Tracked> m_groups;
    int m_newest;
    int m_days;
    Clock::time_point m_start;
    std::deque<Point> m_points;  // the last RateWindow of samples, for the rates
};

// What qmere-cli fetch shows: on a terminal the status line, redrawn in place below the log
// lines; elsewhere the log lines alone; when quiet only failures. The closing summary is
// always printed.
//
// The line is drawn by the front end below every log line, from whatever thread wrote it,
// with the figures of that moment: sampling happens under the front end's mutex only.
class FetchProgress {
  public:
    // Sets the front end up for the run (quiet, the traces kept off the terminal).
    FetchProgress(ConsoleFrontend& frontend, const AppSettings& settings,
                  std::vector<GroupEntry*> groups, const RunOptions& options, bool quiet);
    ~FetchProgress();
    FetchProgress(const FetchProgress&) = delete;
    FetchProgress& operator=(const FetchProgress&) = delete;

    // Redraws the line when it is due (a few times a second). Main thread.
    void update();
    // The same once the readers are done, while the last thumbnails are made (made so far).
    void updateThumbnails(int made);
    // Takes the line away and prints the closing summary on standard output.
    void finish();

  private:
    // The line now; under the front end's mutex.
    std::string line();

    ConsoleFrontend& m_frontend;
    RunProgress m_progress;
    bool m_showLine;
    bool m_finished = false;
    RunProgress::Clock::time_point m_drawn{};
    std::atomic<int> m_width{80};
    std::atomic<int> m_thumbnailsMade{-1};  // -1: the readers are still at work
};

}  // namespace qm::cli
