// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Decodes the body of one NZB segment: a yEnc part (its bytes, where they go in the file, the
// file's name and size, whether its CRC holds) or, for anything else, the text as it is, to
// be joined with the file's other segments and decoded whole (uuencode).
//
// Pure functions over buffers; safe on any thread. Bodies are hostile: offsets and sizes are
// checked before anything is placed by them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

struct DecodedSegment {
    bool yenc = false;
    std::string name;          // yEnc: the file's name as posted (not made safe)
    std::uint64_t size = 0;    // yEnc: the whole file's size
    std::uint64_t offset = 0;  // yEnc: where data goes in the file
    std::string data;          // yEnc: the decoded bytes; otherwise the body text
    bool crcOk = true;         // yEnc: its part CRC (or the file's, for a single part) holds
    std::optional<std::uint32_t> fileCrc;  // yEnc: the whole file's CRC, when the part names it
    std::string problem;  // yEnc: why it is damaged (wrong size, wrong CRC); empty when not
};

// body: the article body, lines ended by "\n" (a "\r" before it is dropped).
DecodedSegment decodeSegment(std::string_view body);

// The files uuencoded in text (segments joined in order): the first "begin" line's name and
// the bytes up to "end". Nothing when text holds no "begin" line.
struct UudecodedFile {
    std::string name;
    std::string data;
};
std::optional<UudecodedFile> uudecodeText(std::string_view text);

}  // namespace qm
