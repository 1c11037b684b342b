// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Decoding of single uuencoded lines: the first character gives the number of bytes n, every
// group of four characters after it yields three bytes, of which the first n are kept; each
// character stands for ((c - 32) AND 63).
//
// Pure functions over buffers; safe on any thread. Input is hostile: any byte sequence is
// accepted, and nothing is read past the end of the line.
#include <cstddef>
#include <span>
#include <string_view>

namespace qm {

// The most bytes one line can give ((c - 32) AND 63 is at most 63).
inline constexpr size_t UuMaxLineBytes = 63;

// Decodes line (its line end, "\n" or "\r\n", may be included and is not data) into out and
// returns the number of bytes written. Characters missing at the end of a short line count
// as 0, as the blanks that transports strip from line ends were.
size_t uuDecodeLine(std::string_view line, std::span<char, UuMaxLineBytes> out);

// The value of one uuencode character.
inline constexpr unsigned uuValue(unsigned char c) {
    return (c - 32u) & 63u;
}

}  // namespace qm
