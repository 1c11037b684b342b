// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/progressline.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/consolefrontend.h"
#include "model/groupentry.h"
#include "nntp/fillservers.h"

namespace qm::cli {
namespace {

constexpr auto RedrawEvery = std::chrono::milliseconds(250);

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
    return text + " articles, " + countText(group.pictures, "picture");
}

}  // namespace

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

FetchProgress::FetchProgress(ConsoleFrontend& frontend, const std::vector<GroupEntry*>& groups,
                             bool quiet)
    : m_frontend(frontend),
      m_progress(groups),
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
