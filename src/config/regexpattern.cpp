// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/regexpattern.h"

#include <algorithm>
#include <climits>
#include <mutex>

namespace qm {

namespace {

// The classic POSIX egrep syntax (47900): character classes, context-independent anchors and
// operators, negated bracket expressions that do not match a newline, intervals, newline as
// alternation, unescaped braces, parentheses and vertical bar. The C library's current
// RE_SYNTAX_POSIX_EGREP differs in a few corners (unmatched ")", "[z-a]", "a{x"); kill patterns
// that users wrote against the classic rules keep their meaning.
constexpr reg_syntax_t EgrepSyntax =
    RE_CHAR_CLASSES | RE_CONTEXT_INDEP_ANCHORS | RE_CONTEXT_INDEP_OPS | RE_HAT_LISTS_NOT_NEWLINE |
    RE_INTERVALS | RE_NEWLINE_ALT | RE_NO_BK_BRACES | RE_NO_BK_PARENS | RE_NO_BK_VBAR;
static_assert(EgrepSyntax == 47900);

// re_compile_pattern reads a process-wide syntax variable; set it once, before any
// compilation, so that every pattern of the program is compiled alike.
void ensureEgrepSyntax() {
    static std::once_flag once;
    std::call_once(once, [] { re_set_syntax(EgrepSyntax); });
}

regoff_t clampedSize(std::string_view text) {
    return static_cast<regoff_t>(std::min<size_t>(text.size(), INT_MAX));
}

// An empty view may carry no pointer at all; the library wants one.
const char* dataOf(std::string_view text) {
    return text.empty() ? "" : text.data();
}

// Registers that belong to one call. With REGS_FIXED the library only writes into the arrays
// given to it, never allocates or reallocates them, so calls on one pattern share nothing.
class CallRegisters {
  public:
    explicit CallRegisters(size_t count) : m_starts(count, -1), m_ends(count, -1) {
        m_regs.num_regs = static_cast<decltype(m_regs.num_regs)>(count);
        m_regs.start = m_starts.data();
        m_regs.end = m_ends.data();
    }
    re_registers* get() { return &m_regs; }

    void copyTo(RegexMatch& match) const {
        match.groups.clear();
        for (size_t i = 0; i < m_starts.size(); ++i)
            match.groups.emplace_back(m_starts[i], m_ends[i]);
    }

  private:
    std::vector<regoff_t> m_starts, m_ends;
    re_registers m_regs{};
};

}  // namespace

std::optional<std::string> RegexMatch::copyGroup(int k, std::string_view source,
                                                 size_t capacity) const {
    if (k < 1 || static_cast<size_t>(k) > groups.size()) return std::nullopt;
    auto [start, end] = groups[static_cast<size_t>(k) - 1];
    if (start < 0 || end < start || static_cast<size_t>(end) > source.size() || capacity == 0)
        return std::string();
    size_t length = std::min(static_cast<size_t>(end - start), capacity - 1);
    return std::string(source.substr(static_cast<size_t>(start), length));
}

RegexPattern::~RegexPattern() {
    release();
}

RegexPattern::RegexPattern(RegexPattern&& other) noexcept
    : m_buffer(other.m_buffer),
      m_fastmap(std::move(other.m_fastmap)),
      m_compiled(other.m_compiled),
      m_error(other.m_error) {
    // The compiled matcher and the fastmap live on the heap; only their owner changes.
    other.m_buffer = re_pattern_buffer{};
    other.m_compiled = false;
}

RegexPattern& RegexPattern::operator=(RegexPattern&& other) noexcept {
    if (this != &other) {
        release();
        m_buffer = other.m_buffer;
        m_fastmap = std::move(other.m_fastmap);
        m_compiled = other.m_compiled;
        m_error = other.m_error;
        other.m_buffer = re_pattern_buffer{};
        other.m_compiled = false;
    }
    return *this;
}

void RegexPattern::release() noexcept {
    // regfree would free the fastmap with free(); it is ours.
    m_buffer.fastmap = nullptr;
    regfree(&m_buffer);
    m_buffer = re_pattern_buffer{};
    m_fastmap.reset();
    m_compiled = false;
}

std::optional<std::string> RegexPattern::compile(std::optional<std::string_view> text) {
    // Compiling into a used buffer would leak the old matcher.
    release();
    m_error = 1;
    if (!text) return std::string(NoPatternProvided);
    ensureEgrepSyntax();
    m_fastmap = std::make_unique<char[]>(256);
    m_buffer.fastmap = m_fastmap.get();
    m_buffer.translate = nullptr;
    if (const char* message = re_compile_pattern(dataOf(*text), text->size(), &m_buffer)) {
        std::string error(message);
        release();
        return error;
    }
    if (re_compile_fastmap(&m_buffer) != 0) {
        release();
        return std::string(OtherErrorInRe);
    }
    m_buffer.regs_allocated = REGS_FIXED;
    m_compiled = true;
    m_error = 0;
    return std::nullopt;
}

RegexMatch RegexPattern::search(std::string_view text, int start, int range) const {
    RegexMatch result;
    if (!m_compiled) return result;
    CallRegisters regs(m_buffer.re_nsub + 1);
    result.position =
        re_search(&m_buffer, dataOf(text), clampedSize(text), start, range, regs.get());
    if (result.position >= 0) regs.copyTo(result);
    return result;
}

RegexMatch RegexPattern::search(std::string_view text) const {
    regoff_t size = clampedSize(text);
    return search(text, 0, size);
}

bool RegexPattern::found(std::string_view text) const {
    if (!m_compiled) return false;
    regoff_t size = clampedSize(text);
    return re_search(&m_buffer, dataOf(text), size, 0, size, nullptr) >= 0;
}

int RegexPattern::match(std::string_view text, int position, RegexMatch* registers) const {
    if (!m_compiled) return -1;
    CallRegisters regs(m_buffer.re_nsub + 1);
    int length = re_match(&m_buffer, dataOf(text), clampedSize(text), position, regs.get());
    if (registers) {
        registers->position = length >= 0 ? position : length;
        registers->groups.clear();
        if (length >= 0) regs.copyTo(*registers);
    }
    return length;
}

}  // namespace qm
