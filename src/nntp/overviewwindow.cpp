// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/overviewwindow.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace qm {
namespace {

constexpr std::int64_t MaxNumber = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t None = static_cast<std::size_t>(-1);

// A number the window knows to hold an article, and its overview entry when listed.
struct Known {
    std::int64_t number;
    std::size_t entry;
};

}  // namespace

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > MaxNumber - b) return MaxNumber;
    if (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b)
        return std::numeric_limits<std::int64_t>::min();
    return a + b;
}

OverviewCollector::OverviewCollector(std::int64_t from, std::int64_t to, std::size_t byteLimit)
    : m_from(from), m_to(to), m_limit(byteLimit) {}

std::size_t OverviewCollector::weight(const OverviewEntry& entry) {
    return sizeof(OverviewEntry) + entry.subject.size() + entry.messageId.size() +
           entry.date.size();
}

void OverviewCollector::add(OverviewEntry entry) {
    if (entry.number < m_from || entry.number > m_to) return;
    m_bytes += weight(entry);
    m_entries.push_back(std::move(entry));
    if (m_bytes > m_limit) compact();
}

void OverviewCollector::compact() {
    // Repeated lines: the first one stands.
    std::stable_sort(
        m_entries.begin(), m_entries.end(),
        [](const OverviewEntry& a, const OverviewEntry& b) { return a.number < b.number; });
    m_entries.erase(std::unique(m_entries.begin(), m_entries.end(),
                                [](const OverviewEntry& a, const OverviewEntry& b) {
                                    return a.number == b.number;
                                }),
                    m_entries.end());
    m_bytes = 0;
    for (const OverviewEntry& entry : m_entries) m_bytes += weight(entry);
    if (m_bytes <= m_limit) return;
    while (m_entries.size() > 1 && m_bytes > m_limit) {
        m_bytes -= weight(m_entries.back());
        m_entries.pop_back();
    }
    // The window now ends at the last entry kept; what lies after it is asked for again.
    m_to = m_entries.back().number;
}

std::vector<OverviewEntry> OverviewCollector::take() {
    compact();
    return std::move(m_entries);
}

NumberCollector::NumberCollector(std::int64_t from, std::int64_t to, std::size_t limit)
    : m_from(from), m_to(to), m_limit(std::max<std::size_t>(limit, 1)) {}

void NumberCollector::add(std::int64_t number) {
    if (number < m_from || number > m_to) return;
    m_numbers.push_back(number);
    if (m_numbers.size() >= 2 * m_limit) compact();
}

void NumberCollector::compact() {
    std::sort(m_numbers.begin(), m_numbers.end());
    m_numbers.erase(std::unique(m_numbers.begin(), m_numbers.end()), m_numbers.end());
    if (m_numbers.size() <= m_limit) return;
    m_numbers.resize(m_limit);
    m_to = m_numbers.back();
}

std::vector<std::int64_t> NumberCollector::take() {
    compact();
    return std::move(m_numbers);
}

WindowPlan planWindow(const WindowFacts& facts) {
    WindowPlan plan;
    plan.end = facts.end;
    // NEXT from the anchor skipped every number up to the article it named.
    std::int64_t emptyFrom = 1, emptyTo = 0;
    if (facts.next && *facts.next > facts.anchor) {
        emptyFrom = facts.anchor + 1;
        emptyTo = *facts.next - 1;
        if (*facts.next > facts.end) plan.end = std::max(facts.end, std::min(emptyTo, facts.last));
    }

    std::vector<Known> known;
    for (std::size_t i = 0; i < facts.listed.size(); ++i)
        if (facts.listed[i].number <= plan.end) known.push_back({facts.listed[i].number, i});
    if (facts.existing)
        for (std::int64_t n : *facts.existing)
            if (n <= plan.end) known.push_back({n, None});
    if (facts.next && *facts.next >= facts.from && *facts.next <= plan.end)
        known.push_back({*facts.next, None});
    // Listed before the others of the same number, so that the entry is kept.
    std::sort(known.begin(), known.end(), [](const Known& a, const Known& b) {
        return a.number != b.number ? a.number < b.number : a.entry < b.entry;
    });
    known.erase(std::unique(known.begin(), known.end(),
                            [](const Known& a, const Known& b) { return a.number == b.number; }),
                known.end());

    std::int64_t probes = 0;
    // The numbers lo..hi, below an article known, hold no article known. Where LISTGROUP
    // answered they hold none; otherwise each is asked for, except those NEXT skipped. False
    // when the probes ran out: the window then ends before the first number not probed.
    auto gap = [&](std::int64_t lo, std::int64_t hi) {
        if (facts.existing) return true;
        for (std::int64_t n = lo;; ++n) {
            if (n >= emptyFrom && n <= emptyTo)
                n = std::min(emptyTo, hi);
            else {
                if (probes == MaxProbes) {
                    plan.end = n - 1;
                    return false;
                }
                plan.asks.push_back({n, WindowAsk::Kind::Probe, 0});
                ++probes;
                ++plan.leftOut;
            }
            if (n >= hi) return true;
        }
    };

    std::int64_t cursor = facts.from;  // the first number not accounted for
    bool covered = false;              // every number up to plan.end is accounted for
    for (const Known& k : known) {
        if (k.number > cursor && !gap(cursor, k.number - 1)) return plan;
        const bool listed = k.entry != None;
        plan.asks.push_back({k.number, listed ? WindowAsk::Kind::Listed : WindowAsk::Kind::Known,
                             listed ? k.entry : 0});
        plan.leftOut += listed ? 0 : 1;
        if (k.number >= plan.end) {
            covered = true;
            break;
        }
        cursor = k.number + 1;
    }
    if (covered || cursor > plan.end) return plan;
    // Where the server's range ends in this window, the numbers above every article known are
    // not known to be absent: the newest articles may not be listed yet.
    const bool crossed = facts.next && *facts.next > plan.end;
    if (plan.end < facts.last || crossed) {
        gap(cursor, plan.end);
        return plan;
    }
    plan.tail = true;
    const std::int64_t tailEnd = std::min(plan.end, saturatingAdd(cursor, TailProbes - 1));
    for (std::int64_t n = cursor;; ++n) {
        plan.asks.push_back({n, WindowAsk::Kind::Tail, 0});
        ++plan.leftOut;
        if (n >= tailEnd) break;
    }
    return plan;
}

}  // namespace qm
