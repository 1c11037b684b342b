#pragma once
// What code deep in a call chain needs to know about the thread it runs on: the worker
// record (for stop checks), the group being read, the article being retrieved and the
// directory the decoder writes below. One per thread (thread_local).
#include <atomic>
#include <string>

namespace qm {

class GroupEntry;
class SavedArticle;

// The part of a reader or group-list worker record that stop checks look at.
struct WorkerRecord {
    enum State : int { Running = 0, Idle = 1, AbortRequested = 2 };
    std::atomic<int> state{Idle};

    bool abortRequested() const { return state.load(std::memory_order_relaxed) == AbortRequested; }
};

struct ThreadContext {
    GroupEntry* currentGroup = nullptr;
    SavedArticle* currentArticle = nullptr;
    WorkerRecord* worker = nullptr;  // null on the window thread
    // The group directory while a reader works on a group; the data directory on the window
    // thread. Decoded files go to its "news.dat".
    std::string directory;

    static ThreadContext& current();
};

}  // namespace qm
