// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The reader threads of retrieval runs: hands the groups to retrieve out among a fixed set of
// readers by quota, starts a run, stops it, and measures the readers' receive rate.
//
// Owned by the Session and driven on the thread that drives it (the window thread, or the
// command's main thread): distribute, assign, setServer, startRun and the stop calls come
// from that one thread; sampleRate from the monitor's timer on the same thread. The readers call
// back through the Frontend (log lines, runFinished) from their own threads.
//
// Stopping: requestStop() only sets the flags and cancels blocked reads, and never waits.
// stopAll() also waits until every reader has left through its clean-up path. The core cannot
// dispatch window messages, so stopAll must be called where blocking is allowed: from a worker
// thread, or from the window thread with its event loop kept running through whileWaiting
// (called about every 10 ms), or replaced there by requestStop() and a bounded poll of
// waitStopped(). A reader that waits on the window thread (the credential prompt) would
// otherwise never leave.
//
// Readers outnumbering the groups with work help with them: a run starts every reader, and one
// whose own groups are done joins a group that others read (GroupTurns). No more readers
// connect at once than the server's connection cap allows (ConnectionCap): a reader with
// groups waits for a place, one that would only help ends without one.
//
// Locks: DecodeLock guards the running-reader count, the connection failure flag and every
// reader's group sets; the pool takes it itself, so callers must not hold it.
#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nntp/connectioncap.h"
#include "nntp/fillservers.h"
#include "nntp/groupturns.h"
#include "nntp/nntpconnection.h"
#include "nntp/readerthread.h"
#include "nntp/retrievalsteps.h"

namespace qm {

class AppSettings;
class Decoder;
class GroupEntry;
class GroupTable;
class ServerEntry;

class ReaderPool {
  public:
    // readers: the "Max Threads" setting, read once.
    ReaderPool(AppSettings& settings, Decoder& decoder, int readers);
    // Stops every reader and joins its thread.
    ~ReaderPool();
    ReaderPool(const ReaderPool&) = delete;
    ReaderPool& operator=(const ReaderPool&) = delete;

    std::size_t size() const { return m_readers.size(); }
    ReaderThread& reader(std::size_t index) { return *m_readers.at(index); }
    bool stopped() const { return m_stopped; }
    // Guarded by DecodeLock while readers run.
    ReaderRunState& runState() { return m_run; }
    // What the next runs ask beyond the settings; set while no reader runs.
    void setRunOptions(const RunOptions& options) { m_options = options; }
    // Why groups of the last run were left unread though nobody asked to stop (a group folder
    // that cannot be made, a login the server wants and nobody gave, a decoded file that
    // could not be written), each reason once; empty for a run that read what it could. Kept
    // until the next run starts.
    std::vector<std::string> runFailures() const;
    // The fill servers of the runs (their figures for the monitors).
    const FillServers& fillServers() const { return m_fill; }
    // Readers that have started and not yet left (under DecodeLock).
    int runningReaders() const;

    // Hands table's groups out, quota = (assigned + new - 1) / readers + 1 places each; during
    // a run an idle reader that receives a group is started.
    void distribute(const GroupTable& table);
    void assign(ReaderThread& reader, GroupEntry& group);
    void merge(ReaderThread& reader);
    bool isAssigned(const GroupEntry& group) const;
    std::size_t totalAssigned() const;
    void setServer(ServerEntry* server);
    // Starts every reader that has groups, with the server of the "Server" setting; nothing
    // when there is no such server entry.
    void startRun();
    // 0, or -1 when the thread could not be created (the reader stays idle).
    int startReader(ReaderThread& reader, int batch);
    // startReader for a reader already counted in the run's running readers.
    int launchReader(ReaderThread& reader, int batch);

    void requestStop();
    // requestStop, then waits for every reader (see above), then saves the message-id index.
    void stopAll(const std::function<void()>& whileWaiting = {});
    // True once no reader runs, waiting at most timeout.
    bool waitStopped(std::chrono::milliseconds timeout);
    // Stops one reader and waits at most timeout for it to leave; true when it has.
    bool terminate(ReaderThread& reader, std::chrono::milliseconds timeout);

    // Bytes per second received by all readers since the last sample.
    int sampleRate();

  private:
    // The body of every reader thread.
    void readerProcedure(ReaderThread& reader);
    // A place under the cap for a reader without groups of its own, once a group has work to
    // help with and a place is free; false when none comes.
    bool placeHelper(ReaderThread& reader);
    // Connects a reader that holds a place under the cap; false when the server refused the
    // connection beyond what the account allows (the cap is lowered for the run, logged once).
    bool connectReader(ReaderThread& reader);
    void cleanUp(ReaderThread& reader);
    void recordFailures(const std::vector<std::string>& failures);
    // Whether a running reader has an eligible group whose turn has not started yet: a reader
    // with nothing of its own waits for it to help.
    bool groupsToCome() const;
    // When the main server cannot be used (down, refusing the greeting or the login) and the
    // settings allow it: connection goes to the first fill server that takes it, said once a
    // run. False (connection back on the main server, its failure standing) otherwise.
    bool connectToBackup(NNTPConnection& connection);

    AppSettings& m_settings;
    Decoder& m_decoder;
    ReaderRunState m_run;                 // guarded by DecodeLock
    std::vector<std::string> m_failures;  // guarded by DecodeLock
    RunOptions m_options;
    FillServers m_fill;  // outlives the readers, which use it
    std::atomic<bool> m_backupSaid{false};
    std::time_t m_runStarted = 0;  // set before the readers start
    std::atomic<int> m_stopped{1};
    std::vector<std::unique_ptr<ReaderThread>> m_readers;
    GroupTurns m_turns;  // the groups read through their overview in this run
    ConnectionCap m_cap;
};

// A toolkit error text as the log shows it: at most 255 characters.
std::string errorText(std::string_view text);

}  // namespace qm
