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

TEST(ServerArgument, RefusesAnArgumentWithoutAHost) {
    for (const char* bad : {"", "nntps://", ":119", "[::1", "two words"})
        EXPECT_FALSE(parseServerArgument(bad)) << bad;
}

}  // namespace
}  // namespace qm::cli
