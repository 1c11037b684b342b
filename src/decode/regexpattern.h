#pragma once
// One compiled regular expression, through the GNU re_* interface of the C library, with the
// egrep syntax (RE_SYNTAX_POSIX_EGREP). The compiled pattern is shared read-only; every
// search or match has registers of its own, so several threads may use one pattern at once.
#include <regex.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Register offsets of one match: group 0 is the whole match; -1 for a group that did not take
// part.
struct RegexMatch {
    int position = -1;  // where the match starts, or negative: no match (-2: internal error)
    std::vector<std::pair<int, int>> groups;  // (start, end) per group, group 0 first

    explicit operator bool() const { return position >= 0; }
    // Copies group k - 1 (k = 1 is the whole match) of source, at most capacity - 1
    // characters; nothing when k exceeds the number of groups.
    std::optional<std::string> copyGroup(int k, std::string_view source, size_t capacity) const;
};

class RegexPattern {
public:
    RegexPattern();
    ~RegexPattern();
    RegexPattern(const RegexPattern&) = delete;
    RegexPattern& operator=(const RegexPattern&) = delete;
    RegexPattern(RegexPattern&& other) noexcept;
    RegexPattern& operator=(RegexPattern&& other) noexcept;

    // Nothing on success; else the library's message, "No pattern provided." for a missing
    // text, or "Other error in RE." when the fastmap cannot be built.
    std::optional<std::string> compile(std::optional<std::string_view> text);
    bool compiled() const { return m_compiled; }
    int error() const { return m_error; }

    // re_search over text from start with range; the match position or a negative value.
    RegexMatch search(std::string_view text, int start, int range) const;
    RegexMatch search(std::string_view text) const {
        return search(text, 0, static_cast<int>(text.size()));
    }
    // re_match at position: the match length, or a negative value.
    int match(std::string_view text, int position, RegexMatch* registers = nullptr) const;

private:
    void release();

    re_pattern_buffer m_buffer{};
    bool m_compiled = false;
    int m_error = 0;
};

}  // namespace qm
