// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/qtfrontend.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <memory>

#include "config/threadcontext.h"
#include "model/locks.h"

namespace qm {

namespace {

constexpr int FlushIntervalMs = 40;

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A worker waiting for the window gives up when the program exits or it is told to stop.
bool callerShouldGiveUp() {
    if (ProgramExiting.load()) return true;
    const WorkerRecord* worker = ThreadContext::current().worker;
    return worker != nullptr && worker->abortRequested();
}

struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;  // guarded by mutex
};

}  // namespace

QtFrontend::QtFrontend(QObject* parent) : QObject(parent) {
    m_flushTimer.setInterval(FlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] {
        flushOfferedGroups();
        flushChangedRows();
    });
    m_flushTimer.start();
}

QtFrontend::~QtFrontend() = default;

void QtFrontend::setWindow(FrontendWindow* window) {
    m_window = window;
}

bool QtFrontend::onWindowThread() const {
    return QThread::currentThread() == thread();
}

void QtFrontend::post(std::function<void(FrontendWindow&)> call) {
    if (onWindowThread()) {
        if (m_window) call(*m_window);
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this, call = std::move(call)] {
            if (m_window) call(*m_window);
        },
        Qt::QueuedConnection);
}

bool QtFrontend::postAndWait(std::function<void(FrontendWindow&)> call) {
    if (onWindowThread()) {
        if (m_window) call(*m_window);
        return true;
    }
    auto completion = std::make_shared<Completion>();
    QMetaObject::invokeMethod(
        this,
        [this, call = std::move(call), completion] {
            // Not started once the caller has given up: its answer would go nowhere.
            if (m_window && !ProgramExiting.load()) call(*m_window);
            std::lock_guard lock(completion->mutex);
            completion->finished = true;
            completion->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(completion->mutex);
    while (!completion->finished) {
        if (callerShouldGiveUp()) return false;
        completion->done.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

void QtFrontend::appendLog(std::string_view line) {
    post([text = toQString(line)](FrontendWindow& w) { w.logLine(text); });
}

void QtFrontend::messageBox(std::string_view text, MessageIcon icon) {
    postAndWait([text = toQString(text), icon](FrontendWindow& w) { w.showMessage(text, icon); });
}

std::optional<Credentials> QtFrontend::askCredentials(std::string_view host,
                                                      const Credentials& prefill) {
    // The prompt needs the window thread's event loop; asked there, it could never be shown.
    if (onWindowThread() || ProgramExiting.load()) return std::nullopt;
    auto answer = std::make_shared<std::optional<Credentials>>();
    const bool answered = postAndWait([answer, host = toQString(host), prefill](FrontendWindow& w) {
        *answer = w.promptCredentials(host, prefill);
    });
    if (!answered || ProgramExiting.load()) return std::nullopt;
    return *answer;
}

void QtFrontend::offerAvailableGroup(GroupEntry& group) {
    std::lock_guard lock(m_offeredMutex);
    m_offered.push_back(&group);
}

void QtFrontend::flushOfferedGroups() {
    std::vector<GroupEntry*> batch;
    {
        std::lock_guard lock(m_offeredMutex);
        batch.swap(m_offered);
    }
    if (!batch.empty() && m_window) m_window->groupsOffered(batch);
}

void QtFrontend::updateGroupRow(GroupEntry& group) {
    std::lock_guard lock(m_offeredMutex);
    // A few groups at a time are read, so the list stays short.
    if (std::find(m_changed.begin(), m_changed.end(), &group) == m_changed.end())
        m_changed.push_back(&group);
}

void QtFrontend::flushChangedRows() {
    std::vector<GroupEntry*> batch;
    {
        std::lock_guard lock(m_offeredMutex);
        batch.swap(m_changed);
    }
    if (!m_window) return;
    for (GroupEntry* group : batch) m_window->groupRowChanged(*group);
}

void QtFrontend::runFinished() {
    post([this](FrontendWindow& w) {
        flushChangedRows();  // the rows show the run's last counts when it ends
        w.readersFinished();
    });
}

void QtFrontend::groupListFinished() {
    post([this](FrontendWindow& w) {
        flushOfferedGroups();
        w.groupListDone();
    });
}

void QtFrontend::openConfiguration() {
    post([](FrontendWindow& w) { w.configurationRequested(); });
}

}  // namespace qm
