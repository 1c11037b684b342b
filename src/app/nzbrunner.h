// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The NZBs the window was given (File > "Open NZB…", a drop, the command line), fetched one
// after the other by NzbJob on a worker thread of its own, with the server and connection
// count they were opened with. The window never waits on the fetch: the worker copies the
// job's figures into a row per NZB, which the window reads on its timer, and tells the
// window thread when it has run out of work, where it is joined.
//
// Owned by the main window, window thread only (but for the worker it starts). stop() asks
// the worker to leave (what is in flight is fetched again next time); stopForExit() also
// joins it: by then every wait of a worker on the window gives up (QtFrontend).
#include <QObject>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qm {

class ServerEntry;
class Session;

class NzbRunner : public QObject {
    Q_OBJECT
  public:
    enum class RowState { Queued, Fetching, Done, Stopped, Failed };

    // One opened NZB as the window shows it.
    struct Row {
        std::string name;  // the NZB's file name
        RowState state = RowState::Queued;
        int files = 0, filesDone = 0, segmentsMissing = 0;
        std::int64_t bytes = 0, bytesDone = 0;
        double bytesPerSecond = 0;  // of this run's fetch
        double secondsLeft = -1;    // unknown while negative
        std::string result;         // at the end: the par2 sets' results, or why it failed
    };

    explicit NzbRunner(Session& session, QObject* parent = nullptr);
    ~NzbRunner() override;
    NzbRunner(const NzbRunner&) = delete;
    NzbRunner& operator=(const NzbRunner&) = delete;

    // Queues path to be fetched from server over connections connections and starts the
    // worker when it is not on.
    void open(const std::string& path, ServerEntry& server, int connections);
    bool busy() const { return m_thread.joinable(); }
    void stop();
    void stopForExit();
    // A copy of every row, in the order they were opened.
    std::vector<Row> rows() const;

  signals:
    // The worker has ended (all fetched or stopped) and is joined.
    void finished();

  private:
    struct Task {
        std::size_t row = 0;
        std::string path;
        ServerEntry* server = nullptr;
        int connections = 1;
    };
    void work();
    void fetch(const Task& task);
    void workerEnded();
    template <typename Change>
    void change(std::size_t row, Change&& how);

    Session& m_session;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::vector<Row> m_rows;   // guarded by m_mutex
    std::deque<Task> m_queue;  // guarded by m_mutex
    bool m_workerOn = false;   // guarded by m_mutex: the worker takes from the queue
};

}  // namespace qm
