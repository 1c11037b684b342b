// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The group-list worker: fills the settings' table of every group the server carries, from
// the saved "Groups" file or, when that is missing or incomplete, from the server's "LIST"
// (then saved for next time, when it came whole), offering each group to the available-groups
// list as it comes. The connection only sends LIST and hands over its lines; the table is
// built here.
//
// Owned by the Session, kept for its life and driven from its thread (start, stop, wait).
// Its thread is a WorkerThread (platform/workerthread.h), joined at the next start and in the
// destructor. While it runs, the worker adds to
// settings.allGroups without a lock: the front end must not change that table meanwhile.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "config/threadcontext.h"
#include "nntp/frontendevents.h"
#include "nntp/nntpconnection.h"
#include "nntp/readerrunstate.h"
#include "platform/workerthread.h"

namespace qm {

class AppSettings;

class GroupFetchThread : public WorkerRecord {
  public:
    explicit GroupFetchThread(AppSettings& settings);
    // Stops the worker and joins it.
    ~GroupFetchThread();
    GroupFetchThread(const GroupFetchThread&) = delete;
    GroupFetchThread& operator=(const GroupFetchThread&) = delete;

    NNTPConnection& connection() { return m_connection; }

    // Starts the worker for the server named by the "Server" setting. -1 (and a message box)
    // when there is none or its group list folder cannot be made, or the thread cannot start.
    int start();
    // Asks the worker to stop (it keeps what it has read); returns at once.
    void stop();
    // Waits at most timeout for the worker to end; true when it has (or none runs).
    bool wait(std::chrono::milliseconds timeout);
    // Cooperative stand-in for killing the worker at exit: stop, wait at most timeout.
    bool terminate(std::chrono::milliseconds timeout);
    bool running() const;

  private:
    void procedure();
    // Connects, lists the server's groups into settings.allGroups and saves "Groups", but
    // only when the list came whole: a refused or cut-off list is reported, not saved.
    void fetchFromServer();
    // A LIST data line: its group, new or known, goes into allGroups and to the view.
    void addListedGroup(std::string_view line);
    // What the user is told when LIST (listGroups' result) brought no whole list.
    std::string listFailure(const std::string& host, const NntpReply& listed,
                            std::size_t received) const;

    AppSettings& m_settings;
    ReaderRunState m_run;  // its own connection-failure flag; guarded by DecodeLock
    FrontendEvents m_events;
    NNTPConnection m_connection;
    WorkerThread m_thread;  // last: joined before the rest goes
};

}  // namespace qm
