// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/readerthread.h"

#include <utility>

namespace qm {

ReaderThread::ReaderThread(AppSettings& settings, ReaderRunState& run)
    : m_events(settings, run), m_connection(m_events, run.login) {}

ReaderThread::~ReaderThread() {
    requestStop();
    join();
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
    (void)m_thread.join();  // an earlier thread, ended or leaving: its batch is read no more
    if (m_thread.running()) return false;  // on that thread itself, which cannot replace itself
    m_batch = batch;
    return m_thread.start(std::move(body));
}

void ReaderThread::requestStop() {
    // The record first: a command refused for Stopping is then followed by the stop check.
    state = AbortRequested;
    m_connection.setStopping();
    m_connection.cancel();
}

}  // namespace qm
