// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The shared turns of one run's groups read through their overview, so that a reader whose
// own groups are done can help where work is left.
//
// Owned by the ReaderPool; cleared when a run starts (no reader runs then) and used by every
// reader of the run from its own thread. Guarded by its own mutex, which may be held when a
// turn's mutex is taken, never the other way round, and never together with DecodeLock.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "nntp/sharedgroupturn.h"

namespace qm {

class GroupEntry;

class GroupTurns {
  public:
    // The group's turn in this run, made at the first call.
    SharedGroupTurn& turnFor(GroupEntry& group);
    // The turn with work left of a group still to be read (Active, Selected, not Finished),
    // with the fewest readers on it; null when there is none.
    SharedGroupTurn* helpable();
    // The readers of the run (at most the connection cap), set when it starts.
    void setRunReaders(int readers);
    // What one reader on turn may hold in flight: the bytes left in the group over the
    // readers on it, or over its part of the run's readers when more are to come (the others
    // join a moment after the first window), so that they all run out together.
    std::int64_t fairShare(const SharedGroupTurn& turn) const;
    // Whether the group has a turn in this run.
    bool hasTurn(const GroupEntry& group) const;
    // Waits until a turn is made or something else changes, at most timeout.
    void wait(std::chrono::milliseconds timeout);
    // A new run: every turn of the last one is dropped. No reader may run.
    void clear();

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<const GroupEntry*, std::unique_ptr<SharedGroupTurn>> m_turns;
    int m_runReaders = 1;
};

}  // namespace qm
