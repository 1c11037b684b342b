// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/progressline.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "catalog/picturelist.h"
#include "cli/consolefrontend.h"
#include "config/appsettings.h"
#include "config/groupentry.h"
#include "nntp/fillservers.h"

namespace qm::cli {
namespace {

// The rates are taken over the last seconds: a stall shows within them, and one slow article
// at the start does not weigh on the whole run.
constexpr auto RateWindow = std::chrono::seconds(10);
constexpr auto RedrawEvery = std::chrono::milliseconds(250);

std::string plural(std::int64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A group name goes to the terminal as it is typed or stored: control characters in it
// would move the cursor.
std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

// At most limit bytes, never cutting a UTF-8 sequence in two (a byte is at least a column,
// so the text never takes more columns than that).
std::string cut(std::string text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::string groupText(const GroupFigures& group) {
    std::string text = printable(group.name) + ": ";
    text += group.known ? std::to_string(group.dealt) + "/" + std::to_string(*group.known)
                        : std::string("?");
    return text + " articles, " + plural(group.pictures, "picture");
}

}  // namespace

std::int64_t RunFigures::dealt() const {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.dealt;
    return n;
}

std::int64_t RunFigures::pictures() const {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.pictures;
    return n;
}

std::int64_t RunFigures::bytes() const {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.bytes;
    return n;
}

std::int64_t RunFigures::retrieved() const {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.retrieved;
    return n;
}

std::int64_t RunFigures::duplicates() const {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.duplicates;
    return n;
}

std::int64_t RunFigures::filled() const {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.filled;
    return n;
}

std::int64_t RunFigures::lacking() const {
    std::int64_t n = 0;
    for (const GroupFigures& g : groups) n += g.lacking;
    return n;
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

std::string progressLine(const RunFigures& figures, int width) {
    std::string groups;
    for (const GroupFigures& g : figures.groups) {
        if (!groups.empty()) groups += "; ";
        groups += groupText(g);
    }
    std::string rates = " | " + fixed(figures.articlesPerSecond, 1) + " articles/s, " +
                        fixed(figures.bytesPerSecond / (1024.0 * 1024.0), 2) + " MB/s";
    if (figures.thumbnailsMade)
        rates = " | making the last thumbnails: " + std::to_string(*figures.thumbnailsMade) +
                " made, " + durationText(figures.seconds);
    else if (figures.secondsLeft)
        rates += ", " + durationText(*figures.secondsLeft) + " left";

    // The last column stays empty: a terminal that wraps on it would scroll the line away.
    const std::size_t limit = static_cast<std::size_t>(std::max(width, 2) - 1);
    if (groups.size() + rates.size() <= limit) return groups + rates;
    constexpr std::size_t Ellipsis = 3;
    constexpr std::size_t FewestShown = 12;
    if (limit >= rates.size() + FewestShown)
        return cut(groups, limit - rates.size() - Ellipsis) + "..." + rates;
    return cut(groups + rates, limit);
}

std::string closingSummary(const RunFigures& figures) {
    return "Run ended: " + plural(static_cast<std::int64_t>(figures.groups.size()), "group") +
           ", " + plural(figures.retrieved(), "article") + ", " +
           plural(figures.pictures(), "picture") + ", " + plural(figures.bytes(), "byte") + " in " +
           fixed(figures.seconds, 1) + " s, " + plural(figures.duplicates(), "duplicate") +
           " skipped" + fillSummary(figures.filled(), figures.lacking());
}

RunProgress::RunProgress(const AppSettings& settings, std::vector<GroupEntry*> groups,
                         const RunOptions& options, Clock::time_point start)
    : m_newest(options.firstVisit.value_or(settings.firstVisit)),
      m_days(options.firstVisitDays.value_or(settings.firstVisitDays)),
      m_start(start) {
    for (GroupEntry* group : groups) {
        // What the reader will read too when it selects the group.
        readLastFile(settings, *group);
        const GroupStats& stats = group->ensureStats();
        m_groups.push_back({group, stats.current.load(), std::nullopt, stats.pictureFiles.load(),
                            stats.bytes.load(), stats.retrieved.load(), stats.duplicates.load(),
                            stats.filled.load(), stats.lacking.load()});
    }
    m_points.push_back({start, 0, 0});
}

std::optional<std::int64_t> RunProgress::startOf(Tracked& tracked) const {
    if (tracked.start) return tracked.start;
    const GroupStats* stats = tracked.group->stats();
    const std::int64_t first = stats->first.load();
    const std::int64_t last = stats->last.load();
    if (first < 0) return std::nullopt;  // the server has not told the range yet
    // As the reader positions the group: a stored position inside the range is kept (and one
    // above it, where the server lags), one below starts again at the first article; a group
    // never read starts with its newest articles, or (by date) where the reader's search put
    // it, as the position shows.
    if (tracked.stored >= 0) {
        tracked.start = tracked.stored >= first - 1 ? tracked.stored : first - 1;
    } else if (m_days <= 0) {
        tracked.start = m_newest > 0 && last - first + 1 > m_newest ? last - m_newest : first - 1;
    } else {
        const std::int64_t current = stats->current.load();
        if (current >= 0 && current >= first - 1) tracked.start = current;
    }
    return tracked.start;
}

RunFigures RunProgress::sample(Clock::time_point now) {
    RunFigures figures;
    figures.seconds = std::chrono::duration<double>(now - m_start).count();
    bool allKnown = true;
    std::int64_t left = 0;
    for (Tracked& tracked : m_groups) {
        const GroupStats* stats = tracked.group->stats();
        GroupFigures g;
        g.name = tracked.group->name();
        g.pictures = stats->pictureFiles.load() - tracked.pictures;
        g.bytes = stats->bytes.load() - tracked.bytes;
        g.retrieved = stats->retrieved.load() - tracked.retrieved;
        g.duplicates = stats->duplicates.load() - tracked.duplicates;
        g.filled = stats->filled.load() - tracked.filled;
        g.lacking = stats->lacking.load() - tracked.lacking;
        if (const std::optional<std::int64_t> start = startOf(tracked)) {
            const std::int64_t known = std::max<std::int64_t>(stats->last.load() - *start, 0);
            g.known = known;
            g.dealt = tracked.group->has(Finished)
                          ? known
                          : std::clamp<std::int64_t>(stats->current.load() - *start, 0, known);
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

FetchProgress::FetchProgress(ConsoleFrontend& frontend, const AppSettings& settings,
                             std::vector<GroupEntry*> groups, const RunOptions& options, bool quiet)
    : m_frontend(frontend),
      m_progress(settings, std::move(groups), options),
      m_showLine(!quiet && ConsoleFrontend::canRewrite(STDOUT_FILENO)) {
    frontend.setQuiet(quiet);
    // The core's own traces on standard output would break into the line, or into a quiet
    // run's output; a plain run through a pipe keeps them as before.
    if ((quiet || m_showLine) && !frontend.divertTraces()) m_showLine = false;
}

FetchProgress::~FetchProgress() {
    // The source points here: it must not outlive this.
    if (m_showLine && !m_finished) m_frontend.clearStatusLine();
}

std::string FetchProgress::line() {
    RunFigures figures = m_progress.sample();
    if (const int made = m_thumbnailsMade.load(); made >= 0) figures.thumbnailsMade = made;
    return progressLine(figures, m_width.load());
}

void FetchProgress::update() {
    if (!m_showLine) return;
    const auto now = RunProgress::Clock::now();
    if (now - m_drawn < RedrawEvery) return;
    if (m_drawn == RunProgress::Clock::time_point{})
        m_frontend.setStatusSource([this] { return line(); });
    m_drawn = now;
    winsize size{};
    if (::ioctl(m_frontend.outputDescriptor(), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        m_width = size.ws_col;
    m_frontend.refreshStatus();
}

void FetchProgress::updateThumbnails(int made) {
    // The first count is drawn at once: the line says what the command waits for now.
    if (m_thumbnailsMade.exchange(made) < 0) m_drawn = {};
    update();
}

void FetchProgress::finish() {
    if (m_showLine) m_frontend.clearStatusLine();
    m_finished = true;
    const RunFigures figures = m_progress.sample();
    m_frontend.printAlways(closingSummary(figures));
}

}  // namespace qm::cli
