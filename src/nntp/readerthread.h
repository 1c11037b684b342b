// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One reader of a retrieval run: its worker thread, its own NNTP connection, the groups it
// serves and the groups handed to it but not yet taken over.
//
// Owned by the ReaderPool, created with it and kept for its life. Its thread is a
// WorkerThread (platform/workerthread.h), joined before the next start and in the destructor. The
// window thread (through the pool) starts it, assigns groups and asks it to stop; the reader thread
// itself runs the retrieval. groups() and pending() are guarded by DecodeLock whenever the reader
// may be running (the reader takes a copy of groups under the lock at the start of every pass).
// state (WorkerRecord) is atomic.
#include <atomic>
#include <chrono>
#include <functional>

#include "config/threadcontext.h"
#include "decode/savedarticle.h"
#include "model/grouptable.h"
#include "nntp/nntpconnection.h"
#include "nntp/readerevents.h"
#include "nntp/readerrunstate.h"
#include "platform/workerthread.h"

namespace qm {

class AppSettings;

class ReaderThread : public WorkerRecord {
  public:
    static constexpr int DefaultBatch = 8;

    ReaderThread(AppSettings& settings, ReaderRunState& run);
    // Asks a running reader to stop and joins its thread.
    ~ReaderThread();
    ReaderThread(const ReaderThread&) = delete;
    ReaderThread& operator=(const ReaderThread&) = delete;

    NNTPConnection& connection() { return m_connection; }
    // The article being retrieved. Kept by the record, not the thread, so that a monitor
    // that has just read a group's article in progress never reads a destroyed one when the
    // thread ends; its text buffer is reused from run to run too.
    SavedArticle& article() { return m_article; }
    // Guarded by DecodeLock while the reader may run.
    GroupTable& groups() { return m_groups; }
    GroupTable& pending() { return m_pending; }

    // Moves every pending group into groups, setting its Active flag, and drops the first
    // group (in list order) that is no longer Selected. Caller holds DecodeLock.
    void mergePending();

    // The group the reader is reading (InProgress), or null. Reader thread only.
    GroupEntry* currentGroup() const { return m_currentGroup; }
    // Leaves the current group (clears its InProgress, and its article in progress when that
    // is this reader's, which the monitor would otherwise show under it), then makes group
    // current.
    void enterGroup(GroupEntry* group);

    // Article steps per group turn.
    int batch() const { return m_batch.load(); }

    // The thread's rules are WorkerThread's; start runs body with the given batch.
    bool start(std::function<void()> body, int batch);
    bool running() const { return m_thread.running(); }
    bool waitFinished(std::chrono::milliseconds timeout) { return m_thread.waitFinished(timeout); }
    void join() { (void)m_thread.join(); }

    // Asks the thread to stop: state AbortRequested, the connection refuses commands and a
    // blocked connect or read fails at once. From any thread.
    void requestStop();

  private:
    std::atomic<int> m_batch{DefaultBatch};
    GroupEntry* m_currentGroup = nullptr;
    ReaderEvents m_events;
    NNTPConnection m_connection;
    SavedArticle m_article;
    GroupTable m_groups;
    GroupTable m_pending;
    WorkerThread m_thread;  // last: joined before the rest goes
};

}  // namespace qm
