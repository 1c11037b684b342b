// SPDX-License-Identifier: GPL-3.0-or-later
// yEnc keyword lines, the streaming decoder and CRC32.
#include "decode/yenc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

// Decodes pieces in turn as a reader would: what the decoder leaves is given again in front
// of the next piece.
std::string decodeAll(const std::vector<std::string>& pieces) {
    YencDecoder decoder;
    std::string out;
    std::string carried;
    for (size_t i = 0; i < pieces.size(); ++i) {
        std::string in = carried + pieces[i];
        std::string buffer(in.size(), '\0');
        bool more = i + 1 < pieces.size();
        auto result = decoder.decode(in, buffer.data(), more);
        EXPECT_EQ(result.stop, more && result.consumed < in.size() ? YencDecoder::Stop::NeedMore
                                                                   : YencDecoder::Stop::Input);
        carried = in.substr(result.consumed);
        out.append(buffer.data(), result.produced);
    }
    EXPECT_TRUE(carried.empty());
    return out;
}

TEST(YencBeginTest, ReadsKeywordsInAnyOrderAndTheNameToTheLineEnd) {
    struct Case {
        std::string line;
        bool valid;
        int part = 0, total = 0;
        std::uint64_t size = 0;
        std::string name = {};
    };
    const std::vector<Case> cases = {
        {"=ybegin line=128 size=123 name=holiday photo.jpg \r\n", true, 0, 0, 123,
         "holiday photo.jpg"},
        {"=ybegin size=9 total=5 line=128 part=2 name=x.bin\n", true, 2, 5, 9, "x.bin"},
        {"=ybegin part=3 line=128 size=60000 name=r.bin\n", true, 3, 0, 60000, "r.bin"},
        {"=ybegin size=5 name=a name=b\n", true, 0, 0, 5, "a name=b"},
        {"=ybegin size=5 name=../../x\n", true, 0, 0, 5, "../../x"},
        {"=ybegin line=128 name=x.bin\n", false},                  // no size
        {"=ybegin size=10 filename=x\n", false},                   // no name
        {"=ybegin name=x size=10\n", false},                       // size is part of the name
        {"=ybegin size=10 name=\n", false},                        // empty name
        {"=ybegin size=9223372036854775808 name=x\n", false},      // 2^63
        {"=ybegin size=99999999999999999999999 name=x\n", false},  // overflows 64 bits
        {"=ybegin size=68719476737 name=x\n", false},              // above the cap
        {"=ybegin size=-5 name=x\n", false},
        {"=ybegin part=0 total=3 size=10 name=x\n", false},
        {"=ybegin part=4 total=3 size=10 name=x\n", false},
        {"=ybegin part=1 total=0 size=10 name=x\n", false},
        {"=ybegin part=1 total=100001 size=10 name=x\n", false},
        {"=ybegin part=x size=10 name=x\n", false},
        {"=ybeginsize=10 name=x\n", false},
    };
    for (const Case& c : cases) {
        std::optional<YencBegin> begin = parseYencBegin(c.line);
        ASSERT_EQ(begin.has_value(), c.valid) << c.line;
        if (!begin) continue;
        EXPECT_EQ(begin->part.value_or(0), c.part) << c.line;
        EXPECT_EQ(begin->total, c.total) << c.line;
        EXPECT_EQ(begin->size, c.size) << c.line;
        EXPECT_EQ(begin->name, c.name) << c.line;
    }
}

TEST(YencPartTest, AcceptsOnlyRangesInsideTheSize) {
    struct Case {
        std::string line;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"=ypart begin=1 end=100\n", true},
        {"=ypart end=100 begin=51\r\n", true},
        {"=ypart begin=0 end=10\n", false},
        {"=ypart begin=50 end=49\n", false},
        {"=ypart begin=1 end=101\n", false},
        {"=ypart begin=101 end=200\n", false},
        {"=ypart begin=-1 end=10\n", false},
        {"=ypart begin=1\n", false},
        {"=ypart begin=1 end=18446744073709551616\n", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseYencPart(c.line, 100).has_value(), c.valid) << c.line;
    auto part = parseYencPart("=ypart end=100 begin=51\n", 100);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->begin, 51u);
    EXPECT_EQ(part->end, 100u);
}

