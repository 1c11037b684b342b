// SPDX-License-Identifier: GPL-3.0-or-later
// What the par2 tool says decides what is fetched: its counts read right, and the volumes
// named right.
#include <gtest/gtest.h>

#include "nzb/par2tool.h"
#include "nzb/segmentdecoder.h"
#include "support/encoders.h"

namespace qm {
namespace {

TEST(Par2Tool, VerifyOutputGivesMissingAndRecoveryBlocks) {
    Par2Verify verify = parsePar2Output(
        "Target: \"a.bin\" - damaged. Found 16 of 19 data blocks.\n\nRepair is required.\n"
        "1 file(s) are missing.\nYou have 16 out of 32 data blocks available.\n"
        "You have 3 recovery blocks available.\nRepair is not possible.\n"
        "You need 13 more recovery blocks to be able to repair.\n");
    EXPECT_FALSE(verify.complete);
    EXPECT_FALSE(verify.possible);
    EXPECT_EQ(verify.missingBlocks, 16);
    EXPECT_EQ(verify.recoveryBlocks, 3);
    verify = parsePar2Output(
        "Target: \"a.bin\" - found.\n\nAll files are correct, repair is "
        "not required.\n");
    EXPECT_TRUE(verify.complete);
    EXPECT_EQ(verify.missingBlocks, 0);

    EXPECT_EQ(par2VolumeBlocks("set.vol03+04.par2"), 4);
    EXPECT_EQ(par2VolumeBlocks("Set.VOL0+1.PAR2"), 1);
    EXPECT_EQ(par2VolumeBlocks("set.par2"), std::nullopt);
    EXPECT_EQ(par2VolumeBlocks("set.vol+4.par2"), std::nullopt);
    EXPECT_EQ(par2IndexName("my.set.vol03+04.par2"), "my.set.par2");
    EXPECT_EQ(par2IndexName("my.set.par2"), "my.set.par2");
    EXPECT_EQ(par2IndexName("my.set.jpg"), std::nullopt);
}

TEST(SegmentDecoder, APartIsPlacedByItsHeaderAndADamagedOneIsToldApart) {
    const std::string data = "0123456789abcdefghij";
    const std::string second = test::yencHalf(data, "x.bin", 2);
    DecodedSegment segment = decodeSegment(second);
    EXPECT_TRUE(segment.yenc);
    EXPECT_TRUE(segment.crcOk) << segment.problem;
    EXPECT_EQ(segment.offset, 10u);
    EXPECT_EQ(segment.size, 20u);
    EXPECT_EQ(segment.data, "abcdefghij");
    EXPECT_EQ(segment.name, "x.bin");

    std::string flipped = second;
    flipped[flipped.find("\r\n", flipped.find("=ypart")) + 5] ^= 1;  // a data byte
    segment = decodeSegment(flipped);
    EXPECT_FALSE(segment.crcOk);

    // A body that ends in its header line (found by fuzzing: read past its end once).
    EXPECT_FALSE(decodeSegment("=ybegin part=1 total=2 size=6 name=a").crcOk);
    // A part that claims bytes beyond its file's size is no part at all.
    segment =
        decodeSegment("=ybegin part=1 total=1 size=4 name=y\r\n=ypart begin=3 end=9\r\nabc\r\n");
    EXPECT_FALSE(segment.crcOk);
    EXPECT_TRUE(segment.data.empty());

    const auto uu = uudecodeText("junk\nbegin 644 hi.gif\n#1TE&\n`\nend\n");
    ASSERT_TRUE(uu);
    EXPECT_EQ(uu->name, "hi.gif");
    EXPECT_EQ(uu->data, "GIF");
    EXPECT_FALSE(decodeSegment("begin 644 hi.gif\n").yenc);
}

}  // namespace
}  // namespace qm
