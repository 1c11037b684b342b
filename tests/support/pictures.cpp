// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/pictures.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace qm::test {
namespace {

void put32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}

void chunk(std::string& png, std::string_view type, std::string_view data) {
    put32(png, static_cast<std::uint32_t>(data.size()));
    std::string body(type);
    body += data;
    png += body;
    put32(png, static_cast<std::uint32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size())));
}

// The zlib stream of height rows of (filter byte 0, width zero bytes).
std::string zeroRows(std::uint32_t width, std::uint32_t height) {
    z_stream z{};
    deflateInit(&z, Z_BEST_COMPRESSION);
    std::vector<unsigned char> row(width + 1u, 0);
    std::string out;
    unsigned char buffer[1 << 16];
    for (std::uint32_t y = 0; y <= height; ++y) {
        const bool last = y == height;
        z.next_in = row.data();
        z.avail_in = last ? 0 : static_cast<uInt>(row.size());
        do {
            z.next_out = buffer;
            z.avail_out = sizeof buffer;
            deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(reinterpret_cast<char*>(buffer), sizeof buffer - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

// What a shell command prints on standard output (its first 256 bytes).
std::string output(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return {};
    char buffer[256] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, pipe.get());
    return std::string(buffer, n);
}

}  // namespace

bool convertPicture(const std::string& args, const std::string& path) {
    std::remove(path.c_str());
    const std::string command = "convert " + args + " '" + path + "' 2>/dev/null";
    return std::system(command.c_str()) == 0 && ::access(path.c_str(), R_OK) == 0;
}

std::string zeroPng(std::uint32_t width, std::uint32_t height, bool pixels) {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string header;
    put32(header, width);
    put32(header, height);
    header += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit grey, no interlace
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", pixels ? zeroRows(width, height) : zeroRows(width, 1));
    chunk(png, "IEND", "");
    return png;
}

std::string withJpegSize(std::string jpeg, std::uint16_t width, std::uint16_t height) {
    // Markers from the start: FF xx, then a 16-bit length, until a frame header.
    for (std::size_t at = 2; at + 9 < jpeg.size();) {
        if (static_cast<unsigned char>(jpeg[at]) != 0xff) break;
        const auto marker = static_cast<unsigned char>(jpeg[at + 1]);
        const std::size_t length = static_cast<unsigned char>(jpeg[at + 2]) << 8 |
                                   static_cast<unsigned char>(jpeg[at + 3]);
        if (marker >= 0xc0 && marker <= 0xc2) {
            jpeg[at + 5] = static_cast<char>(height >> 8);
            jpeg[at + 6] = static_cast<char>(height & 0xff);
            jpeg[at + 7] = static_cast<char>(width >> 8);
            jpeg[at + 8] = static_cast<char>(width & 0xff);
            return jpeg;
        }
        at += 2 + length;
    }
    return {};
}

std::string withExifOrientation(const std::string& jpeg, int orientation) {
    // APP1 "Exif": a big-endian TIFF header and one directory with one entry, 0x0112.
    std::string tiff("MM\0*\0\0\0\x08", 8);
    tiff += std::string("\0\x01", 2);                    // one entry
    tiff += std::string("\x01\x12\0\x03\0\0\0\x01", 8);  // orientation, SHORT, 1 value
    tiff += static_cast<char>(0);
    tiff += static_cast<char>(orientation);
    tiff += std::string("\0\0", 2);      // value padding
    tiff += std::string("\0\0\0\0", 4);  // no next directory
    std::string app1 = std::string("Exif\0\0", 6) + tiff;
    const std::size_t length = app1.size() + 2;
    std::string out = jpeg.substr(0, 2);
    out += "\xff\xe1";
    out += static_cast<char>(length >> 8);
    out += static_cast<char>(length & 0xff);
    out += app1;
    out += jpeg.substr(2);
    return out;
}

std::string identifySize(const std::string& path) {
    return output("identify -format '%wx%h' '" + path + "[0]' 2>/dev/null");
}

Colour meanColour(const std::string& path) {
    const std::string text = output("convert '" + path +
                                    "[0]' -resize '1x1!' -format "
                                    "'%[fx:int(255*r+.5)] %[fx:int(255*g+.5)] %[fx:int(255*b+.5)]' "
                                    "info: 2>/dev/null");
    Colour c;
    if (std::sscanf(text.c_str(), "%d %d %d", &c.r, &c.g, &c.b) != 3) return {};
    return c;
}

}  // namespace qm::test
