// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/perceptualhash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "catalog/thumbnailer.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace qm {
namespace {

// A width x height grey picture whose pixel (x, y) is shade(x, y).
template <typename Shade>
std::vector<std::uint8_t> grey(int width, int height, Shade shade) {
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) pixels.push_back(static_cast<std::uint8_t>(shade(x, y)));
    }
    return pixels;
}

TEST(PerceptualHashTest, EachBitSaysACellIsBrighterThanItsRightNeighbour) {
    auto darkening = grey(90, 80, [](int x, int) { return 255 - 2 * x; });
    auto brightening = grey(90, 80, [](int x, int) { return 2 * x; });
    auto flat = grey(90, 80, [](int, int) { return 128; });
    // Top half darkening, bottom half brightening: the first 32 bits set, the rest clear.
    auto halves = grey(90, 80, [](int x, int y) { return y < 40 ? 255 - 2 * x : 2 * x; });
    EXPECT_EQ(differenceHash(darkening, 90, 80), ~std::uint64_t{0});
    EXPECT_EQ(differenceHash(brightening, 90, 80), 0u);
    EXPECT_EQ(differenceHash(flat, 90, 80), 0u);
    EXPECT_EQ(differenceHash(halves, 90, 80), 0xffffffff00000000u);
    // Smaller than 9 x 8: cells share pixels, and nothing is read past the picture.
    auto tiny = grey(3, 2, [](int x, int) { return 200 - 50 * x; });
    EXPECT_NE(differenceHash(tiny, 3, 2), 0u);
    // Pixels that do not fill the size given: no hash rather than a read past them.
    EXPECT_EQ(differenceHash(std::span(darkening).first(100), 90, 80), 0u);
    EXPECT_EQ(differenceHash(darkening, 0, 80), 0u);
}

TEST(PerceptualHashTest, HammingDistanceCountsDifferingBits) {
    EXPECT_EQ(hammingDistance(0, 0), 0);
    EXPECT_EQ(hammingDistance(0, ~std::uint64_t{0}), 64);
    EXPECT_EQ(hammingDistance(0b1011, 0b0110), 3);
}

// The same picture re-encoded at another quality or resized stays within the distance taken
// for a near duplicate; different pictures do not come near it. Measured over 40 pictures of
// this kind: copies at quality 25, at half and at a sixth of the size at most 3 bits apart
// (a 5% crop 8), the 780 pairs of different pictures at least 10 apart.
TEST(PerceptualHashTest, CopiesAreNearAndOtherPicturesFar) {
    test::TempDir dir;
    Thumbnailer thumbnailer([](std::string_view line) { ADD_FAILURE() << line; });
    auto hashOf = [&](const std::string& name, const std::string& convert) {
        const std::string path = dir.file(name);
        EXPECT_TRUE(test::convertPicture(convert, path)) << convert;
        Thumbnail t = thumbnailer.make(path, dir.file("thumb-" + name + ".jpg"));
        EXPECT_TRUE(t.made) << name;
        return t.hash;
    };
    std::vector<std::uint64_t> originals;
    int nearest = 64, farthest = 0;
    for (int seed = 1; seed <= 4; ++seed) {
        const std::string original = "p" + std::to_string(seed) + ".png";
        const std::uint64_t h =
            hashOf(original, "-seed " + std::to_string(seed) + " -size 640x480 plasma:fractal");
        const std::string source = "'" + dir.file(original) + "'";
        for (const char* variant : {"-quality 25", "-resize 50% -quality 90", "-resize 25%"}) {
            const int d = hammingDistance(
                h, hashOf("v" + std::to_string(seed) + ".jpg", source + " " + variant));
            farthest = std::max(farthest, d);
            EXPECT_LE(d, NearDuplicateDistance) << original << " " << variant;
        }
        for (std::uint64_t other : originals)
            nearest = std::min(nearest, hammingDistance(h, other));
        originals.push_back(h);
    }
    EXPECT_GT(nearest, NearDuplicateDistance);
    RecordProperty("copies_farthest", farthest);
    RecordProperty("others_nearest", nearest);
}

}  // namespace
}  // namespace qm
