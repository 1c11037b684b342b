// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/patternlist.h"

namespace qm {

namespace {

std::vector<std::string_view> splitWords(std::string_view text) {
    constexpr std::string_view separators = ", \t";
    std::vector<std::string_view> words;
    size_t pos = text.find_first_not_of(separators);
    while (pos != std::string_view::npos) {
        size_t end = text.find_first_of(separators, pos);
        words.push_back(text.substr(pos, end == std::string_view::npos ? end : end - pos));
        pos = text.find_first_not_of(separators, end);
    }
    return words;
}

// The library's messages, said for someone who does not write regular expressions daily.
std::string plainWords(const std::string& message) {
    static const std::pair<std::string_view, std::string_view> known[] = {
        {"Unmatched ( or \\(", "a \"(\" has no \")\" to close it"},
        {"Unmatched ) or \\)", "a \")\" has no \"(\" before it"},
        {"Unmatched [, [^, [:, [., or [=", "a \"[\" has no \"]\" to close it"},
        {"Unmatched \\{", "a \"{\" has no \"}\" to close it"},
        {"Invalid content of \\{\\}", "what stands between \"{\" and \"}\" is no repeat count"},
        {"Invalid preceding regular expression",
         "a \"*\", \"+\", \"?\" or \"{\" has nothing before it to repeat"},
        {"Trailing backslash", "it ends with a backslash, which must be followed by a character"},
        {"Invalid range end", "a range in \"[...]\" ends before it starts"},
        {"Invalid character class name", "a \"[:name:]\" names no known class of characters"},
        {"Invalid collation character", "a \"[.name.]\" names no known character"},
        {"Invalid back reference", "a \"\\\" followed by a digit refers to no group in \"( )\""},
        {"Premature end of regular expression", "it ends in the middle of something"},
        {"Regular expression too big", "it is too long or too complex"},
        {"Memory exhausted", "it is too long or too complex"},
    };
    for (const auto& [library, plain] : known)
        if (message == library) return std::string(plain);
    return message;
}

}  // namespace

std::optional<std::string> describePatternProblem(std::string_view text) {
    for (std::string_view word : splitWords(text)) {
        RegexPattern pattern;
        if (auto error = pattern.compile(word))
            return "\"" + std::string(word) + "\" is not a valid pattern: " + plainWords(*error) +
                   ".";
    }
    return std::nullopt;
}

std::optional<std::string> PatternList::compile(std::optional<std::string_view> text) {
    m_patterns.clear();
    m_notCompiled = true;
    if (!text || text->empty()) return std::string(NoPatternProvided);
    std::vector<std::string_view> words = splitWords(*text);
    if (words.empty()) return std::string(NoPatternProvided);

    std::vector<RegexPattern> patterns(words.size());
    for (size_t i = 0; i < words.size(); ++i) {
        if (auto error = patterns[i].compile(words[i])) return error;
    }
    m_patterns = std::move(patterns);
    m_notCompiled = false;
    return std::nullopt;
}

bool PatternList::matches(std::string_view text) const {
    if (m_notCompiled || m_patterns.empty()) return false;
    for (const RegexPattern& pattern : m_patterns) {
        if (!pattern.found(text)) return false;
    }
    return true;
}

}  // namespace qm
