// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/yenc.h"

#include <zlib.h>

#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decode/partassembler.h"

namespace qm {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (isLineEnd(line.back()) || isBlank(line.back()))) line.remove_suffix(1);
    return line;
}

// A decimal number that is the whole of text, at most limit.
std::optional<std::uint64_t> number(std::string_view text, std::uint64_t limit) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::uint64_t> numberOf(std::string_view text, std::string_view key,
                                      std::uint64_t limit) {
    std::optional<std::string_view> value = yencKeyword(text, key);
    if (!value) return std::nullopt;
    return number(*value, limit);
}

// One to eight hex digits, any case.
std::optional<std::uint32_t> crcOf(std::string_view text, std::string_view key) {
    std::optional<std::string_view> value = yencKeyword(text, key);
    if (!value || value->empty() || value->size() > 8) return std::nullopt;
    std::uint32_t crc = 0;
    for (char c : *value) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        crc = crc << 4 | static_cast<std::uint32_t>(digit);
    }
    return crc;
}

// Bytes the fast loop hands to the slow one.
constexpr std::array<bool, 256> SpecialBytes = [] {
    std::array<bool, 256> table{};
    table['\n'] = table['\r'] = table['='] = true;
    return table;
}();

constexpr std::uint64_t Ones = 0x0101010101010101ull;
constexpr std::uint64_t Highs = 0x8080808080808080ull;

constexpr std::uint64_t hasZeroByte(std::uint64_t v) {
    return (v - Ones) & ~v & Highs;
}

// Subtracts 42 from each of the eight bytes, modulo 256, without borrows between them.
constexpr std::uint64_t minus42(std::uint64_t v) {
    constexpr std::uint64_t K = 42 * Ones;
    return ((v | Highs) - K) ^ ((v ^ ~K) & Highs);
}

}  // namespace

std::optional<std::string_view> yencKeyword(std::string_view text, std::string_view key) {
    for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
        size_t after = at + key.size();
        if ((at == 0 || isBlank(text[at - 1])) && after < text.size() && text[after] == '=') {
            size_t start = after + 1;
            size_t end = start;
            while (end < text.size() && !isBlank(text[end]) && !isLineEnd(text[end])) ++end;
            return text.substr(start, end - start);
        }
    }
    return std::nullopt;
}

std::optional<YencBegin> parseYencBegin(std::string_view line) {
    constexpr std::string_view Prefix = "=ybegin ";
    if (line.substr(0, Prefix.size()) != Prefix) return std::nullopt;
    line = withoutLineEnd(line.substr(Prefix.size()));
    // The name takes the rest of the line, so only the text before it holds keywords.
    size_t at = 0;
    for (;; ++at) {
        at = line.find("name=", at);
        if (at == std::string_view::npos) return std::nullopt;
        if (at == 0 || isBlank(line[at - 1])) break;
    }
    YencBegin begin;
    std::string_view keywords = line.substr(0, at);
    begin.name = line.substr(at + 5);
    while (!begin.name.empty() && isBlank(begin.name.front())) begin.name.remove_prefix(1);
    std::optional<std::uint64_t> size = numberOf(keywords, "size", MaxYencSize);
    if (begin.name.empty() || !size) return std::nullopt;
    begin.size = *size;
    if (yencKeyword(keywords, "total")) {
        std::optional<std::uint64_t> total = numberOf(keywords, "total", MaxParts);
        if (!total || *total == 0) return std::nullopt;
        begin.total = static_cast<int>(*total);
    }
    if (yencKeyword(keywords, "part")) {
        std::optional<std::uint64_t> part = numberOf(keywords, "part", MaxParts);
        if (!part || *part == 0 || (begin.total != 0 && *part > static_cast<unsigned>(begin.total)))
            return std::nullopt;
        begin.part = static_cast<int>(*part);
    }
    return begin;
}

std::optional<YencPart> parseYencPart(std::string_view line, std::uint64_t size) {
    constexpr std::string_view Prefix = "=ypart ";
    if (line.substr(0, Prefix.size()) != Prefix) return std::nullopt;
    line = line.substr(Prefix.size());
    std::optional<std::uint64_t> begin = numberOf(line, "begin", MaxYencSize);
    std::optional<std::uint64_t> end = numberOf(line, "end", MaxYencSize);
    if (!begin || !end || *begin == 0 || *begin > *end || *end > size) return std::nullopt;
    return YencPart{*begin, *end};
}

