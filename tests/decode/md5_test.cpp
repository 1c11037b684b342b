// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/md5.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace qm {
namespace {

std::string hexOf(std::string_view data) {
    Md5 md5;
    md5.update(data);
    return Md5::toHex(md5.finish());
}

TEST(Md5, MatchesTheTestSuiteOfRfc1321) {
    struct Case {
        std::string input, hex;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) EXPECT_EQ(hexOf(c.input), c.hex) << '"' << c.input << '"';
}

TEST(Md5, PaddingBoundariesAroundOneBlockAreHandled) {
    // Lengths 55, 56 and 64 need one or two padding blocks; values from md5sum.
    EXPECT_EQ(hexOf(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(hexOf(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(hexOf(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(Md5, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
    std::mt19937 random(7);
    std::string data(100000, '\0');
    for (char& c : data) c = static_cast<char>(random());
    const std::string whole = hexOf(data);
    for (size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u, 65536u}) {
        Md5 md5;
        for (size_t at = 0; at < data.size(); at += piece)
            md5.update(std::string_view(data).substr(at, piece));
        EXPECT_EQ(Md5::toHex(md5.finish()), whole) << "pieces of " << piece;
    }
}

TEST(Md5, Base64FormIsTheContentMd5Form) {
    Md5 md5;
    EXPECT_EQ(Md5::toBase64(md5.finish()), "1B2M2Y8AsgTpgAmY7PhCfg==");
    md5.update("abc");
    EXPECT_EQ(Md5::toBase64(md5.finish()), "kAFQmDzST7DWlj99KOF/cg==");
}

}  // namespace
}  // namespace qm
