// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The perceptual hash of a picture: a 64-bit difference hash (dHash) of a small grey version.
// The picture is averaged down to 9 x 8 cells; each bit says whether a cell is brighter than
// its right neighbour. Re-encoding or resizing a picture changes few bits; another picture
// changes about half. Pure functions; any thread.
#include <cstdint>
#include <span>

namespace qm {

// Pictures whose hashes differ in at most this many bits are taken for the same picture
// re-encoded or resized (measured: see the tests of this unit).
inline constexpr int NearDuplicateDistance = 6;

// The hash of a grey picture of width x height bytes, rows of width bytes. 0 for an empty
// picture or one whose pixels do not fill width x height.
std::uint64_t differenceHash(std::span<const std::uint8_t> grey, int width, int height);

// The number of bits in which two hashes differ, 0 to 64.
int hammingDistance(std::uint64_t a, std::uint64_t b);

}  // namespace qm
