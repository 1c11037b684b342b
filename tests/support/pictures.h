// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Pictures for the tests, made on the spot: by ImageMagick's convert (a test dependency), or
// by hand where a picture must lie about itself.
#include <cstdint>
#include <string>
#include <string_view>

namespace qm::test {

// Runs `convert <args> <path>` (args are shell words); true when it made the file.
bool convertPicture(const std::string& args, const std::string& path);

// A PNG of width x height grey pixels whose rows are all zero. With pixels false it carries
// no image data at all: a header that declares a size and nothing behind it.
std::string zeroPng(std::uint32_t width, std::uint32_t height, bool pixels);

// A copy of a JPEG whose frame header (SOF) declares width x height instead of its own size.
std::string withJpegSize(std::string jpeg, std::uint16_t width, std::uint16_t height);

struct Colour {
    int r = -1, g = -1, b = -1;
};
// The mean colour of a picture's first frame, 0 to 255 a channel; -1s when unreadable.
Colour meanColour(const std::string& path);

// A copy of a JPEG with an Exif block whose orientation tag is orientation (6: the picture is
// shown turned a quarter clockwise).
std::string withExifOrientation(const std::string& jpeg, int orientation);

// The size of a picture as ImageMagick's identify sees it, "WxH"; empty when unreadable.
std::string identifySize(const std::string& path);

}  // namespace qm::test
