// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window's runs: starts the readers through the session, stops them, and drives the
// group-list worker, in one state (State) instead of a set of flags.
//
// A stop never runs a nested event loop: it asks the readers to stop and a timer looks every
// PollMs whether they have all left; then the session finishes the run (joins, saves the
// message-id index, applies a configuration given meanwhile) and stopped() is emitted. Only
// the exit waits where it is (stopForExit): by then every worker's wait on the window gives
// up (see QtFrontend), so the wait cannot block on the window.
//
// Owned by the main window, window thread only; the readers and the worker belong to the
// session.
#include <QObject>
#include <QTimer>

namespace qm {

class GroupTable;
class Session;

class RunController : public QObject {
    Q_OBJECT
  public:
    enum class State {
        Idle,      // no run
        Running,   // readers at work
        Stopping,  // asked to stop, waiting for the readers to leave
        Exited,    // the program is closing: nothing starts any more
    };
    static constexpr int PollMs = 10;

    explicit RunController(Session& session, QObject* parent = nullptr);

    State state() const { return m_state; }
    bool groupListBusy() const { return m_groupListBusy; }

    // Starts the readers on groups: 0, or -1 when there is no server entry (nothing starts).
    int start(const GroupTable& groups);
    // Asks the readers to stop; stopped() follows once they have left.
    void stop();
    // The last reader has ended on its own.
    void readersFinished();
    // Stops everything and waits (the exit); the state is Exited afterwards.
    void stopForExit();

    // The group-list worker: 0 when started.
    int startGroupList();
    void stopGroupList();
    void groupListDone();

  signals:
    void stateChanged(qm::RunController::State state);
    // The run (or the group list) is over and a configuration given during it changed the
    // data directory: the lists were loaded again.
    void listsReloaded();

  private:
    void setState(State state);
    void poll();
    void finish();

    Session& m_session;
    State m_state = State::Idle;
    bool m_groupListBusy = false;
    QTimer m_poll;
};

}  // namespace qm
