// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The progress of qmere-cli fetch: the run's figures (the core's RunProgress) as the one
// status line a terminal shows while the run goes on, and the closing summary.
//
// Created and sampled on the command's main thread.
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "session/runprogress.h"

namespace qm {
class GroupEntry;
}  // namespace qm

namespace qm::cli {

class ConsoleFrontend;

// The status line, within width - 1 columns so that it never wraps: the groups' figures
// first (cut with "..." where they do not fit), the rates and the time left after them.
std::string progressLine(const RunFigures& figures, int width);

// What qmere-cli fetch shows: on a terminal the status line, redrawn in place below the log
// lines; elsewhere the log lines alone; when quiet only failures. The closing summary is
// always printed.
//
// The line is drawn by the front end below every log line, from whatever thread wrote it,
// with the figures of that moment: sampling happens under the front end's mutex only.
class FetchProgress {
  public:
    // Sets the front end up for the run (quiet, the traces kept off the terminal).
    FetchProgress(ConsoleFrontend& frontend, const std::vector<GroupEntry*>& groups, bool quiet);
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
