// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/runtotals.h"

#include "config/grouptable.h"

namespace qm {

RunTotals::Base RunTotals::countersOf(const GroupEntry& group) {
    const GroupStats* stats = group.stats();
    if (!stats) return {};
    return {stats->retrieved.load(), stats->duplicates.load(), stats->pictureFiles.load(),
            stats->bytes.load(),     stats->filled.load(),     stats->lacking.load()};
}

void RunTotals::start(const GroupTable& groups) {
    m_base.clear();
    for (const GroupEntry* g : groups.entries()) m_base[g] = countersOf(*g);
    m_started = m_lastSample = Clock::now();
    m_lastBytes = 0;
    m_rate = 0;
}

RunTotals::Figures RunTotals::sample(const GroupTable& groups) {
    // A group added during the run counts from now; one removed keeps what it brought in.
    for (const GroupEntry* g : groups.entries())
        if (!m_base.contains(g)) m_base.emplace(g, countersOf(*g));
    Figures f;
    f.groups = static_cast<int>(m_base.size());
    for (const auto& [g, base] : m_base) {
        const Base now = countersOf(*g);
        f.articles += now.articles - base.articles;
        f.duplicates += now.duplicates - base.duplicates;
        f.pictures += now.pictures - base.pictures;
        f.bytes += now.bytes - base.bytes;
        f.filled += now.filled - base.filled;
        f.lacking += now.lacking - base.lacking;
    }
    const Clock::time_point now = Clock::now();
    f.seconds = std::chrono::duration<double>(now - m_started).count();
    const double interval = std::chrono::duration<double>(now - m_lastSample).count();
    if (interval >= 0.2) {
        // Smoothed, so that the figure does not jump with every article that arrives.
        const double instant = static_cast<double>(f.bytes - m_lastBytes) / interval;
        m_rate = m_lastBytes == 0 && m_rate == 0 ? instant : 0.5 * m_rate + 0.5 * instant;
        m_lastSample = now;
        m_lastBytes = f.bytes;
    }
    f.bytesPerSecond = m_rate;
    return f;
}

}  // namespace qm
