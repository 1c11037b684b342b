// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Encoders for test articles and benchmark inputs: standard uuencoding ("`" for zero, 45
// bytes a line) and yEnc data lines and posts. Written here once, checked against sharutils'
// uuencode and python3-yenc by the decoder's real-encoder tests.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "decode/yenc.h"

namespace qm::test {

// The data lines only, each ended by lineEnd.
inline std::string uuencodeLines(std::string_view data, std::string_view lineEnd = "\n") {
    auto put = [](unsigned v) { return static_cast<char>(v ? v + 32 : '`'); };
    std::string out;
    out.reserve(data.size() / 45 * (61 + lineEnd.size()) + 64);
    for (size_t at = 0; at < data.size(); at += 45) {
        std::string_view chunk = data.substr(at, 45);
        out += put(static_cast<unsigned>(chunk.size()));
        for (size_t i = 0; i < chunk.size(); i += 3) {
            unsigned b[3] = {0, 0, 0};
            for (size_t k = 0; k < 3 && i + k < chunk.size(); ++k)
                b[k] = static_cast<unsigned char>(chunk[i + k]);
            out += put(b[0] >> 2);
            out += put(((b[0] << 4) | (b[1] >> 4)) & 63);
            out += put(((b[1] << 2) | (b[2] >> 6)) & 63);
            out += put(b[2] & 63);
        }
        out += lineEnd;
    }
    return out;
}

// A whole post: "begin 644 name", the data lines, "`" and "end".
inline std::string uuencodeBody(std::string_view data, std::string_view name,
                                std::string_view lineEnd = "\n") {
    std::string out = "begin 644 " + std::string(name) + std::string(lineEnd);
    out += uuencodeLines(data, lineEnd);
    out += "`" + std::string(lineEnd) + "end" + std::string(lineEnd);
    return out;
}

// MIME base64 lines: 57 bytes (76 characters) a line, each ended by "\n", "=" padding.
inline std::string base64Lines(std::string_view data) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(data.size() / 57 * 78 + 80);
    for (std::size_t line = 0; line < data.size(); line += 57) {
        const std::size_t end = std::min(data.size(), line + 57);
        for (std::size_t i = line; i < end; i += 3) {
            std::uint32_t v = static_cast<unsigned char>(data[i]) << 16;
            if (i + 1 < end) v |= static_cast<unsigned char>(data[i + 1]) << 8;
            if (i + 2 < end) v |= static_cast<unsigned char>(data[i + 2]);
            out += alphabet[v >> 18];
            out += alphabet[(v >> 12) & 63];
            out += i + 1 < end ? alphabet[(v >> 6) & 63] : '=';
            out += i + 2 < end ? alphabet[v & 63] : '=';
        }
        out += '\n';
    }
    return out;
}

// yEnc data lines as posting tools write them: 128 columns, CRLF, the critical bytes and a
// leading dot escaped.
inline std::string yencLines(std::string_view data) {
    std::string out;
    out.reserve(data.size() / 100 * 104 + 64);
    size_t column = 0;
    for (char byte : data) {
        auto c = static_cast<unsigned char>(static_cast<unsigned char>(byte) + 42);
        if (c == 0 || c == '\n' || c == '\r' || c == '=' || (column == 0 && c == '.')) {
            out += '=';
            c = static_cast<unsigned char>(c + 64);
            ++column;
        }
        out += static_cast<char>(c);
        if (++column >= 128) {
            out += "\r\n";
            column = 0;
        }
    }
    if (column > 0) out += "\r\n";
    return out;
}

// The CRC32 of data as yEnc writes it: eight lower-case hex digits.
inline std::string crcText(std::string_view data) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", crc32Update(0, data));
    return text;
}

// data as a single-part yEnc post named name.
inline std::string yencSingle(std::string_view data, std::string_view name) {
    std::string size = std::to_string(data.size());
    return "=ybegin line=128 size=" + size + " name=" + std::string(name) + "\r\n" +
           yencLines(data) + "=yend size=" + size + " crc32=" + crcText(data) + "\r\n";
}

// Half n (1 or 2) of data as a yEnc part.
inline std::string yencHalf(std::string_view data, std::string_view name, int n) {
    size_t each = (data.size() + 1) / 2;
    size_t begin = n == 1 ? 0 : each;
    std::string_view piece = data.substr(begin, each);
    return "=ybegin part=" + std::to_string(n) +
           " total=2 line=128 size=" + std::to_string(data.size()) + " name=" + std::string(name) +
           "\r\n=ypart begin=" + std::to_string(begin + 1) +
           " end=" + std::to_string(begin + piece.size()) + "\r\n" + yencLines(piece) +
           "=yend size=" + std::to_string(piece.size()) + " part=" + std::to_string(n) +
           " pcrc32=" + crcText(piece) + "\r\n";
}

}  // namespace qm::test
