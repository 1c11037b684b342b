// SPDX-License-Identifier: GPL-3.0-or-later
// yEnc posts through the decoder's entry: single posts, parts collected across articles and
// runs, the checks that keep a damaged file but say so, and hostile headers.
#include "decode/yencassembler.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "decode/yenc.h"
#include "uutestfixture.h"

namespace qm::test {
namespace {

std::string singlePost(std::string_view data, std::string_view name) {
    return "=ybegin line=128 size=" + std::to_string(data.size()) + " name=" + std::string(name) +
           "\r\n" + yencLines(data) + "=yend size=" + std::to_string(data.size()) +
           " crc32=" + crcText(data) + "\r\n";
}

// Part n (1-based) of count equal pieces of data.
std::string partPost(std::string_view data, std::string_view name, int n, int count,
                     bool withTotal = true) {
    size_t each = (data.size() + count - 1) / count;
    size_t begin = each * (n - 1);
    std::string_view piece = data.substr(begin, each);
    std::string text = "=ybegin part=" + std::to_string(n) +
                       (withTotal ? " total=" + std::to_string(count) : std::string()) +
                       " line=128 size=" + std::to_string(data.size()) +
                       " name=" + std::string(name) +
                       "\r\n=ypart begin=" + std::to_string(begin + 1) +
                       " end=" + std::to_string(begin + piece.size()) + "\r\n" + yencLines(piece) +
                       "=yend size=" + std::to_string(piece.size()) + " part=" + std::to_string(n) +
                       " pcrc32=" + crcText(piece);
    if (n == count) text += " crc32=" + crcText(data);
    return text + "\r\n";
}

class YencAssemblyTest : public DecoderFixture {
  protected:
    // Compares without printing megabytes of binary data on a failure.
    static ::testing::AssertionResult holds(const std::string& path, const std::string& data) {
        std::string got = content(path);
        if (got == data) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << path << " holds " << got.size()
                                             << " bytes, not the " << data.size() << " expected";
    }
};

TEST_F(YencAssemblyTest, SinglePostDecodesWithItsOwnNameAndTheTextAroundIt) {
    std::string data = sampleData(100000, 3);
    decode(article("scrambled 7f3a9c",
                   "Here it is\r\n" + singlePost(data, "my photo.jpg") + "-- \r\nsignature\r\n"));
    EXPECT_TRUE(holds(newsFile("myXphoto.jpg"), data));
    ASSERT_EQ(m_sink.files.size(), 1u);
    EXPECT_EQ(m_sink.files[0].first, newsFile("myXphoto.jpg"));
    EXPECT_EQ(log().find("Warning"), std::string::npos) << log();
    EXPECT_TRUE(listing(tmp()).empty());
    EXPECT_EQ(listing(news()), std::vector<std::string>{"myXphoto.jpg"});
}

TEST_F(YencAssemblyTest, TwoPostsInOneArticleAndOneInAMimeTextBodyAreAllFound) {
    std::string a = sampleData(5000, 4);
    std::string b = sampleData(7000, 5);
    decode(article("two", singlePost(a, "a.bin") + "between\n" + singlePost(b, "b.bin")));
    EXPECT_TRUE(holds(newsFile("a.bin"), a));
    EXPECT_TRUE(holds(newsFile("b.bin"), b));
    std::string c = sampleData(3000, 6);
    decode(
        "Subject: mime\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n"
        "Content-Transfer-Encoding: 8bit\n\n" +
        singlePost(c, "c.bin"));
    EXPECT_TRUE(holds(newsFile("c.bin"), c));
}

TEST_F(YencAssemblyTest, PartsInAnyOrderAcrossRunsJoinByTheirOffsets) {
    for (bool withTotal : {true, false}) {
        std::string name = withTotal ? "set.bin" : "old.bin";
        std::string data = sampleData(50000, withTotal ? 8 : 9);
        const int count = 5;
        const int order[count] = {4, 2, 5, 1, 3};
        for (int i = 0; i < count; ++i) {
            if (i == 2) restartDecoder();
            decode(article("scrambled", partPost(data, name, order[i], count, withTotal)));
            if (i + 1 < count) {
                EXPECT_FALSE(fileExists(newsFile(name))) << order[i];
            }
        }
        EXPECT_TRUE(holds(newsFile(name), data)) << name;
        EXPECT_EQ(log().find("Warning"), std::string::npos) << log();
    }
    EXPECT_EQ(m_sink.assembled, 2);
    EXPECT_TRUE(listing(tmp()).empty());
}

TEST_F(YencAssemblyTest, DescriptionOfPartOneGoesWithTheAssembledFile) {
    std::string data = sampleData(20000, 10);
    decode(article("set.bin (2/2)", partPost(data, "set.bin", 2, 2)));
    decode(article("set.bin (1/2)", "A fine picture\n\n" + partPost(data, "set.bin", 1, 2)));
    EXPECT_TRUE(holds(newsFile("set.bin"), data));
    EXPECT_EQ(content(newsFile("set.desc")), "A fine picture\n\n");
    EXPECT_TRUE(listing(tmp()).empty());
}

TEST_F(YencAssemblyTest, DamageKeepsTheFileAndIsWarnedAbout) {
    struct Case {
        const char* what;
        std::function<std::string(const std::string&)> body;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {"flipped byte in a single post",
         [](const std::string& d) {
             std::string post = singlePost(d, "f.bin");
             post[200] = post[200] == 'a' ? 'b' : 'a';
             return post;
         },
         " failed its CRC check"},
        {"single post cut before its end",
         [](const std::string& d) {
             std::string post = singlePost(d, "f.bin");
             return post.substr(0, post.size() / 2);
         },
         " is shorter than its size"},
        {"single post longer than its size",
         [](const std::string& d) {
             return "=ybegin line=128 size=100 name=f.bin\r\n" + yencLines(d) +
                    "=yend size=" + std::to_string(d.size()) + "\r\n";
         },
         " does not add up to its size"},
        {"flipped byte in a part",
         [](const std::string& d) {
             std::string one = partPost(d, "f.bin", 1, 2);
             one[300] = one[300] == 'a' ? 'b' : 'a';
             return one + partPost(d, "f.bin", 2, 2);
         },
         " failed its CRC check"},
        {"truncated part followed by the next",
         [](const std::string& d) {
             std::string one = partPost(d, "f.bin", 1, 2);
             return one.substr(0, one.size() / 2) + "\r\n" + partPost(d, "f.bin", 2, 2);
         },
         " is shorter than its size"},
    };
    for (const Case& c : cases) {
        useDataDirectory(c.what);
        std::string data = sampleData(4000, 11);
        decode(article("damaged", c.body(data)));
        ASSERT_TRUE(fileExists(newsFile("f.bin"))) << c.what;
        EXPECT_NE(log().find("Warning: " + newsFile("f.bin") + c.warning), std::string::npos)
            << c.what << "\n"
            << log();
    }
}

TEST_F(YencAssemblyTest, HostileHeadersNeverWriteOutsideTheirFoldersNorAllocateBySize) {
    const std::vector<std::string> posts = {
        "=ybegin line=128 size=9223372036854775808 name=huge.bin\r\n+,-\r\n=yend\r\n",
        "=ybegin part=1 total=2 size=10 name=x.bin\r\n=ypart begin=11 end=20\r\n+,-\r\n=yend\r\n",
        "=ybegin part=1 total=2 size=10 name=x.bin\r\n=ypart begin=-1 end=5\r\n+,-\r\n=yend\r\n",
        "=ybegin part=0 total=2 size=10 name=x.bin\r\n=ypart begin=1 end=5\r\n+,-\r\n=yend\r\n",
        "=ybegin part=3 total=2 size=10 name=x.bin\r\n=ypart begin=1 end=5\r\n+,-\r\n=yend\r\n",
        "=ybegin part=1 size=10 name=x.bin\r\n+,-\r\n=yend\r\n",  // no =ypart line
        "=ybegin line=128 size=3 name=../../x\r\n+,-\r\n=yend size=3\r\n",
        "=ybegin part=1 total=1 size=3 name=../../../y\r\n=ypart begin=1 end=3\r\n+,-\r\n=yend\r\n",
        "=ybegin part=1 total=1 size=68719476736 name=far.bin\r\n=ypart begin=68719476736 "
        "end=68719476736\r\n+\r\n=yend\r\n",
        "=ybegin size=3 name=eof.bin\r\n+,=",
        "=ybegin size=3 name=" + std::string(5000, 'n') + "\r\n+,-\r\n=yend\r\n",
    };
    for (const std::string& post : posts) decode(article("hostile", post));
    // Only "news.dat", "tmp", the log and the files of the sane posts are there.
    EXPECT_EQ(listing(data()), (std::vector<std::string>{"Log", "group", "tmp"}));
    EXPECT_EQ(listing(joinPath(data(), "group")), std::vector<std::string>{"news.dat"});
    EXPECT_EQ(content(newsFile("..X..Xx")).size(), 3u) << testing::PrintToString(listing(news()));
    EXPECT_FALSE(fileExists(newsFile("huge.bin")));
    EXPECT_NE(log().find("Warning: yEnc header without a usable name, size or part"),
              std::string::npos);
    EXPECT_NE(log().find("has no usable =ypart line"), std::string::npos);
}

TEST_F(YencAssemblyTest, OverlappingPartsCompleteWithAWarning) {
    std::string data = sampleData(100, 12);
    std::string body;
    for (auto [n, begin, end] : {std::tuple{1, 1, 60}, std::tuple{2, 41, 100}}) {
        std::string piece = data.substr(begin - 1, end - begin + 1);
        body += "=ybegin part=" + std::to_string(n) +
                " total=2 size=100 name=o.bin\r\n=ypart begin=" + std::to_string(begin) +
                " end=" + std::to_string(end) + "\r\n" + yencLines(piece) +
                "=yend size=" + std::to_string(piece.size()) + " pcrc32=" + crcText(piece) + "\r\n";
    }
    decode(article("overlap", body));
    EXPECT_TRUE(holds(newsFile("o.bin"), data));
    EXPECT_NE(log().find(newsFile("o.bin") + " does not add up to its size"), std::string::npos);
}

TEST(YencStoredPartsTest, ListSurvivesItsTextFormAndDropsBrokenLines) {
    std::vector<YencStoredPart> parts(2);
    parts[0] = {1, 2, 1, 50, 50, 0xdeadbeef, 0, std::nullopt};
    parts[1] = {2, 2, 51, 100, 40, 0x1234, YencStoredPart::Truncated, 0xabcdef01};
    std::string text = formatStoredParts(parts);
    std::vector<YencStoredPart> back = parseStoredParts(text, 100);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].begin, 51u);
    EXPECT_EQ(back[1].written, 40u);
    EXPECT_EQ(back[1].crc, 0x1234u);
    EXPECT_EQ(back[1].fileCrc, 0xabcdef01u);
    EXPECT_FALSE(back[0].fileCrc);
    EXPECT_EQ(parseStoredParts(text, 99).size(), 1u);  // part 2 ends beyond the size
    EXPECT_TRUE(parseStoredParts("1 2 1 50 51 0 0 -\n0 2 1 5 5 0 0 -\nx\n\n1 2 3\n", 100).empty());
}

