// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/uucodec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace qm {
namespace {

std::string decode(std::string_view line) {
    std::array<char, UuMaxLineBytes> out{};
    size_t n = uuDecodeLine(line, out);
    EXPECT_LE(n, UuMaxLineBytes);
    return std::string(out.data(), n);
}

std::string allBytesTo45() {
    std::string s;
    for (int i = 0; i < 45; ++i) s += static_cast<char>(i);
    return s;
}

struct LineCase {
    const char* what;
    std::string line;
    std::string bytes;
};

TEST(UuCodec, DecodesLinesOfStandardEncoders) {
    const LineCase cases[] = {
        {"three bytes", "#0V%T\n", "Cat"},
        {"one byte with padding", "!80``\n", "a"},
        {"two bytes", "\"86(`\n", "ab"},
        {"zero and high bytes", "#`/\\0\n", std::string("\x00\xff\x10", 3)},
        {"full line", "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\n",
         allBytesTo45()},
        {"CR LF line end", "#0V%T\r\n", "Cat"},
        {"no line end", "#0V%T", "Cat"},
        {"blank for zero, as old encoders wrote", "# /\\0\n", std::string("\x00\xff\x10", 3)},
        {"length line only", "`\n", ""},
        {"empty", "", ""},
    };
    for (const LineCase& c : cases) EXPECT_EQ(decode(c.line), c.bytes) << c.what;
}

TEST(UuCodec, BlankAndBackquoteAreBothZero) {
    EXPECT_EQ(decode("!    \n"), decode("!````\n"));
    EXPECT_EQ(decode("!    \n"), std::string(1, '\0'));
}

TEST(UuCodec, MissingCharactersOfAShortLineCountAsZero) {
    // "!80" lost its trailing "`" (a stripped blank): still the byte 'a'.
    EXPECT_EQ(decode("!80\n"), "a");
    // A count that promises 45 bytes over a line of 4 characters reads nothing past it.
    std::string decoded = decode(std::string("M0V%T", 5));
    ASSERT_EQ(decoded.size(), 45u);
    EXPECT_EQ(decoded.substr(0, 3), "Cat");
    EXPECT_EQ(decoded.substr(3), std::string(42, '\0'));
}

TEST(UuCodec, AnyFirstByteGivesAtMost63Bytes) {
    for (int first = 0; first < 256; ++first) {
        std::string line(1, static_cast<char>(first));
        line += std::string(100, '\xff');
        std::array<char, UuMaxLineBytes> out{};
        EXPECT_EQ(uuDecodeLine(line, out), uuValue(static_cast<unsigned char>(first)));
    }
}

// The rule of the header, one character at a time.
std::string referenceDecode(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return {};
    size_t count = uuValue(static_cast<unsigned char>(line[0]));
    std::string bytes;
    for (size_t group = 0; bytes.size() < count; ++group) {
        unsigned bits = 0;
        for (size_t i = 0; i < 4; ++i) {
            size_t at = 1 + 4 * group + i;
            unsigned v = at < line.size() ? uuValue(static_cast<unsigned char>(line[at])) : 0;
            bits = bits << 6 | v;
        }
        bytes += static_cast<char>(bits >> 16);
        bytes += static_cast<char>(bits >> 8);
        bytes += static_cast<char>(bits);
    }
    bytes.resize(count);
    return bytes;
}

TEST(UuCodec, EveryCountAndLineLengthDecodesLikeTheRule) {
    std::uint32_t x = 12345;
    for (int first = 32; first < 32 + 64; ++first) {
        for (size_t length = 0; length <= 100; ++length) {
            std::string line(1, static_cast<char>(first));
            for (size_t i = 0; i < length; ++i) {
                x = x * 1664525u + 1013904223u;
                line += static_cast<char>(x >> 24);
            }
            line += '\n';
            // Bytes the line does not hold must not leak into the result: the buffer starts
            // full of something else.
            std::array<char, UuMaxLineBytes> out;
            out.fill('\x5a');
            size_t n = uuDecodeLine(line, out);
            ASSERT_EQ(std::string(out.data(), n), referenceDecode(line))
                << "count " << first - 32 << ", " << length << " characters";
        }
    }
}

}  // namespace
}  // namespace qm
