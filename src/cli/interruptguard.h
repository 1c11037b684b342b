// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Stop signals for the long commands: while a guard lives, Ctrl-C (SIGINT), a service
// manager's stop or a logout (SIGTERM) and a closed terminal (SIGHUP) set a flag and wake
// whoever waits on it, instead of ending the process, so the command can stop its work as the
// desktop program's stop buttons do and save what it has. One guard at a time, on the main
// thread; the old handlers are restored on destruction.
#include <signal.h>

#include <array>
#include <atomic>

namespace qm::cli {

class InterruptGuard {
  public:
    static constexpr std::array<int, 3> Signals{SIGINT, SIGTERM, SIGHUP};

    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Waits at most timeoutMs for a stop signal; true when one came (at any time while the
    // guard lives).
    bool wait(int timeoutMs) const;
    // Set by a stop signal: for work that checks a flag rather than waits.
    static const std::atomic<bool>& flag();
    // The exit status of a command a stop signal ended: 128 and the signal's number, as a
    // shell reports a process the signal ended (130 for Ctrl-C, 143 for SIGTERM).
    static int exitStatus();

  private:
    std::array<struct sigaction, Signals.size()> m_old{};
};

}  // namespace qm::cli