TEST(YencStoredPartsTest, SetIsCompleteWhenEveryPartOrEveryByteIsThere) {
    auto part = [](int n, int total, std::uint64_t b, std::uint64_t e) {
        return YencStoredPart{n, total, b, e, e - b + 1, 0, 0, std::nullopt};
    };
    struct Case {
        std::vector<YencStoredPart> parts;
        bool complete, shorter, inconsistent;
    };
    const std::vector<Case> cases = {
        {{part(1, 2, 1, 50), part(2, 2, 51, 100)}, true, false, false},
        {{part(2, 2, 51, 100)}, false, true, false},
        {{part(1, 0, 1, 50), part(2, 0, 51, 100)}, true, false, false},
        {{part(2, 0, 51, 100)}, false, true, false},
        {{part(1, 2, 1, 40), part(2, 2, 51, 100)}, true, true, false},
        {{part(1, 2, 1, 60), part(2, 2, 41, 100)}, true, false, true},
        {{part(1, 0, 1, 100), part(2, 0, 1, 100)}, true, false, true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        YencSetCheck check = checkYencSet(cases[i].parts, 100);
        EXPECT_EQ(check.complete, cases[i].complete) << i;
        EXPECT_EQ(check.shorter, cases[i].shorter) << i;
        EXPECT_EQ(check.inconsistent, cases[i].inconsistent) << i;
    }
}

}  // namespace
}  // namespace qm::test
