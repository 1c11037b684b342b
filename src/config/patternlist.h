// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A list of patterns that matches a text only when every pattern is found in it: the kill
// pattern (exclude pattern) list. Words of the text, split at commas, blanks and tabs, are
// the patterns.
//
// Owned by AppSettings (the kill pattern). compile() runs on the window thread while no run
// is on; matches() is read-only and may be called by every reader thread at once.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/regexpattern.h"

namespace qm {

class PatternList {
  public:
    // Nothing on success; else the error text ("No pattern provided." for a missing or empty
    // text or one without words, otherwise the first failing pattern's). Any failure leaves
    // the list not compiled, and it matches nothing.
    std::optional<std::string> compile(std::optional<std::string_view> text);
    bool compiled() const { return !m_notCompiled; }
    size_t count() const { return m_patterns.size(); }

    // True when compiled, not empty and every pattern is found in text.
    bool matches(std::string_view text) const;

  private:
    bool m_notCompiled = true;
    std::vector<RegexPattern> m_patterns;
};

// Why text cannot be a pattern list, in plain words, naming the word that fails: for
// "good ba(d", "\"ba(d\" is not a valid pattern: a \"(\" has no \")\" to close it." Nothing
// when it compiles, or is empty (an empty list excludes nothing).
std::optional<std::string> describePatternProblem(std::string_view text);

}  // namespace qm