TEST(YencEndTest, ReadsSizeAndBothChecksums) {
    auto end = parseYencEnd("=yend size=8800 part=3 pcrc32=214978FC crc32=643ddaea\r\n");
    ASSERT_TRUE(end);
    EXPECT_EQ(end->size, 8800u);
    EXPECT_EQ(end->partCrc, 0x214978fcu);
    EXPECT_EQ(end->crc, 0x643ddaeau);
    auto bare = parseYencEnd("=yend\n");
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->size || bare->crc || bare->partCrc);
    auto bad = parseYencEnd("=yend size=x crc32=123456789 pcrc32=zz\n");
    ASSERT_TRUE(bad);
    EXPECT_FALSE(bad->size || bad->crc || bad->partCrc);
    EXPECT_FALSE(parseYencEnd("=yendx size=1\n"));
}

TEST(YencDecoderTest, DecodesPlainEscapedAndStuffedLinesHoweverTheInputIsSplit) {
    // "*" is 0; "=@", "=J" and "=}" are the bytes that would encode as NUL, LF and "=".
    const std::string encoded = "*+,=@=J=}\r\n..+\n.+\n\xff\x29";
    const std::string expected =
        std::string("\x00\x01\x02\xd6\xe0\x13", 6) + "\x04\x01" + "\x04\x01" + "\xd5\xff";
    for (size_t cut = 0; cut <= encoded.size(); ++cut) {
        EXPECT_EQ(decodeAll({encoded.substr(0, cut), encoded.substr(cut)}), expected) << cut;
    }
    std::vector<std::string> bytes;
    for (char c : encoded) bytes.emplace_back(1, c);
    EXPECT_EQ(decodeAll(bytes), expected);
}

TEST(YencDecoderTest, DecodesLongRunsLikeByteByByte) {
    std::string encoded;
    std::string expected;
    for (int i = 0; i < 4096; ++i) {
        auto byte = static_cast<unsigned char>(i * 7 + i / 13);
        auto c = static_cast<unsigned char>(byte + 42);
        bool lineStart = i % 128 == 0;
        if (c == 0 || c == '\n' || c == '\r' || c == '=' || (lineStart && c == '.')) {
            encoded += '=';
            c = static_cast<unsigned char>(c + 64);
        }
        encoded += static_cast<char>(c);
        expected += static_cast<char>(byte);
        if (i % 128 == 127) encoded += "\r\n";
    }
    EXPECT_EQ(decodeAll({encoded}), expected);
    EXPECT_EQ(decodeAll({encoded.substr(0, 1001), encoded.substr(1001)}), expected);
}

TEST(YencDecoderTest, StopsInFrontOfKeywordLinesAndAsksForSplitLineStarts) {
    YencDecoder decoder;
    std::string out(64, '\0');
    auto result = decoder.decode("+,\r\n=yend size=2\r\n", out.data(), true);
    EXPECT_EQ(result.stop, YencDecoder::Stop::KeywordLine);
    EXPECT_EQ(result.consumed, 4u);
    EXPECT_EQ(out.substr(0, result.produced), std::string("\x01\x02"));

    YencDecoder split;
    result = split.decode("+,\n=", out.data(), true);
    EXPECT_EQ(result.stop, YencDecoder::Stop::NeedMore);
    EXPECT_EQ(result.consumed, 3u);
    // Escaped "y" in the middle of a line is data, not a keyword.
    YencDecoder middle;
    result = middle.decode("+=y\n", out.data(), false);
    EXPECT_EQ(result.stop, YencDecoder::Stop::Input);
    EXPECT_EQ(out.substr(0, result.produced), std::string("\x01\x0f"));
}

TEST(Crc32Test, MatchesTheStandardCheckValueAndCombinesPieces) {
    const std::string text = "123456789";
    EXPECT_EQ(crc32Update(0, text), 0xcbf43926u);
    std::uint32_t a = crc32Update(0, std::string_view(text).substr(0, 4));
    std::uint32_t b = crc32Update(0, std::string_view(text).substr(4));
    EXPECT_EQ(crc32Combine(a, b, 5), 0xcbf43926u);
    EXPECT_EQ(crc32Update(a, std::string_view(text).substr(4)), 0xcbf43926u);
}

}  // namespace
}  // namespace qm
