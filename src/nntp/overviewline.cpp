// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/overviewline.h"

#include <algorithm>
#include <charconv>

namespace qm {
namespace {

// The text up to the next tab, and line moved past the tab.
std::string_view takeField(std::string_view& line) {
    const std::size_t tab = line.find('\t');
    const std::string_view field = line.substr(0, tab);
    line.remove_prefix(tab == std::string_view::npos ? line.size() : tab + 1);
    return field;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

template <typename T>
std::optional<T> number(std::string_view text) {
    T value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A count field: a plain number, or "Lines: 12" in the full form some servers write.
template <typename T>
T countField(std::string_view field) {
    field = trim(field);
    if (const std::size_t colon = field.find(':'); colon != std::string_view::npos)
        field = trim(field.substr(colon + 1));
    const auto value = number<T>(field);
    return value && *value > 0 ? *value : 0;
}

}  // namespace

std::optional<OverviewEntry> parseOverviewLine(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    const auto articleNumber = number<std::int64_t>(line.substr(0, tab));
    if (!articleNumber || *articleNumber <= 0) return std::nullopt;
    line.remove_prefix(tab + 1);
    OverviewEntry entry;
    entry.number = *articleNumber;
    entry.subject = std::string(takeField(line));
    takeField(line);  // From
    entry.date = std::string(trim(takeField(line)));
    if (const std::string_view id = trim(takeField(line)); isMessageId(id))
        entry.messageId = std::string(id);
    takeField(line);  // References
    entry.bytes = countField<std::int64_t>(takeField(line));
    entry.lines = countField<int>(takeField(line));
    return entry;
}

bool isMessageId(std::string_view text) {
    if (text.size() < 3 || text.size() > 250 || text.front() != '<' || text.back() != '>')
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::optional<HeaderValue> parseHeaderLine(std::string_view line) {
    const std::size_t blank = line.find_first_of(" \t");
    const auto articleNumber = number<std::int64_t>(line.substr(0, blank));
    if (!articleNumber || *articleNumber <= 0) return std::nullopt;
    HeaderValue header;
    header.number = *articleNumber;
    if (blank != std::string_view::npos) header.value = std::string(trim(line.substr(blank + 1)));
    return header;
}

}  // namespace qm
