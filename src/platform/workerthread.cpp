// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/workerthread.h"

#include <system_error>
#include <utility>

namespace qm {

WorkerThread::~WorkerThread() {
    (void)join();
}

bool WorkerThread::start(std::function<void()> body) {
    // A thread cannot replace itself: its record would be left with two threads.
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) return false;
    (void)join();
    {
        std::lock_guard lock(m_mutex);
        m_running = true;
    }
    try {
        m_thread = std::thread([this, body = std::move(body)] {
            body();
            std::lock_guard lock(m_mutex);
            m_running = false;
            m_finished.notify_all();
        });
    } catch (const std::system_error&) {
        std::lock_guard lock(m_mutex);
        m_running = false;
        return false;
    }
    return true;
}

bool WorkerThread::running() const {
    std::lock_guard lock(m_mutex);
    return m_running;
}

bool WorkerThread::waitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_finished.wait_for(lock, timeout, [this] { return !m_running; });
}

bool WorkerThread::join() {
    if (!m_thread.joinable() || m_thread.get_id() == std::this_thread::get_id()) return false;
    m_thread.join();
    return true;
}

}  // namespace qm
