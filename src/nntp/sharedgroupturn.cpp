// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/sharedgroupturn.h"

#include <algorithm>

#include "model/groupentry.h"

namespace qm {

SharedGroupTurn::SharedGroupTurn(GroupEntry& group) : m_group(group) {
    m_position = group.ensureStats().current.load();
    m_planned = m_position;
}

void SharedGroupTurn::join() {
    std::lock_guard lock(m_mutex);
    ++m_readers;
    m_group.ensureStats().readers = m_readers;
}

void SharedGroupTurn::leave() {
    {
        std::lock_guard lock(m_mutex);
        --m_readers;
        m_group.ensureStats().readers = m_readers;
    }
    m_changed.notify_all();
}

int SharedGroupTurn::readers() const {
    std::lock_guard lock(m_mutex);
    return m_readers;
}

std::optional<SharedGroupTurn::WindowClaim> SharedGroupTurn::claimWindow(std::int64_t lowBytes) {
    std::lock_guard lock(m_mutex);
    if (m_claimed || m_stopped || m_blocked || m_overviewless || m_queuedBytes >= lowBytes)
        return std::nullopt;
    const GroupStats& stats = m_group.ensureStats();
    // A position moved on from outside (the monitor's "Set") is followed.
    // Compared before adding one: a position at the largest number has nothing after it.
    const std::int64_t at = std::max(m_planned, stats.current.load());
    if (at >= stats.last.load()) return std::nullopt;
    const std::int64_t from = at + 1;
    m_claimed = true;
    return WindowClaim{from, m_span, m_known};
}

void SharedGroupTurn::addWindow(std::int64_t end, bool tail, std::vector<TurnItem> items,
                                std::int64_t span, std::int64_t known) {
    {
        std::lock_guard lock(m_mutex);
        m_claimed = false;
        m_span = span;
        m_known = std::max(m_known, known);
        for (TurnItem& item : items) {
            if (item.number <= m_planned) continue;  // asked for by an earlier window
            m_queuedBytes += item.bytes;
            ++m_queued;
            m_slots.push_back(Slot{std::move(item), State::Queued, false, true});
        }
        if (end > m_planned) {
            m_planned = end;
            // Past the last article known, numbers not found may yet come: only the articles
            // found there move the position.
            if (!tail) m_slots.push_back(Slot{TurnItem{end, 0, {}, {}}, State::Done, true, true});
        }
        settle();
    }
    m_changed.notify_all();
}

void SharedGroupTurn::dropClaim() {
    {
        std::lock_guard lock(m_mutex);
        m_claimed = false;
    }
    m_changed.notify_all();
}

void SharedGroupTurn::setOverviewless() {
    {
        std::lock_guard lock(m_mutex);
        m_overviewless = true;
        m_claimed = false;
    }
    m_changed.notify_all();
}

bool SharedGroupTurn::overviewless() const {
    std::lock_guard lock(m_mutex);
    return m_overviewless;
}

void SharedGroupTurn::noteKnown(std::int64_t number) {
    std::lock_guard lock(m_mutex);
    m_known = std::max(m_known, number);
}

SharedGroupTurn::Slot& SharedGroupTurn::slot(Ticket ticket) {
    return m_slots[static_cast<std::size_t>(ticket - m_base)];
}

std::optional<std::pair<SharedGroupTurn::Ticket, TurnItem>> SharedGroupTurn::take(std::int64_t room,
                                                                                  bool force) {
    std::lock_guard lock(m_mutex);
    if (m_stopped) return std::nullopt;
    // Given-back articles first: the position waits for them.
    std::optional<Ticket> ticket;
    if (!m_released.empty()) {
        ticket = *m_released.begin();
    } else {
        m_next = std::max(m_next, m_base);
        while (m_next < m_base + m_slots.size() && slot(m_next).state != State::Queued) ++m_next;
        if (m_next < m_base + m_slots.size()) ticket = m_next;
    }
    if (!ticket) return std::nullopt;
    Slot& s = slot(*ticket);
    if (!force && s.item.bytes > room) return std::nullopt;
    if (!m_released.empty())
        m_released.erase(m_released.begin());
    else
        ++m_next;
    s.state = State::Taken;
    m_queuedBytes -= s.item.bytes;
    m_takenBytes += s.item.bytes;
    --m_queued;
    ++m_taken;
    return std::make_pair(*ticket, s.item);
}

void SharedGroupTurn::done(Ticket ticket, bool advance) {
    {
        std::lock_guard lock(m_mutex);
        if (ticket < m_base || ticket >= m_base + m_slots.size()) return;  // not handed out
        Slot& s = slot(ticket);
        if (s.state != State::Taken) return;
        s.state = State::Done;
        s.advance = advance;
        --m_taken;
        m_takenBytes -= s.item.bytes;
        settle();
    }
    m_changed.notify_all();
}

void SharedGroupTurn::fail(Ticket ticket) {
    {
        std::lock_guard lock(m_mutex);
        if (ticket < m_base || ticket >= m_base + m_slots.size()) return;  // not handed out
        Slot& s = slot(ticket);
        if (s.state != State::Taken) return;
        s.state = State::Failed;
        --m_taken;
        m_takenBytes -= s.item.bytes;
        m_blocked = true;
        settle();
    }
    m_changed.notify_all();
}

void SharedGroupTurn::release(Ticket ticket) {
    {
        std::lock_guard lock(m_mutex);
        if (ticket < m_base || ticket >= m_base + m_slots.size()) return;  // not handed out
        Slot& s = slot(ticket);
        if (s.state != State::Taken) return;
        s.state = State::Queued;
        --m_taken;
        m_takenBytes -= s.item.bytes;
        m_queuedBytes += s.item.bytes;
        ++m_queued;
        m_released.insert(ticket);
    }
    m_changed.notify_all();
}

void SharedGroupTurn::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    m_changed.notify_all();
}

