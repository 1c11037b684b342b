// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/uucodec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QM_UU_SSSE3 1
#endif

namespace qm {
namespace {

constexpr std::array<std::uint8_t, 256> makeValues() {
    std::array<std::uint8_t, 256> values{};
    for (unsigned c = 0; c < 256; ++c) values[c] = static_cast<std::uint8_t>(uuValue(c));
    return values;
}

constexpr std::array<std::uint8_t, 256> Values = makeValues();

inline std::uint32_t value(const char* p) {
    return Values[static_cast<unsigned char>(*p)];
}

inline void putGroup(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                     char* out) {
    std::uint32_t bits = (a << 18) | (b << 12) | (c << 6) | d;
    out[0] = static_cast<char>(bits >> 16);
    out[1] = static_cast<char>(bits >> 8);
    out[2] = static_cast<char>(bits);
}

// The 24 bits of the group of four characters in the low four bytes of word (in memory
// order, little-endian). (c - 32) AND 63 equals (c XOR 32) AND 63, which SWAR can do without
// carries.
inline std::uint64_t bits(std::uint64_t word) {
    std::uint64_t v = (word ^ 0x20202020u) & 0x3f3f3f3fu;
    return ((v & 0x3f) << 18) | (((v >> 8) & 0x3f) << 12) | (((v >> 16) & 0x3f) << 6) |
           ((v >> 24) & 0x3f);
}

#ifdef QM_UU_SSSE3
// Four groups (16 characters, 12 bytes) at a time; stores 16 bytes, the last 4 of which the
// next group or the caller's later bytes overwrite.
__attribute__((target("ssse3"))) void decodeFourGroups(const char* in, char* out) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    v = _mm_and_si128(_mm_xor_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x3f));
    // a * 64 + b and c * 64 + d in 16 bits, then the 24 bits of the group in 32.
    __m128i pairs = _mm_maddubs_epi16(v, _mm_set1_epi32(0x01400140));
    __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    __m128i bytes = _mm_shuffle_epi8(
        groups, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
}

const bool HaveSsse3 = __builtin_cpu_supports("ssse3");
#endif

std::string_view withoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

size_t uuDecodeLine(std::string_view line, std::span<char, UuMaxLineBytes> out) {
    line = withoutLineEnd(line);
    if (line.empty()) return 0;
    const size_t count = uuValue(static_cast<unsigned char>(line[0]));
    const size_t groups = (count + 2) / 3;  // at most 21: 63 bytes fit out exactly
    const char* in = line.data() + 1;
    const size_t available = line.size() - 1;
    char* to = out.data();
    const size_t full = std::min(available / 4, groups);
    size_t g = 0;
#ifdef QM_UU_SSSE3
    // Each step stores 16 bytes: it has to end inside out.
    constexpr size_t SimdLastGroup = (UuMaxLineBytes - 16) / 3;
    if (HaveSsse3 && full >= 4) {
        for (; g + 4 <= full && g <= SimdLastGroup; g += 4, in += 16, to += 12) {
            decodeFourGroups(in, to);
        }
        // The last groups of the line once more with some before them, when that fits.
        if (g < full && full - 4 <= SimdLastGroup) {
            size_t back = g - (full - 4);
            decodeFourGroups(in - 4 * back, to - 3 * back);
            in += 4 * (full - g);
            to += 3 * (full - g);
            g = full;
        }
    }
#endif
    // Two groups at a time while eight bytes may be stored (six of them are the result).
    if constexpr (std::endian::native == std::endian::little) {
        for (; g + 2 <= full && (g + 2) * 3 + 2 <= UuMaxLineBytes; g += 2, in += 8, to += 6) {
            std::uint64_t word;
            std::memcpy(&word, in, 8);
            std::uint64_t pair = (bits(word) << 40) | (bits(word >> 32) << 16);
            pair = __builtin_bswap64(pair);
            std::memcpy(to, &pair, 8);
        }
    }
    for (; g < full; ++g, in += 4, to += 3) {
        putGroup(value(in), value(in + 1), value(in + 2), value(in + 3), to);
    }
    if (full < groups) {
        // A short line: the characters that are there, the missing ones as 0.
        std::uint32_t v[4] = {0, 0, 0, 0};
        size_t left = available - full * 4;
        for (size_t i = 0; i < left && i < 4; ++i) v[i] = value(in + i);
        putGroup(v[0], v[1], v[2], v[3], to);
        to += 3;
        for (size_t k = full + 1; k < groups; ++k, to += 3) putGroup(0, 0, 0, 0, to);
    }
    return count;
}

}  // namespace qm
