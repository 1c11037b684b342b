// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/patternlist.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(PatternList, EveryPatternMustBeFound) {
    struct Case {
        std::string_view patterns, subject;
        bool excluded;
    };
    const Case cases[] = {
        {"abc", "xxabcxx", true},
        {"abc", "xxABCxx", false},  // the subject is taken as received, case and all
        {"abc def", "def abc", true},
        {"abc def", "abc", false},
        {"foo, bar", "bar and foo", true},
        {"foo, bar", "only foo", false},
        {"foo, bar", "only bar", false},
        {"\tfoo,,bar  ", "foobar", true},  // any run of commas, blanks and tabs separates
        {"^Re: [0-9]+", "Re: 12 things", true},
        {"^Re: [0-9]+", "Re: things 7", true},  // "^Re:" and "[0-9]+" are separate patterns
        {"^Re: [0-9]+", "Re: things", false},
        {"^Re:", "Fw: Re: x", false},
        {"jpe?g", "pic.jpeg", true},
    };
    for (const Case& c : cases) {
        PatternList list;
        ASSERT_EQ(list.compile(c.patterns), std::nullopt) << c.patterns;
        EXPECT_TRUE(list.compiled());
        EXPECT_EQ(list.matches(c.subject), c.excluded) << c.patterns << " on " << c.subject;
    }
}

TEST(PatternList, WordsBecomeOnePatternEach) {
    PatternList list;
    ASSERT_EQ(list.compile(" a, b\tc ,d "), std::nullopt);
    EXPECT_EQ(list.count(), 4u);
}

TEST(PatternList, FailedCompilationMatchesNothing) {
    struct Case {
        std::optional<std::string_view> text;
        std::optional<std::string> error;  // nullopt: the library's message
    };
    const Case cases[] = {
        {std::nullopt, "No pattern provided."},
        {"", "No pattern provided."},
        {" ,\t, ", "No pattern provided."},
        {"good (bad", std::nullopt},
    };
    for (const Case& c : cases) {
        PatternList list;
        ASSERT_EQ(list.compile("good"), std::nullopt);
        ASSERT_TRUE(list.matches("good"));
        auto error = list.compile(c.text);
        ASSERT_TRUE(error.has_value()) << c.text.value_or("<missing>");
        if (c.error)
            EXPECT_EQ(*error, *c.error);
        else
            EXPECT_EQ(*error, "Unmatched ( or \\(");
        EXPECT_FALSE(list.compiled());
        EXPECT_EQ(list.count(), 0u);
        EXPECT_FALSE(list.matches("good (bad"));
    }
}

TEST(PatternList, AProblemIsSaidInPlainWordsNamingTheWord) {
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {"", std::nullopt},
        {"good jpe?g", std::nullopt},
        {"good ba(d", R"x("ba(d" is not a valid pattern: a "(" has no ")" to close it.)x"},
        {"x) y", R"x("x)" is not a valid pattern: a ")" has no "(" before it.)x"},
        {"[abc", R"x("[abc" is not a valid pattern: a "[" has no "]" to close it.)x"},
        {"a\\", R"x("a\" is not a valid pattern: it ends with a backslash, which must be )x"
                R"x(followed by a character.)x"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(describePatternProblem(text), expected) << text;
        PatternList list;
        EXPECT_EQ(list.compile(text).has_value() && !text.empty(), expected.has_value()) << text;
    }
}

TEST(PatternList, AListNeverCompiledMatchesNothing) {
    PatternList list;
    EXPECT_FALSE(list.compiled());
    EXPECT_FALSE(list.matches(""));
    EXPECT_FALSE(list.matches("anything"));
}

}  // namespace
}  // namespace qm
