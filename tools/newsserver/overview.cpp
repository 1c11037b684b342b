// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/overview.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace qm::newsd {
namespace {

bool sameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The next line of text without its line end; text moves past it.
std::string_view takeLine(std::string_view& text) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Calls visit(name, value) for every header field, its continuation lines joined to it with
// their line ends removed; stops when visit returns false.
template <typename Visit>
void forEachField(std::string_view text, Visit visit) {
    std::string_view name;
    std::string value;
    bool open = false;
    for (;;) {
        const std::string_view line = text.empty() ? std::string_view() : takeLine(text);
        if (!line.empty() && isBlank(line.front())) {
            if (open) value.append(line);  // folded: the line end goes, the blank stays
            continue;
        }
        if (open && !visit(name, value)) return;
        open = false;
        if (line.empty()) return;  // the end of the header
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;  // not a field: skipped
        name = line.substr(0, colon);
        value.assign(line.substr(colon + 1));
        open = true;
    }
}

std::string clean(std::string_view value) {
    while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
    std::string out(value);
    for (char& c : out)
        if (c == '\t' || c == '\r' || c == '\n' || c == '\0') c = ' ';
    return out;
}

struct Shape {
    std::uint64_t wireBytes = 0;
    std::uint64_t bodyLines = 0;
};

Shape shapeOf(std::string_view text) {
    Shape shape;
    bool body = false;
    while (!text.empty()) {
        const std::string_view line = takeLine(text);
        shape.wireBytes += line.size() + 2;
        if (body)
            ++shape.bodyLines;
        else if (line.empty())
            body = true;
    }
    return shape;
}

}  // namespace

void GroupOverview::add(std::uint64_t number, std::string_view fields) {
    m_entries.push_back(Entry{number, m_text.size(), fields.size()});
    m_text.append(fields);
}

std::span<const GroupOverview::Entry> GroupOverview::range(std::uint64_t first,
                                                           std::uint64_t last) const {
    auto byNumber = [](const Entry& e, std::uint64_t n) { return e.number < n; };
    auto begin = std::lower_bound(m_entries.begin(), m_entries.end(), first, byNumber);
    auto end = begin;
    if (first <= last)
        end = std::upper_bound(begin, m_entries.end(), last,
                               [](std::uint64_t n, const Entry& e) { return n < e.number; });
    return std::span(m_entries).subspan(static_cast<std::size_t>(begin - m_entries.begin()),
                                        static_cast<std::size_t>(end - begin));
}

const GroupOverview::Entry* GroupOverview::find(std::uint64_t number) const {
    auto found = range(number, number);
    return found.empty() ? nullptr : &found.front();
}

std::optional<std::size_t> GroupOverview::fieldIndex(std::string_view name) {
    for (std::size_t i = 0; i < Format.size(); ++i) {
        std::string_view known = Format[i];
        if (known.back() == ':') known.remove_suffix(1);
        if (sameNoCase(name, known) || sameNoCase(name, Format[i])) return i;
    }
    return std::nullopt;
}

std::string_view GroupOverview::field(std::string_view fields, std::size_t index) {
    for (std::size_t i = 0; i < index; ++i) {
        const auto tab = fields.find('\t');
        if (tab == std::string_view::npos) return {};
        fields.remove_prefix(tab + 1);
    }
    return fields.substr(0, fields.find('\t'));
}

std::string overviewFields(std::string_view article, std::string_view fallbackId) {
    constexpr std::size_t Headers = 5;  // the fields of Format before the metadata
    std::optional<std::string> values[Headers];
    forEachField(article, [&](std::string_view name, const std::string& value) {
        for (std::size_t i = 0; i < Headers; ++i) {
            if (values[i]) continue;
            const std::string_view wanted = GroupOverview::Format[i];
            if (sameNoCase(name, wanted.substr(0, wanted.size() - 1))) values[i] = clean(value);
        }
        return true;
    });
    if (!values[3] || values[3]->empty()) values[3] = std::string(fallbackId);
    const Shape shape = shapeOf(article);
    std::string out;
    for (const auto& value : values) {
        if (value) out.append(*value);
        out.push_back('\t');
    }
    out.append(std::to_string(shape.wireBytes)).append("\t");
    out.append(std::to_string(shape.bodyLines));
    return out;
}

std::optional<std::string> headerValue(std::string_view article, std::string_view name) {
    std::optional<std::string> found;
    forEachField(article, [&](std::string_view field, const std::string& value) {
        if (!sameNoCase(field, name)) return true;
        found = clean(value);
        return false;
    });
    return found;
}

}  // namespace qm::newsd
