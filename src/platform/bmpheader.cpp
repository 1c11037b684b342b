// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/bmpheader.h"

#include <algorithm>
#include <cstdio>

#include "platform/file.h"

namespace qm {

namespace {

constexpr std::size_t FileHeaderBytes = 14;
constexpr std::size_t InfoHeaderBytes = 40;
constexpr std::size_t MaxColourTableBytes = 1024;

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint16_t(b[at] | b[at + 1] << 8);
}

}  // namespace

std::optional<BmpHeader> readPaletteBmpHeader(std::span<const std::uint8_t> file) {
    if (file.size() < FileHeaderBytes + InfoHeaderBytes) return std::nullopt;
    if (file[0] != 'B' || file[1] != 'M') return std::nullopt;
    const auto info = file.subspan(FileHeaderBytes);
    if (le32(info, 0) != InfoHeaderBytes) return std::nullopt;
    BmpHeader h;
    h.width = std::int32_t(le32(info, 4));
    h.height = std::int32_t(le32(info, 8));
    h.bitsPerPixel = le16(info, 14);
    if (h.bitsPerPixel == 0 || h.bitsPerPixel > 8) return std::nullopt;
    h.compression = le32(info, 16);
    const std::uint32_t used = le32(info, 32);
    h.colours = used != 0 ? used : (1u << h.bitsPerPixel);
    h.pixelOffset = le32(file, 10);
    return h;
}

std::optional<PaletteImage> decodePaletteBmp(std::span<const std::uint8_t> file) {
    if (file.size() > MaxBmpFileBytes) return std::nullopt;
    const auto header = readPaletteBmpHeader(file);
    if (!header || header->compression != 0) return std::nullopt;
    const int bpp = header->bitsPerPixel;
    if (bpp != 1 && bpp != 4 && bpp != 8) return std::nullopt;
    const std::int64_t width = header->width;
    const std::int64_t height = header->height < 0 ? -std::int64_t(header->height) : header->height;
    if (width <= 0 || height <= 0 || width > MaxBmpSide || height > MaxBmpSide) return std::nullopt;

    // The colour table follows the information header; at most 256 quads, and only what the
    // file holds of them.
    const std::size_t tableAt = FileHeaderBytes + InfoHeaderBytes;
    std::size_t count = std::min<std::size_t>(header->colours, MaxColourTableBytes / 4);
    count = std::min(count, (file.size() - tableAt) / 4);
    if (count == 0) return std::nullopt;
    PaletteImage image;
    image.width = int(width);
    image.height = int(height);
    image.colours.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto q = file.subspan(tableAt + 4 * i, 4);
        image.colours.push_back(0xff000000u | std::uint32_t(q[2]) << 16 | std::uint32_t(q[1]) << 8 |
                                q[0]);
    }

    // Rows are padded to four bytes and stored bottom first unless the height is negative.
    const std::size_t rowBytes = std::size_t((width * bpp + 31) / 32 * 4);
    const std::size_t offset = header->pixelOffset;
    if (offset < tableAt || offset > file.size() ||
        (file.size() - offset) / rowBytes < std::size_t(height))
        return std::nullopt;
    image.indices.resize(std::size_t(width * height));
    const bool topDown = header->height < 0;
    const unsigned mask = (1u << bpp) - 1;
    for (std::int64_t row = 0; row < height; ++row) {
        const auto src = file.subspan(offset + std::size_t(row) * rowBytes, rowBytes);
        const std::int64_t y = topDown ? row : height - 1 - row;
        std::uint8_t* out = image.indices.data() + y * width;
        for (std::int64_t x = 0; x < width; ++x) {
            const std::size_t bit = std::size_t(x * bpp);
            const unsigned shift = 8 - bpp - unsigned(bit % 8);
            unsigned index = (src[bit / 8] >> shift) & mask;
            out[x] = std::uint8_t(index < count ? index : 0);
        }
    }
    return image;
}

std::vector<std::uint8_t> readBoundedFile(const std::string& path) {
    std::vector<std::uint8_t> data;
    FilePtr in = openFile(path, "rb");
    if (!in) return data;
    std::uint8_t chunk[65536];
    while (data.size() <= MaxBmpFileBytes) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, in.get());
        if (n == 0) break;
        data.insert(data.end(), chunk, chunk + n);
    }
    return data;
}

}  // namespace qm