std::optional<YencEnd> parseYencEnd(std::string_view line) {
    constexpr std::string_view Prefix = "=yend";
    if (line.substr(0, Prefix.size()) != Prefix) return std::nullopt;
    line = line.substr(Prefix.size());
    if (!line.empty() && !isBlank(line[0]) && !isLineEnd(line[0])) return std::nullopt;
    YencEnd end;
    end.size = numberOf(line, "size", UINT64_MAX);
    end.partCrc = crcOf(line, "pcrc32");
    end.crc = crcOf(line, "crc32");
    return end;
}

YencDecoder::Result YencDecoder::decode(std::string_view in, char* out, bool more) {
    const char* const data = in.data();
    const size_t n = in.size();
    size_t i = 0;
    size_t o = 0;
    while (i < n) {
        if (m_escape) {
            m_escape = false;
            // An "=" at the end of a line escapes nothing.
            if (!isLineEnd(data[i])) out[o++] = static_cast<char>(data[i++] - 64 - 42);
            continue;
        }
        if (m_lineStart) {
            char c = data[i];
            if (c == '=' || c == '.') {
                if (i + 1 == n) {
                    if (more) return {i, o, Stop::NeedMore};
                } else if (c == '=' && data[i + 1] == 'y') {
                    return {i, o, Stop::KeywordLine};
                } else if (c == '.' && data[i + 1] == '.') {
                    ++i;
                }
            }
            m_lineStart = false;
        }
#if defined(__SSE2__)
        // Sixteen plain bytes at a time while no line end or escape is among them: the
        // bulk of every line, and most of the time a decode takes.
        {
            const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
            const __m128i eq = _mm_set1_epi8('='), k42 = _mm_set1_epi8(42);
            while (i + 16 <= n) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
                const __m128i special =
                    _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)),
                                 _mm_cmpeq_epi8(v, eq));
                // Stored whole, taken up to the first special byte: out has room for all of
                // in, and o never passes i.
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_sub_epi8(v, k42));
                const int mask = _mm_movemask_epi8(special);
                if (mask != 0) {
                    const int plain = __builtin_ctz(static_cast<unsigned>(mask));
                    i += static_cast<size_t>(plain);
                    o += static_cast<size_t>(plain);
                    break;
                }
                i += 16;
                o += 16;
            }
        }
#endif
        // Eight plain bytes at a time: the bulk of every line.
        while (i + 8 <= n) {
            std::uint64_t v;
            std::memcpy(&v, data + i, 8);
            if (hasZeroByte(v ^ ('\n' * Ones)) | hasZeroByte(v ^ ('\r' * Ones)) |
                hasZeroByte(v ^ ('=' * Ones)))
                break;
            v = minus42(v);
            std::memcpy(out + o, &v, 8);
            i += 8;
            o += 8;
        }
        while (i < n && !SpecialBytes[static_cast<unsigned char>(data[i])]) {
            out[o++] = static_cast<char>(data[i++] - 42);
        }
        if (i == n) break;
        char c = data[i++];
        if (c == '=') {
            m_escape = true;
        } else if (c == '\n') {
            m_lineStart = true;
        }
    }
    return {i, o, Stop::Input};
}

std::uint32_t crc32Update(std::uint32_t crc, std::span<const char> data) {
    // zlib takes lengths as uInt: feed large spans in pieces.
    constexpr size_t Piece = 1u << 30;
    const auto* bytes = reinterpret_cast<const Bytef*>(data.data());
    size_t left = data.size();
    while (left > 0) {
        size_t n = left < Piece ? left : Piece;
        crc = static_cast<std::uint32_t>(::crc32(crc, bytes, static_cast<uInt>(n)));
        bytes += n;
        left -= n;
    }
    return crc;
}

std::uint32_t crc32Combine(std::uint32_t a, std::uint32_t b, std::uint64_t lengthOfB) {
    return static_cast<std::uint32_t>(::crc32_combine(a, b, static_cast<z_off_t>(lengthOfB)));
}

}  // namespace qm
