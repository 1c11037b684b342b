// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/regexpattern.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace qm {
namespace {

TEST(RegexPattern, CompileErrorsAreReportedAndLeaveNothingCompiled) {
    struct Case {
        std::optional<std::string_view> text;
        std::optional<std::string> error;  // nullopt: any library message
    };
    const Case cases[] = {
        {std::nullopt, "No pattern provided."},
        {"(abc", "Unmatched ( or \\("},  // the library's own words
        {"a{2", std::nullopt},
        {"[z-", std::nullopt},
    };
    for (const Case& c : cases) {
        RegexPattern pattern;
        auto error = pattern.compile(c.text);
        ASSERT_TRUE(error.has_value()) << c.text.value_or("<missing>");
        if (c.error) {
            EXPECT_EQ(*error, *c.error);
        }
        EXPECT_FALSE(error->empty());
        EXPECT_FALSE(pattern.compiled());
        EXPECT_NE(pattern.error(), 0);
        EXPECT_FALSE(pattern.search("abc a{2 [z-"));
        EXPECT_FALSE(pattern.found("abc a{2 [z-"));
    }
}

TEST(RegexPattern, UsesTheEgrepSyntax) {
    struct Case {
        std::string_view pattern, text;
        int position;
    };
    const Case cases[] = {
        {"cat|dog", "hotdog", 3},           // unescaped vertical bar
        {"(ab)+c", "xxababc", 2},           // unescaped parentheses
        {"a{2}b", "ab aab", 3},             // intervals with unescaped braces
        {"[[:digit:]]+", "abc 42", 4},      // character classes
        {"\\w+\\.jpg", "a my_pic.jpg", 2},  // GNU word characters
        {"^foo", "bar\nfoo", 4},            // anchors match after a newline
        {"x[^a]y", "x\ny xby", 4},          // a negated list does not match a newline
        {"a|b", "ccc", -1},
        {"", "abc", 0},
    };
    for (const Case& c : cases) {
        RegexPattern pattern;
        ASSERT_EQ(pattern.compile(c.pattern), std::nullopt) << c.pattern;
        EXPECT_EQ(pattern.search(c.text).position, c.position) << c.pattern << " in " << c.text;
        EXPECT_EQ(pattern.found(c.text), c.position >= 0) << c.pattern;
    }
}

TEST(RegexPattern, SearchGivesLeftmostLongestMatchAndItsGroups) {
    RegexPattern pattern;
    ASSERT_EQ(pattern.compile("([0-9]+)[[:space:]]*(o|of|/)[[:space:]]*([0-9]+)"), std::nullopt);
    std::string text = "pic 12 of 345 and 6/7";
    RegexMatch m = pattern.search(text);
    ASSERT_TRUE(m);
    EXPECT_EQ(m.position, 4);
    ASSERT_EQ(m.groups.size(), 4u);
    EXPECT_EQ(m.groups[0], std::make_pair(4, 13));
    EXPECT_EQ(m.groups[2], std::make_pair(7, 9)) << "'of' is longer than 'o'";
    EXPECT_EQ(m.copyGroup(1, text, 256), "12 of 345");
    EXPECT_EQ(m.copyGroup(4, text, 256), "345");
    EXPECT_EQ(m.copyGroup(1, text, 4), "12 ") << "at most capacity - 1 characters";
    EXPECT_EQ(m.copyGroup(5, text, 256), std::nullopt);
    EXPECT_EQ(m.copyGroup(0, text, 256), std::nullopt);
    EXPECT_EQ(m.copyGroup(1, "short", 256), "") << "offsets outside the source give nothing";

    RegexMatch later = pattern.search(text, 14, static_cast<int>(text.size()) - 14);
    EXPECT_EQ(later.position, 18);
    EXPECT_FALSE(pattern.search(text, 19, 2));
}

TEST(RegexPattern, MatchIsAnchoredAtThePosition) {
    RegexPattern pattern;
    ASSERT_EQ(pattern.compile("[a-z]+"), std::nullopt);
    RegexMatch registers;
    EXPECT_EQ(pattern.match("12abc3", 2, &registers), 3);
    EXPECT_EQ(registers.position, 2);
    EXPECT_EQ(registers.groups.at(0), std::make_pair(2, 5));
    EXPECT_LT(pattern.match("12abc3", 0), 0);
    EXPECT_LT(pattern.match("12abc3", 99), 0) << "a position past the end matches nothing";
}

TEST(RegexPattern, RecompilingReplacesAndMovingKeepsThePattern) {
    RegexPattern pattern;
    ASSERT_EQ(pattern.compile("abc"), std::nullopt);
    ASSERT_EQ(pattern.compile("xyz"), std::nullopt);
    EXPECT_FALSE(pattern.found("abc"));
    EXPECT_TRUE(pattern.found("--xyz"));

    RegexPattern moved(std::move(pattern));
    EXPECT_TRUE(moved.found("--xyz"));
    EXPECT_FALSE(pattern.compiled());  // NOLINT(bugprone-use-after-move): moved-from is empty
    RegexPattern assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(assigned.found("xyz"));

    EXPECT_TRUE(assigned.compile("(").has_value());
    EXPECT_FALSE(assigned.found("xyz")) << "a failed recompilation matches nothing";
}

TEST(RegexPattern, BinaryTextIsSearchedByLength) {
    RegexPattern pattern;
    ASSERT_EQ(pattern.compile("b.c"), std::nullopt);
    std::string text("a\0b\0c\xff", 6);
    EXPECT_EQ(pattern.search(text).position, 2) << "NUL bytes are ordinary characters";
    EXPECT_FALSE(pattern.found(std::string_view()));
}

}  // namespace
}  // namespace qm
