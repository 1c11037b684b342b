// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/serverargument.h"

#include <gtest/gtest.h>

namespace qm::cli {
namespace {

TEST(ServerArgument, ReadsHostPortAndTheSecureScheme) {
    struct Case {
        const char* argument;
        const char* text;
        bool tls;
    };
    for (Case c : {Case{"news.example", "news.example", false},
                   Case{"news.example:8119", "news.example 8119", false},
                   Case{"nntps://news.example", "news.example 563", true},
                   Case{"nntps://news.example:443/", "news.example 443", true},
                   Case{"[::1]:1119", "::1 1119", false}, Case{"nntps://[::1]", "::1 563", true}}) {
        auto parsed = parseServerArgument(c.argument);
        ASSERT_TRUE(parsed) << c.argument;
        EXPECT_EQ(parsed->text, c.text) << c.argument;
        EXPECT_EQ(parsed->tls, c.tls) << c.argument;
    }
}

TEST(ServerArgument, RefusesAnArgumentWithoutAHostOrWithABadPort) {
    for (const char* bad : {"", "nntps://", ":119", "[::1", "two words"})
        EXPECT_FALSE(parseServerArgument(bad)) << bad;
    // Port 70000 used to wrap around to 4464, and "abc" or nothing to mean 119.
    for (const char* bad : {"h:70000", "h:0", "h:abc", "h:", "[::1]:65536", "nntps://h:-1"}) {
        std::string problem;
        EXPECT_FALSE(parseServerArgument(bad, &problem)) << bad;
        EXPECT_EQ(problem, "the port in --server must be a number from 1 to 65535") << bad;
    }
    EXPECT_EQ(parseServerArgument("h:65535")->text, "h 65535");
}

}  // namespace
}  // namespace qm::cli
