// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/groupturns.h"

#include <algorithm>

#include "model/groupentry.h"
#include "nntp/retrievalsteps.h"

namespace qm {

SharedGroupTurn& GroupTurns::turnFor(GroupEntry& group) {
    SharedGroupTurn* turn = nullptr;
    {
        std::lock_guard lock(m_mutex);
        std::unique_ptr<SharedGroupTurn>& slot = m_turns[&group];
        if (!slot) slot = std::make_unique<SharedGroupTurn>(group);
        turn = slot.get();
    }
    m_changed.notify_all();
    return *turn;
}

SharedGroupTurn* GroupTurns::helpable() {
    std::lock_guard lock(m_mutex);
    SharedGroupTurn* best = nullptr;
    int fewest = 0;
    for (auto& [group, turn] : m_turns) {
        if (!isEligible(turn->group()) || turn->over()) continue;
        const int readers = turn->readers();
        if (!best || readers < fewest) best = turn.get(), fewest = readers;
    }
    return best;
}

void GroupTurns::setRunReaders(int readers) {
    std::lock_guard lock(m_mutex);
    m_runReaders = std::max(readers, 1);
}

std::int64_t GroupTurns::fairShare(const SharedGroupTurn& turn) const {
    std::lock_guard lock(m_mutex);
    int live = 0;
    for (const auto& [group, other] : m_turns) live += !other->over();
    const int expected = std::max(1, m_runReaders / std::max(live, 1));
    return turn.remainingBytes() / std::max(turn.readers(), expected);
}

bool GroupTurns::hasTurn(const GroupEntry& group) const {
    std::lock_guard lock(m_mutex);
    return m_turns.count(&group) != 0;
}

void GroupTurns::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout);
}

void GroupTurns::clear() {
    std::lock_guard lock(m_mutex);
    m_turns.clear();
}

}  // namespace qm
