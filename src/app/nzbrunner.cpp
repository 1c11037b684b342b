// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/nzbrunner.h"

#include <QMetaObject>
#include <chrono>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "nzb/nzbjob.h"
#include "nzb/nzbparser.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

NzbRunner::NzbRunner(Session& session, QObject* parent) : QObject(parent), m_session(session) {}

NzbRunner::~NzbRunner() {
    stopForExit();
}

template <typename Change>
void NzbRunner::change(std::size_t row, Change&& how) {
    std::lock_guard lock(m_mutex);
    how(m_rows[row]);
}

void NzbRunner::open(const std::string& path, ServerEntry& server, int connections) {
    std::lock_guard lock(m_mutex);
    Row row;
    row.name = std::string(baseName(path));
    m_rows.push_back(std::move(row));
    m_queue.push_back({m_rows.size() - 1, path, &server, connections});
    if (m_workerOn) return;
    // A worker that found the queue empty is on its way out: joined before the next starts.
    if (m_thread.joinable()) m_thread.join();
    m_stop.store(false);
    m_workerOn = true;
    m_thread = std::thread([this] { work(); });
}

void NzbRunner::stop() {
    m_stop.store(true);
    std::lock_guard lock(m_mutex);
    for (const Task& task : m_queue) m_rows[task.row].state = RowState::Stopped;
    m_queue.clear();
}

void NzbRunner::stopForExit() {
    stop();
    if (m_thread.joinable()) m_thread.join();
}

std::vector<NzbRunner::Row> NzbRunner::rows() const {
    std::lock_guard lock(m_mutex);
    return m_rows;
}

void NzbRunner::work() {
    for (;;) {
        Task task;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty() || m_stop.load()) {
                m_workerOn = false;
                break;
            }
            task = std::move(m_queue.front());
            m_queue.pop_front();
        }
        fetch(task);
    }
    // Dropped unrun when the runner is gone first (its destructor joins instead).
    QMetaObject::invokeMethod(
        this, [this] { workerEnded(); }, Qt::QueuedConnection);
}

void NzbRunner::workerEnded() {
    bool on = false;
    {
        std::lock_guard lock(m_mutex);
        on = m_workerOn;
    }
    // Another NZB may have started a new worker meanwhile: that one reports for itself.
    if (on || !m_thread.joinable()) return;
    m_thread.join();
    {
        // Opened while a stop was under way: the stop cleared the queue before, so these
        // are wanted.
        std::lock_guard lock(m_mutex);
        if (!m_queue.empty()) {
            m_stop.store(false);
            m_workerOn = true;
            m_thread = std::thread([this] { work(); });
            return;
        }
    }
    emit finished();
}

void NzbRunner::fetch(const Task& task) {
    Frontend& frontend = m_session.settings().frontend();
    const std::string& path = task.path;
    NzbParse nzb = readNzbFile(path);
    for (const std::string& note : nzb.notes) frontend.appendLog(path + ": " + note);
    if (!nzb.ok()) {
        frontend.appendLog(path + ": " + nzb.error);
        change(task.row, [&](Row& row) {
            row.state = RowState::Failed;
            row.result = nzb.error;
        });
        return;
    }
    change(task.row, [](Row& row) { row.state = RowState::Fetching; });

    using Clock = std::chrono::steady_clock;
    NzbJob job(m_session, *task.server);
    const NzbFetchFigures* sampled = nullptr;
    Clock::time_point since;
    std::int64_t bytesAtStart = 0;
    const NzbOutcome outcome = job.run(path, nzb.document, task.connections, [&] {
        if (m_stop.load()) return false;
        const NzbFetchFigures* figures = job.figures();
        if (!figures) return true;
        // Each fetch (the files, then a set's volumes) has figures of its own; the rate is
        // of what came in since this one began, not of what an earlier run left stored.
        const std::int64_t done = figures->bytesDone.load();
        if (figures != sampled) {
            sampled = figures;
            since = Clock::now();
            bytesAtStart = done;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - since).count();
        change(task.row, [&](Row& row) {
            row.files = figures->files.load();
            row.filesDone = figures->filesDone.load();
            row.segmentsMissing = figures->segmentsMissing.load();
            row.bytes = figures->bytes.load();
            row.bytesDone = done;
            row.bytesPerSecond =
                seconds > 0.5 ? static_cast<double>(done - bytesAtStart) / seconds : 0;
            row.secondsLeft = row.bytesPerSecond > 0
                                  ? static_cast<double>(row.bytes - done) / row.bytesPerSecond
                                  : -1;
        });
        return true;
    });

    for (const std::string& set : outcome.sets) frontend.appendLog(set);
    for (const std::string& failure : outcome.failures) frontend.appendLog(path + ": " + failure);
    if (!outcome.stopped)
        frontend.appendLog(path + ": " + std::to_string(outcome.files) + " files in " +
                           outcome.folder);
    change(task.row, [&](Row& row) {
        row.filesDone = outcome.files;
        row.secondsLeft = outcome.stopped ? -1 : 0;
        row.bytesPerSecond = 0;
        if (outcome.stopped) {
            row.state = RowState::Stopped;
            return;
        }
        row.state =
            outcome.failures.empty() && !outcome.shortSet ? RowState::Done : RowState::Failed;
        if (!outcome.failures.empty()) {
            row.result = std::to_string(outcome.failures.size()) + " failures (see the log)";
            return;
        }
        // "<index file>: complete" and so on: the row has one column for every set.
        for (const std::string& set : outcome.sets) {
            const std::size_t colon = set.find(": ");
            if (!row.result.empty()) row.result += "; ";
            row.result += colon == std::string::npos ? set : set.substr(colon + 2);
        }
    });
}

}  // namespace qm