bool SharedGroupTurn::stopped() const {
    std::lock_guard lock(m_mutex);
    return m_stopped;
}

void SharedGroupTurn::settle() {
    std::int64_t position = m_position;
    while (!m_slots.empty()) {
        const Slot& front = m_slots.front();
        if (front.state == State::Done) {
            if (front.advance) position = std::max(position, front.item.number);
            m_slots.pop_front();
            ++m_base;
            continue;
        }
        // Every number before it is dealt with: filtered, or not on the server. Above the
        // last article known, only an article found proves that.
        if (!front.marker && front.item.kind != WindowAsk::Kind::Tail)
            position = std::max(position, front.item.number - 1);
        break;
    }
    m_position = position;
    // Never back: a position moved on from outside stands.
    GroupStats& stats = m_group.ensureStats();
    std::int64_t current = stats.current.load();
    while (current < position && !stats.current.compare_exchange_weak(current, position)) {
    }
}

bool SharedGroupTurn::idleLocked() const {
    return !m_claimed && m_taken == 0 && m_queued == 0;
}

bool SharedGroupTurn::finishedLocked() const {
    return !m_stopped && !m_blocked && !m_overviewless && idleLocked() &&
           std::max(m_planned, m_group.ensureStats().current.load()) >=
               m_group.ensureStats().last.load();
}

bool SharedGroupTurn::claimFinish() {
    std::lock_guard lock(m_mutex);
    if (m_finishClaimed || !finishedLocked()) return false;
    m_finishClaimed = true;
    return true;
}

bool SharedGroupTurn::over() const {
    std::lock_guard lock(m_mutex);
    return m_finishClaimed || m_overviewless || m_stopped || finishedLocked() ||
           (m_blocked && idleLocked());
}

std::int64_t SharedGroupTurn::queuedBytes() const {
    std::lock_guard lock(m_mutex);
    return m_queuedBytes;
}

std::int64_t SharedGroupTurn::remainingBytes() const {
    std::lock_guard lock(m_mutex);
    return m_queuedBytes + m_takenBytes;
}

std::int64_t SharedGroupTurn::position() const {
    std::lock_guard lock(m_mutex);
    return m_position;
}

void SharedGroupTurn::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout);
}

}  // namespace qm
