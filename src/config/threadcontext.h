// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What code deep in a call chain needs to know about the thread it runs on: its worker record,
// for stop checks. One per thread (thread_local). Everything else a step needs (the group,
// the article, the output folder) comes as an argument.
#include <atomic>

namespace qm {

// The part of a reader or group-list worker record that stop checks look at.
struct WorkerRecord {
    enum State : int { Running = 0, Idle = 1, AbortRequested = 2 };
    std::atomic<int> state{Idle};

    bool abortRequested() const { return state.load(std::memory_order_relaxed) == AbortRequested; }
};

struct ThreadContext {
    WorkerRecord* worker = nullptr;  // null on the window thread

    static ThreadContext& current();
};

}  // namespace qm
