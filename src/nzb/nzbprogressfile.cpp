// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/nzbprogressfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>

#include "platform/paths.h"

namespace qm {
namespace {

std::string header(std::uint32_t digest) {
    char text[32];
    std::snprintf(text, sizeof text, "qmere-nzb 1 %08x\n", static_cast<unsigned>(digest));
    return text;
}

bool number(std::string_view text, int& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool NzbProgressFile::open(const std::string& folder, std::uint32_t digest) {
    const std::string path = joinPath(folder, NzbProgressFileName);
    const std::string first = header(digest);
    const std::optional<std::string> text = readWholeFile(path);
    const bool same = text && text->starts_with(first);
    if (same) parse(std::string_view(*text).substr(first.size()));
    m_fd = UniqueFd(::open(path.c_str(),
                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (same ? 0 : O_TRUNC), 0644));
    if (!m_fd) return false;
    return same ||
           ::write(m_fd.get(), first.data(), first.size()) == static_cast<ssize_t>(first.size());
}

void NzbProgressFile::parse(std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        // A line without its end was cut by a kill: it never happened.
        if (end == std::string_view::npos) break;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::size_t space = line.find(' ', 2);
        int file = 0, segment = 0;
        if (line.size() < 4 || line[1] != ' ' || space == std::string_view::npos ||
            !number(line.substr(2, space - 2), file))
            continue;
        const std::string_view value = line.substr(space + 1);
        if (line[0] == 'D' && !value.empty()) m_finished[file] = std::string(value);
        if (line[0] == 'S' && number(value, segment)) m_stored.emplace(file, segment);
        if (line[0] == 'M' && number(value, segment)) m_missing.emplace(file, segment);
        if (line[0] == 'Y') {
            const std::size_t blank = value.find(' ');
            std::uint64_t size = 0;
            const std::string_view digits = value.substr(0, blank);
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
            if (blank != std::string_view::npos && ec == std::errc() &&
                end == digits.data() + digits.size())
                m_yenc[file] = {size, std::string(value.substr(blank + 1))};
        }
    }
}

bool NzbProgressFile::record(char kind, int file, std::string_view value) {
    std::string line;
    line += kind;
    line += ' ';
    line += std::to_string(file);
    line += ' ';
    line += value;
    line += '\n';
    std::lock_guard lock(m_mutex);
    // One write per line, so a kill leaves whole lines and at most one cut short.
    return m_fd &&
           ::write(m_fd.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

}  // namespace qm
