// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/runcontroller.h"

#include <chrono>

#include "nntp/groupfetchthread.h"
#include "session/session.h"

namespace qm {
namespace {

constexpr auto GroupListStopWait = std::chrono::milliseconds(3000);

}  // namespace

RunController::RunController(Session& session, QObject* parent)
    : QObject(parent), m_session(session) {
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &RunController::poll);
}

void RunController::setState(State state) {
    if (m_state == state) return;
    m_state = state;
    emit stateChanged(state);
}

int RunController::start(const GroupTable& groups) {
    if (m_state != State::Idle) return -1;
    if (m_session.startRun(groups) != 0) return -1;
    setState(State::Running);
    // Every group may be finished already: then no reader starts and none will report.
    if (m_session.runningReaders() == 0) readersFinished();
    return 0;
}

void RunController::stop() {
    if (m_state != State::Running) return;
    m_session.requestStop();
    setState(State::Stopping);
    m_poll.start();
}

void RunController::readersFinished() {
    if (m_state != State::Running || m_session.runningReaders() > 0) return;
    setState(State::Stopping);
    m_poll.start();
}

void RunController::poll() {
    if (!m_session.readersStopped()) return;
    m_poll.stop();
    finish();
}

void RunController::finish() {
    const bool reloaded = m_session.finishRun();
    setState(State::Idle);
    if (reloaded) emit listsReloaded();
}

void RunController::stopForExit() {
    m_poll.stop();
    // The group-list worker keeps what it read but writes no "Groups" file once stopped.
    if (m_groupListBusy) (void)m_session.groupFetch().terminate(GroupListStopWait);
    m_groupListBusy = false;
    if (m_state == State::Running || m_state == State::Stopping) m_session.finishRun();
    setState(State::Exited);
}

int RunController::startGroupList() {
    if (m_state == State::Exited || m_groupListBusy) return -1;
    if (m_session.groupFetch().start() != 0) return -1;
    m_groupListBusy = true;
    return 0;
}

void RunController::stopGroupList() {
    if (m_groupListBusy) m_session.groupFetch().stop();
}

void RunController::groupListDone() {
    if (!m_groupListBusy) return;
    (void)m_session.groupFetch().wait(GroupListStopWait);
    m_groupListBusy = false;
    if (m_session.groupListFinished()) emit listsReloaded();
}

}  // namespace qm
