#pragma once
// Ctrl-C for the long commands: while a guard lives, SIGINT sets a flag and wakes whoever
// waits on it, instead of ending the process, so the command can stop its work as the
// desktop program's stop buttons do and save what it has. One guard at a time, on the main
// thread; the old handler is restored on destruction.
#include <signal.h>

#include <atomic>

namespace qm::cli {

class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Waits at most timeoutMs for Ctrl-C; true when it came (at any time while the guard
    // lives).
    bool wait(int timeoutMs) const;
    // Set by Ctrl-C: for work that checks a flag rather than waits.
    static const std::atomic<bool>& flag();

  private:
    struct sigaction m_old {};
};

}  // namespace qm::cli
