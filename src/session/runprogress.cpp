// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/runprogress.h"

#include <algorithm>
#include <cstdio>

#include "model/groupentry.h"
#include "nntp/fillservers.h"

namespace qm {
namespace {

// The rates are taken over the last seconds: a stall shows within them, and one slow article
// at the start does not weigh on the whole run.
constexpr auto RateWindow = std::chrono::seconds(10);

template <typename Field>
std::int64_t sum(const std::vector<GroupFigures>& groups, Field field) {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.*field;
    return n;
}

}  // namespace

std::int64_t RunFigures::dealt() const {
    return sum(groups, &GroupFigures::dealt);
}
std::int64_t RunFigures::pictures() const {
    return sum(groups, &GroupFigures::pictures);
}
std::int64_t RunFigures::bytes() const {
    return sum(groups, &GroupFigures::bytes);
}
std::int64_t RunFigures::retrieved() const {
    return sum(groups, &GroupFigures::retrieved);
}
std::int64_t RunFigures::duplicates() const {
    return sum(groups, &GroupFigures::duplicates);
}
std::int64_t RunFigures::filled() const {
    return sum(groups, &GroupFigures::filled);
}
std::int64_t RunFigures::lacking() const {
    return sum(groups, &GroupFigures::lacking);
}

std::string closingSummary(const RunFigures& figures) {
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.1f", figures.seconds);
    return "Run ended: " + countText(static_cast<std::int64_t>(figures.groups.size()), "group") +
           ", " + countText(figures.retrieved(), "article") + ", " +
           countText(figures.pictures(), "picture") + ", " + countText(figures.bytes(), "byte") +
           " in " + seconds + " s, " + countText(figures.duplicates(), "duplicate") + " skipped" +
           fillSummary(figures.filled(), figures.lacking());
}

std::string countText(std::int64_t n, std::string_view word) {
    return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

std::string durationText(double seconds) {
    const auto total = static_cast<long long>(std::max(0.0, seconds) + 0.5);
    char text[64];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

RunProgress::RunProgress(const std::vector<GroupEntry*>& groups, Clock::time_point start)
    : m_start(start) {
    for (GroupEntry* group : groups) add(*group);
    m_points.push_back({start, 0, 0});
}

void RunProgress::add(GroupEntry& group) {
    for (const Tracked& t : m_groups)
        if (t.group == &group) return;
    GroupStats& stats = group.ensureStats();
    // Unknown until its reader positions it in this run.
    stats.runStart = -1;
    m_groups.push_back({&group, stats.pictureFiles.load(), stats.bytes.load(),
                        stats.retrieved.load(), stats.duplicates.load(), stats.filled.load(),
                        stats.lacking.load()});
}

RunFigures RunProgress::sample(Clock::time_point now) {
    RunFigures figures;
    figures.seconds = std::chrono::duration<double>(now - m_start).count();
    bool allKnown = true;
    std::int64_t left = 0;
    for (const Tracked& tracked : m_groups) {
        const GroupStats& stats = *tracked.group->stats();
        GroupFigures g;
        g.name = tracked.group->name();
        g.pictures = stats.pictureFiles.load() - tracked.pictures;
        g.bytes = stats.bytes.load() - tracked.bytes;
        g.retrieved = stats.retrieved.load() - tracked.retrieved;
        g.duplicates = stats.duplicates.load() - tracked.duplicates;
        g.filled = stats.filled.load() - tracked.filled;
        g.lacking = stats.lacking.load() - tracked.lacking;
        if (const std::int64_t start = stats.runStart.load(); start >= 0) {
            const std::int64_t known = std::max<std::int64_t>(stats.last.load() - start, 0);
            g.known = known;
            g.dealt = tracked.group->has(Finished)
                          ? known
                          : std::clamp<std::int64_t>(stats.current.load() - start, 0, known);
            left += known - g.dealt;
        } else if (tracked.group->has(Active) && !tracked.group->has(Finished)) {
            allKnown = false;  // still to be read; a group the server refused is not
        }
        figures.groups.push_back(std::move(g));
    }

    const Point point{now, figures.dealt(), figures.bytes()};
    while (m_points.size() > 1 && now - m_points[1].time >= RateWindow) m_points.pop_front();
    const Point& from = m_points.front();
    const double span = std::chrono::duration<double>(now - from.time).count();
    if (span > 0) {
        figures.articlesPerSecond = static_cast<double>(point.dealt - from.dealt) / span;
        figures.bytesPerSecond = static_cast<double>(point.bytes - from.bytes) / span;
    }
    m_points.push_back(point);
    if (allKnown && left > 0 && figures.articlesPerSecond > 0)
        figures.secondsLeft = static_cast<double>(left) / figures.articlesPerSecond;
    return figures;
}

}  // namespace qm
