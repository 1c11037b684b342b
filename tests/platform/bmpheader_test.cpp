// SPDX-License-Identifier: GPL-3.0-or-later
// Palette bitmap files: what is usable, how pixels and colours come out, and that no byte
// sequence crashes the reader.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/bmpheader.h"

namespace qm {
namespace {

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

// A bitmap file with the given header fields; colours are (i, 2i, 3i) for index i and every
// pixel index is (x + y) modulo the colour count.
std::vector<std::uint8_t> makeBmp(int width, int height, int bpp, std::uint32_t colours,
                                  std::uint32_t infoSize = 40, std::uint32_t compression = 0) {
    const std::uint32_t tableColours = bpp <= 8 ? (colours ? colours : 1u << bpp) : 0;
    const std::size_t rowBytes = std::size_t((width * bpp + 31) / 32 * 4);
    const std::size_t rows = std::size_t(height < 0 ? -height : height);
    const std::size_t offset = 14 + 40 + 4 * tableColours;
    std::vector<std::uint8_t> b(offset + rowBytes * rows);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, std::uint32_t(b.size()));
    put32(b, 10, std::uint32_t(offset));
    put32(b, 14, infoSize);
    put32(b, 18, std::uint32_t(width));
    put32(b, 22, std::uint32_t(height));
    put16(b, 26, 1);
    put16(b, 28, std::uint16_t(bpp));
    put32(b, 30, compression);
    put32(b, 46, colours);
    for (std::uint32_t i = 0; i < tableColours; ++i) {
        b[54 + 4 * i] = std::uint8_t(3 * i);  // blue
        b[55 + 4 * i] = std::uint8_t(2 * i);  // green
        b[56 + 4 * i] = std::uint8_t(i);      // red
    }
    if (bpp == 8)
        for (std::size_t r = 0; r < rows; ++r)
            for (int x = 0; x < width; ++x)
                b[offset + r * rowBytes + std::size_t(x)] =
                    std::uint8_t((std::size_t(x) + r) % tableColours);
    return b;
}

TEST(PaletteBmp, EightBitPictureIsUsableWithItsColourTableAndRowsBottomFirst) {
    const auto file = makeBmp(5, 3, 8, 16);
    const auto header = readPaletteBmpHeader(file);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->colours, 16u);
    const auto image = decodePaletteBmp(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 5);
    EXPECT_EQ(image->height, 3);
    ASSERT_EQ(image->colours.size(), 16u);
    EXPECT_EQ(image->colours[7], 0xff070e15u);  // red 7, green 14, blue 21
    // Stored row 0 is the bottom row (y = 2): its pixel x holds index x.
    EXPECT_EQ(image->indices[2 * 5 + 3], 3);
    EXPECT_EQ(image->indices[0 * 5 + 3], 5);  // stored row 2
}

TEST(PaletteBmp, ZeroColoursUsedMeansTwoToTheBitsPerPixel) {
    auto header = readPaletteBmpHeader(makeBmp(2, 2, 8, 0));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->colours, 256u);
    header = readPaletteBmpHeader(makeBmp(8, 2, 4, 0));
    ASSERT_TRUE(header);
    EXPECT_EQ(header->colours, 16u);
}

TEST(PaletteBmp, FourAndOneBitPixelsAreUnpackedHighBitsFirst) {
    auto file = makeBmp(3, 1, 4, 16);
    file[file.size() - 4] = 0x1f;  // pixels 1, 15
    file[file.size() - 3] = 0x20;  // pixel 2
    auto image = decodePaletteBmp(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->indices, (std::vector<std::uint8_t>{1, 15, 2}));

    file = makeBmp(10, 1, 1, 2);
    file[file.size() - 4] = 0b10100000;
    file[file.size() - 3] = 0b01000000;
    image = decodePaletteBmp(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->indices, (std::vector<std::uint8_t>{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(PaletteBmp, TopDownPictureKeepsItsRowOrder) {
    const auto image = decodePaletteBmp(makeBmp(4, -2, 8, 8));
    ASSERT_TRUE(image);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->indices[0], 0);  // stored row 0 is the top row
    EXPECT_EQ(image->indices[4], 1);
}

TEST(PaletteBmp, IndexBeyondTheColourTableReadsAsColourZero) {
    auto file = makeBmp(2, 1, 8, 4);
    file[file.size() - 4] = 200;
    const auto image = decodePaletteBmp(file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->indices[0], 0);
}

TEST(PaletteBmp, WhatIsNotAPaletteBitmapIsUnusable) {
    EXPECT_FALSE(readPaletteBmpHeader(makeBmp(4, 4, 24, 0)));     // true colour
    EXPECT_FALSE(readPaletteBmpHeader(makeBmp(4, 4, 16, 0)));     // 16 bits
    EXPECT_FALSE(readPaletteBmpHeader(makeBmp(4, 4, 8, 0, 12)));  // another header size
    EXPECT_FALSE(readPaletteBmpHeader(makeBmp(4, 4, 8, 0, 124)));
    auto notBm = makeBmp(4, 4, 8, 0);
    notBm[0] = 'X';
    EXPECT_FALSE(readPaletteBmpHeader(notBm));
    EXPECT_FALSE(readPaletteBmpHeader(std::vector<std::uint8_t>(53, 'B')));
    EXPECT_FALSE(decodePaletteBmp(makeBmp(4, 4, 8, 0, 40, 1)));  // run-length compressed
    EXPECT_FALSE(decodePaletteBmp(makeBmp(0, 4, 8, 0)));
}

TEST(PaletteBmp, SizesThatTheFileCannotHoldAreRefused) {
    auto file = makeBmp(16, 16, 8, 0);
    file.resize(file.size() - 1);  // the last row is one byte short
    EXPECT_FALSE(decodePaletteBmp(file));
    file = makeBmp(16, 16, 8, 0);
    put32(file, 18, 0x7fffffff);  // a width whose row size would overflow
    EXPECT_FALSE(decodePaletteBmp(file));
    file = makeBmp(16, 16, 8, 0);
    put32(file, 22, 0x80000000u);  // the most negative height
    EXPECT_FALSE(decodePaletteBmp(file));
    file = makeBmp(16, 16, 8, 0);
    put32(file, 10, 0xfffffff0u);  // pixels past the end
    EXPECT_FALSE(decodePaletteBmp(file));
    file = makeBmp(16, 16, 8, 0);
    put32(file, 10, 20);  // pixels inside the headers
    EXPECT_FALSE(decodePaletteBmp(file));
}

TEST(PaletteBmp, ArbitraryBytesNeverCrashTheReader) {
    std::mt19937 random(12345);
    const auto good = makeBmp(9, 7, 8, 0);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint8_t> file = good;
        const int changes = 1 + int(random() % 8);
        for (int i = 0; i < changes; ++i) file[random() % 60] = std::uint8_t(random());
        file.resize(random() % (good.size() + 1));
        const auto image = decodePaletteBmp(file);
        if (image) {
            ASSERT_EQ(image->indices.size(),
                      std::size_t(image->width) * std::size_t(image->height));
            for (std::uint8_t index : image->indices) ASSERT_LT(index, image->colours.size());
        }
    }
}

}  // namespace
}  // namespace qm
