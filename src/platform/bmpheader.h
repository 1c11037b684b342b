// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reading of palette bitmap files (".bmp" of 1, 4 or 8 bits per pixel with a colour table).
// The files come from disk and are treated as hostile: every read is bounded and any byte
// sequence gives either a picture or "unusable", never a crash. Free functions without
// shared state; any thread.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qm {

// What the 14-byte file header and the 40-byte information header say.
struct BmpHeader {
    std::int32_t width = 0;
    std::int32_t height = 0;  // as stored: negative for a top-down picture
    std::uint16_t bitsPerPixel = 0;
    std::uint32_t compression = 0;
    std::uint32_t colours = 0;  // colours-used, or 2^bits per pixel when that field is 0
    std::uint32_t pixelOffset = 0;
};

// A decoded palette picture: one colour index per pixel, rows top first.
struct PaletteImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> colours;  // 0xffRRGGBB, from the blue-green-red quads
    std::vector<std::uint8_t> indices;   // width * height
};

// Pictures larger than this in either direction are refused (no legitimate artwork is).
inline constexpr int MaxBmpSide = 8192;
// Files larger than this are not read.
inline constexpr std::size_t MaxBmpFileBytes = 64u << 20;

// The headers, when the file starts with "BM", the information header is 40 bytes long and
// the picture has at most 8 bits per pixel; otherwise nothing.
std::optional<BmpHeader> readPaletteBmpHeader(std::span<const std::uint8_t> file);

// The whole picture, when the headers pass, the compression is none, the sizes are sane and
// the colour table and pixel rows lie inside the file. Pixel indices beyond the colour
// table read as colour 0.
std::optional<PaletteImage> decodePaletteBmp(std::span<const std::uint8_t> file);

// Reads at most MaxBmpFileBytes + 1 bytes of a file (so that a larger one is seen as such).
std::vector<std::uint8_t> readBoundedFile(const std::string& path);

}  // namespace qm
