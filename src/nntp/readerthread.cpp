// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/readerthread.h"

#include <system_error>
#include <utility>

namespace qm {

ReaderThread::ReaderThread(AppSettings& settings, ReaderRunState& run)
    : m_connection(settings, run) {}

ReaderThread::~ReaderThread() {
    if (m_thread.joinable()) {
        requestStop();
        join();
    }
}

void ReaderThread::enterGroup(GroupEntry* group) {
    if (m_currentGroup && m_currentGroup != group) {
        m_currentGroup->clear(InProgress);
        // The record's article moves on with the reader: the group it leaves shows none.
        if (GroupStats* stats = m_currentGroup->stats()) {
            SavedArticle* mine = &m_article;
            stats->articleInProgress.compare_exchange_strong(mine, nullptr);
        }
    }
    m_currentGroup = group;
}

void ReaderThread::mergePending() {
    for (GroupEntry* group : m_pending.entries()) {
        m_groups.add(*group);
        group->set(Active);
    }
    m_pending.clear();
    for (GroupEntry* group : m_groups.entries()) {
        if (!group->has(Selected)) {
            m_groups.remove(group->name());  // one per call; passes skip the others
            break;
        }
    }
}

bool ReaderThread::start(std::function<void()> body, int batch) {
    // A thread cannot replace itself: its record would be left with two threads.
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) return false;
    join();
    m_batch = batch;
    {
        std::lock_guard lock(m_doneMutex);
        m_bodyRunning = true;
    }
    try {
        m_thread = std::thread([this, body = std::move(body)] {
            body();
            std::lock_guard lock(m_doneMutex);
            m_bodyRunning = false;
            m_doneChanged.notify_all();
        });
    } catch (const std::system_error&) {
        std::lock_guard lock(m_doneMutex);
        m_bodyRunning = false;
        return false;
    }
    return true;
}

bool ReaderThread::running() const {
    std::lock_guard lock(m_doneMutex);
    return m_bodyRunning;
}

bool ReaderThread::waitFinished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_doneMutex);
    return m_doneChanged.wait_for(lock, timeout, [this] { return !m_bodyRunning; });
}

void ReaderThread::join() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void ReaderThread::requestStop() {
    // The record first: a command refused for Stopping is then followed by the stop check.
    state = AbortRequested;
    m_connection.setStopping();
    m_connection.cancel();
}

}  // namespace qm
