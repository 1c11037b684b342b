// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The connections a run may hold to its server at once: the server's "Connections" (the
// "Max Threads" value when not set), lowered for the rest of the run when the server refuses a
// connection beyond what the user's account allows.
//
// Owned by the ReaderPool; set when a run starts, used by every reader from its own thread.
// Guarded by its own mutex, never held with another lock.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace qm {

class ConnectionCap {
  public:
    // A new run: cap connections, none held.
    void reset(int cap);
    // Takes a connection place, waiting while none is free; false when stopRequested says
    // so meanwhile (it is asked about every 50 ms).
    bool acquire(const std::function<bool()>& stopRequested);
    // Takes a place only when one is free now.
    bool tryAcquire();
    void release();
    // Whether a place was given back within the last span: the server may still count the
    // connection that held it, as servers let a closed connection go with a lag.
    bool releasedWithin(std::chrono::milliseconds span) const;
    // The server refused one connection more than those held: held - 1 (at least 1) is the
    // cap from now on. Returns the new cap, or 0 when it was that already.
    int refusedBeyond();
    // Readers wait for a place: one that only helps should leave its place to them.
    bool contended() const;
    int cap() const;
    int held() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_freed;
    int m_cap = 0;
    int m_held = 0;
    int m_waiting = 0;
    std::chrono::steady_clock::time_point m_lastRelease{};
};

}  // namespace qm
