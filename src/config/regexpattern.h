// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One compiled regular expression, through the GNU re_* interface of the C library, with the
// classic egrep syntax. Used for subject recognition, the kill pattern list and the group
// search.
//
// Owned by whoever compiles it (a PatternList, the recognizer, a window). compile() and
// destruction need exclusive access; once compiled the pattern is read-only and search() and
// match() may be called from any number of threads at once: every call has registers of its
// own, and the library serialises its lazily built matcher per pattern internally.
#include <regex.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm {

inline constexpr std::string_view NoPatternProvided = "No pattern provided.";
inline constexpr std::string_view OtherErrorInRe = "Other error in RE.";

// Register offsets of one match: group 0 is the whole match; -1 for a group that did not take
// part.
struct RegexMatch {
    int position = -1;  // where the match starts, or negative: no match (-2: internal error)
    std::vector<std::pair<int, int>> groups;  // (start, end) per group, group 0 first

    explicit operator bool() const { return position >= 0; }
    // Copies group k - 1 (k = 1 is the whole match) of source, at most capacity - 1
    // characters; nothing when k exceeds the number of groups. A group that did not take
    // part, or lies outside source, gives an empty text.
    std::optional<std::string> copyGroup(int k, std::string_view source, size_t capacity) const;
};

class RegexPattern {
  public:
    RegexPattern() = default;
    ~RegexPattern();
    RegexPattern(const RegexPattern&) = delete;
    RegexPattern& operator=(const RegexPattern&) = delete;
    RegexPattern(RegexPattern&& other) noexcept;
    RegexPattern& operator=(RegexPattern&& other) noexcept;

    // Nothing on success; else the library's message, "No pattern provided." for a missing
    // text, or "Other error in RE." when the fastmap cannot be built. A failure leaves the
    // pattern not compiled (it matches nothing).
    std::optional<std::string> compile(std::optional<std::string_view> text);
    bool compiled() const { return m_compiled; }
    int error() const { return m_error; }

    // re_search over text from start with range; the match position or a negative value.
    // Texts longer than INT_MAX bytes are searched in their first INT_MAX bytes.
    RegexMatch search(std::string_view text, int start, int range) const;
    RegexMatch search(std::string_view text) const;
    // True when the pattern is found anywhere in text; fills no registers.
    bool found(std::string_view text) const;
    // re_match at position: the match length, or a negative value.
    int match(std::string_view text, int position, RegexMatch* registers = nullptr) const;

  private:
    void release() noexcept;

    // The library writes bookkeeping into the buffer during a search (under its own
    // per-pattern lock), hence mutable.
    mutable re_pattern_buffer m_buffer{};
    std::unique_ptr<char[]> m_fastmap;  // 256 bytes, owned here; m_buffer.fastmap points to it
    bool m_compiled = false;
    int m_error = 0;
};

}  // namespace qm
