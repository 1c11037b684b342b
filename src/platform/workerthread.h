// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The thread of a worker record (a reader, the group-list worker, the thumbnail worker): a
// std::thread owned by the record, joined by it and never detached.
//
// The stop rules, the same for every kind of worker: the owner asks its body to stop by its own
// means (a flag the body checks, a cancelled connection, a woken condition) and never waits
// there; waitFinished waits, bounded, for the body to return; join (or the destructor) then
// reclaims the thread. A worker may not start or join itself: start refuses on the worker's
// own thread, and join does nothing there.
//
// start, join and the destructor are called from the owner's thread; running and
// waitFinished from any thread.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qm {

class WorkerThread {
  public:
    WorkerThread() = default;
    // Joins the thread: its owner must have asked the body to stop.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Joins an earlier thread (it has ended or is leaving), then runs body on a new one.
    // False when called on the worker's own thread or when no thread can be created.
    bool start(std::function<void()> body);
    // True from start until the body has returned.
    bool running() const;
    // Waits up to timeout for the body to return; true when it has (or none runs).
    bool waitFinished(std::chrono::milliseconds timeout);
    // Joins the thread, unless called on that very thread; true when a thread was joined
    // now (false when there was none, it was joined before, or this is it).
    bool join();

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    bool m_running = false;  // guarded by m_mutex
    std::thread m_thread;    // last: a body may run once it is made
};

}  // namespace qm
