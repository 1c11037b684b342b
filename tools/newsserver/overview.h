// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The overview of a group as OVER, XOVER and HDR serve it (RFC 3977, 8.3 to 8.5), and the
// header reading it is built from. Built once per group by the Spool and shared read-only
// between sessions afterwards.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::newsd {

class GroupOverview {
  public:
    // The fields after the article number, in order, as LIST OVERVIEW.FMT names them.
    static constexpr std::array<std::string_view, 7> Format = {
        "Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines"};

    struct Entry {
        std::uint64_t number = 0;
        std::size_t offset = 0;  // of its fields in the text
        std::size_t length = 0;
    };

    // Adds an article's fields (tab-separated, as overviewFields makes them); numbers must
    // come in ascending order.
    void add(std::uint64_t number, std::string_view fields);
    // The articles numbered first to last, both included.
    std::span<const Entry> range(std::uint64_t first, std::uint64_t last) const;
    const Entry* find(std::uint64_t number) const;
    std::string_view fields(const Entry& entry) const {
        return std::string_view(m_text).substr(entry.offset, entry.length);
    }
    std::size_t size() const { return m_entries.size(); }
    const Entry& entry(std::size_t index) const { return m_entries[index]; }

    // The position in Format of a header name ("subject", "Subject:") or metadata item
    // (":lines"), compared without regard to case; nothing when it is not in the overview.
    static std::optional<std::size_t> fieldIndex(std::string_view name);
    // One field out of an entry's fields.
    static std::string_view field(std::string_view fields, std::size_t index);

  private:
    std::vector<Entry> m_entries;
    std::string m_text;
};

// The overview fields of an article (header lines, an empty line and the body; "\n" or "\r\n"
// line ends), tab-separated, without the number. fallbackId stands in for a missing
// Message-ID, as the server's other replies name the article. :bytes counts the article as
// ARTICLE sends it ("\r\n" line ends, before dot-stuffing), :lines the lines of its body.
std::string overviewFields(std::string_view article, std::string_view fallbackId);

// The first header of that name in the article, as OVER and HDR give it: unfolded, each tab,
// CR, LF or NUL a space, blanks at either end dropped. Nothing when the article has none.
std::optional<std::string> headerValue(std::string_view article, std::string_view name);

}  // namespace qm::newsd
