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

}  // namespace

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
