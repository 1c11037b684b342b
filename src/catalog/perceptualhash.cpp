// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/perceptualhash.h"

#include <algorithm>
#include <array>
#include <bit>

namespace qm {
namespace {

constexpr int Columns = 9, Rows = 8;

// The first pixel of cell i of count cells over size pixels; every cell gets at least one.
int cellStart(int i, int count, int size) {
    return std::min(static_cast<int>(static_cast<long long>(i) * size / count), size - 1);
}

int cellEnd(int i, int count, int size) {
    return std::max(cellStart(i, count, size) + 1,
                    static_cast<int>(static_cast<long long>(i + 1) * size / count));
}

}  // namespace

std::uint64_t differenceHash(std::span<const std::uint8_t> grey, int width, int height) {
    if (width <= 0 || height <= 0 ||
        grey.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
        return 0;
    }
    std::array<std::array<double, Columns>, Rows> cells{};
    for (int cy = 0; cy < Rows; ++cy) {
        const int y0 = cellStart(cy, Rows, height), y1 = cellEnd(cy, Rows, height);
        for (int cx = 0; cx < Columns; ++cx) {
            const int x0 = cellStart(cx, Columns, width), x1 = cellEnd(cx, Columns, width);
            std::uint64_t sum = 0;
            for (int y = y0; y < y1; ++y) {
                const std::uint8_t* row = grey.data() + static_cast<std::size_t>(y) * width;
                for (int x = x0; x < x1; ++x) sum += row[x];
            }
            cells[cy][cx] = static_cast<double>(sum) / ((y1 - y0) * (x1 - x0));
        }
    }
    std::uint64_t hash = 0;
    for (int cy = 0; cy < Rows; ++cy) {
        for (int cx = 0; cx + 1 < Columns; ++cx) {
            hash = hash << 1 | (cells[cy][cx] > cells[cy][cx + 1] ? 1u : 0u);
        }
    }
    return hash;
}

int hammingDistance(std::uint64_t a, std::uint64_t b) {
    return std::popcount(a ^ b);
}

}  // namespace qm
