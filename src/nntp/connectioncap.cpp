// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/connectioncap.h"

#include <algorithm>

namespace qm {

void ConnectionCap::reset(int cap) {
    std::lock_guard lock(m_mutex);
    m_cap = std::max(cap, 1);
    m_held = 0;
    m_waiting = 0;
    m_lastRelease = {};
}

bool ConnectionCap::acquire(const std::function<bool()>& stopRequested) {
    std::unique_lock lock(m_mutex);
    ++m_waiting;
    while (m_held >= m_cap) {
        if (stopRequested && stopRequested()) {
            --m_waiting;
            return false;
        }
        m_freed.wait_for(lock, std::chrono::milliseconds(50));
    }
    --m_waiting;
    ++m_held;
    return true;
}

bool ConnectionCap::tryAcquire() {
    std::lock_guard lock(m_mutex);
    if (m_held >= m_cap || m_waiting > 0) return false;
    ++m_held;
    return true;
}

void ConnectionCap::release() {
    {
        std::lock_guard lock(m_mutex);
        if (m_held > 0) --m_held;
        m_lastRelease = std::chrono::steady_clock::now();
    }
    m_freed.notify_all();
}

bool ConnectionCap::releasedWithin(std::chrono::milliseconds span) const {
    std::lock_guard lock(m_mutex);
    return m_lastRelease != std::chrono::steady_clock::time_point{} &&
           std::chrono::steady_clock::now() - m_lastRelease < span;
}

int ConnectionCap::refusedBeyond() {
    std::lock_guard lock(m_mutex);
    const int cap = std::max(m_held - 1, 1);
    if (cap >= m_cap) return 0;
    m_cap = cap;
    return cap;
}

bool ConnectionCap::contended() const {
    std::lock_guard lock(m_mutex);
    return m_waiting > 0;
}

int ConnectionCap::cap() const {
    std::lock_guard lock(m_mutex);
    return m_cap;
}

int ConnectionCap::held() const {
    std::lock_guard lock(m_mutex);
    return m_held;
}

}  // namespace qm
