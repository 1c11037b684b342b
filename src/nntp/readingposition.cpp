// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/readingposition.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "config/appsettings.h"
#include "config/serverentry.h"
#include "model/groupentry.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

std::string lastFile(const AppSettings& s, const GroupEntry& g) {
    const GroupStats* stats = g.stats();
    const ServerEntry* server = stats ? stats->positionServer.load() : nullptr;
    if (!server) return joinPath(groupDirectory(s, g), "Last");
    // Another server numbers its articles otherwise: its position has a file of its own, which
    // older versions never read.
    return joinPath(groupDirectory(s, g),
                    safeFolderName("Last." + server->host + "." + std::to_string(server->port)));
}

}  // namespace

void readLastFile(const AppSettings& settings, GroupEntry& g) {
    GroupStats& stats = g.ensureStats();
    FilePtr file = openFile(lastFile(settings, g), "rb");
    if (!file) return;
    char buffer[64];
    size_t n = std::fread(buffer, 1, sizeof buffer - 1, file.get());
    std::string_view text(buffer, n);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                             text.front() == '\r')) {
        text.remove_prefix(1);
    }
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc()) stats.current.store(value);
}

void writeLastFile(const AppSettings& settings, GroupEntry& g) {
    GroupStats* stats = g.stats();
    if (!stats) return;
    std::string path = lastFile(settings, g);
    const std::string content = std::to_string(stats->current.load());
    if (!fileHolds(path, content) && !writeFileAtomic(path, content))  // unchanged: not rewritten
        settings.frontend().appendLog("Fail create file " + path);
    const std::string countsPath = joinPath(groupDirectory(settings, g), "Counts");
    const std::string counts =
        std::to_string(stats->count.load()) + " " + std::to_string(stats->decoded.load());
    // Only shown, never relied on: a failure costs the figures of the next start, no more.
    if (!fileHolds(countsPath, counts)) (void)writeFileAtomic(countsPath, counts);
}

}  // namespace qm
