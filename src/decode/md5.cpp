// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/md5.h"

#include <algorithm>
#include <cstring>

namespace qm {

namespace {

inline std::uint32_t rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline std::uint32_t loadLe(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// The four auxiliary functions in the forms that compile to the fewest instructions.
inline std::uint32_t fF(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline std::uint32_t fG(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (z & (x ^ y));
}
inline std::uint32_t fH(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
inline std::uint32_t fI(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

#define QM_MD5_STEP(f, a, b, c, d, x, t, s) \
    a += f(b, c, d) + (x) + (t);            \
    a = rotl(a, s) + b;

}  // namespace

void Md5::reset() {
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
    m_length = 0;
    m_blockUsed = 0;
}

void Md5::update(std::string_view data) {
    auto p = reinterpret_cast<const unsigned char*>(data.data());
    size_t n = data.size();
    m_length += n;
    if (m_blockUsed > 0) {
        size_t take = std::min(n, sizeof m_block - m_blockUsed);
        std::memcpy(m_block + m_blockUsed, p, take);
        m_blockUsed += take;
        p += take;
        n -= take;
        if (m_blockUsed < sizeof m_block) return;
        transform(m_block, 1);
        m_blockUsed = 0;
    }
    if (n >= 64) {
        transform(p, n / 64);
        p += n / 64 * 64;
        n %= 64;
    }
    std::memcpy(m_block, p, n);
    m_blockUsed = n;
}

Md5::Digest Md5::finish() {
    std::uint64_t bits = m_length * 8;
    unsigned char pad[72] = {0x80};
    size_t padLength = (m_blockUsed < 56 ? 56 : 120) - m_blockUsed;
    for (int i = 0; i < 8; ++i) pad[padLength + i] = static_cast<unsigned char>(bits >> (8 * i));
    update(std::string_view(reinterpret_cast<const char*>(pad), padLength + 8));
    Digest digest;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<std::uint8_t>(m_state[i] >> (8 * j));
    reset();
    return digest;
}

void Md5::transform(const unsigned char* blocks, size_t count) {
    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = loadLe(blocks + 4 * i);
        const std::uint32_t sa = a, sb = b, sc = c, sd = d;

        QM_MD5_STEP(fF, a, b, c, d, x[0], 0xd76aa478, 7)
        QM_MD5_STEP(fF, d, a, b, c, x[1], 0xe8c7b756, 12)
        QM_MD5_STEP(fF, c, d, a, b, x[2], 0x242070db, 17)
        QM_MD5_STEP(fF, b, c, d, a, x[3], 0xc1bdceee, 22)
        QM_MD5_STEP(fF, a, b, c, d, x[4], 0xf57c0faf, 7)
        QM_MD5_STEP(fF, d, a, b, c, x[5], 0x4787c62a, 12)
        QM_MD5_STEP(fF, c, d, a, b, x[6], 0xa8304613, 17)
        QM_MD5_STEP(fF, b, c, d, a, x[7], 0xfd469501, 22)
        QM_MD5_STEP(fF, a, b, c, d, x[8], 0x698098d8, 7)
        QM_MD5_STEP(fF, d, a, b, c, x[9], 0x8b44f7af, 12)
        QM_MD5_STEP(fF, c, d, a, b, x[10], 0xffff5bb1, 17)
        QM_MD5_STEP(fF, b, c, d, a, x[11], 0x895cd7be, 22)
        QM_MD5_STEP(fF, a, b, c, d, x[12], 0x6b901122, 7)
        QM_MD5_STEP(fF, d, a, b, c, x[13], 0xfd987193, 12)
        QM_MD5_STEP(fF, c, d, a, b, x[14], 0xa679438e, 17)
        QM_MD5_STEP(fF, b, c, d, a, x[15], 0x49b40821, 22)

        QM_MD5_STEP(fG, a, b, c, d, x[1], 0xf61e2562, 5)
        QM_MD5_STEP(fG, d, a, b, c, x[6], 0xc040b340, 9)
        QM_MD5_STEP(fG, c, d, a, b, x[11], 0x265e5a51, 14)
        QM_MD5_STEP(fG, b, c, d, a, x[0], 0xe9b6c7aa, 20)
        QM_MD5_STEP(fG, a, b, c, d, x[5], 0xd62f105d, 5)
        QM_MD5_STEP(fG, d, a, b, c, x[10], 0x02441453, 9)
        QM_MD5_STEP(fG, c, d, a, b, x[15], 0xd8a1e681, 14)
        QM_MD5_STEP(fG, b, c, d, a, x[4], 0xe7d3fbc8, 20)
        QM_MD5_STEP(fG, a, b, c, d, x[9], 0x21e1cde6, 5)
        QM_MD5_STEP(fG, d, a, b, c, x[14], 0xc33707d6, 9)
        QM_MD5_STEP(fG, c, d, a, b, x[3], 0xf4d50d87, 14)
        QM_MD5_STEP(fG, b, c, d, a, x[8], 0x455a14ed, 20)
        QM_MD5_STEP(fG, a, b, c, d, x[13], 0xa9e3e905, 5)
        QM_MD5_STEP(fG, d, a, b, c, x[2], 0xfcefa3f8, 9)
        QM_MD5_STEP(fG, c, d, a, b, x[7], 0x676f02d9, 14)
        QM_MD5_STEP(fG, b, c, d, a, x[12], 0x8d2a4c8a, 20)

        QM_MD5_STEP(fH, a, b, c, d, x[5], 0xfffa3942, 4)
        QM_MD5_STEP(fH, d, a, b, c, x[8], 0x8771f681, 11)
        QM_MD5_STEP(fH, c, d, a, b, x[11], 0x6d9d6122, 16)
        QM_MD5_STEP(fH, b, c, d, a, x[14], 0xfde5380c, 23)
        QM_MD5_STEP(fH, a, b, c, d, x[1], 0xa4beea44, 4)
        QM_MD5_STEP(fH, d, a, b, c, x[4], 0x4bdecfa9, 11)
        QM_MD5_STEP(fH, c, d, a, b, x[7], 0xf6bb4b60, 16)
        QM_MD5_STEP(fH, b, c, d, a, x[10], 0xbebfbc70, 23)
        QM_MD5_STEP(fH, a, b, c, d, x[13], 0x289b7ec6, 4)
        QM_MD5_STEP(fH, d, a, b, c, x[0], 0xeaa127fa, 11)
        QM_MD5_STEP(fH, c, d, a, b, x[3], 0xd4ef3085, 16)
        QM_MD5_STEP(fH, b, c, d, a, x[6], 0x04881d05, 23)
        QM_MD5_STEP(fH, a, b, c, d, x[9], 0xd9d4d039, 4)
        QM_MD5_STEP(fH, d, a, b, c, x[12], 0xe6db99e5, 11)
        QM_MD5_STEP(fH, c, d, a, b, x[15], 0x1fa27cf8, 16)
        QM_MD5_STEP(fH, b, c, d, a, x[2], 0xc4ac5665, 23)

        QM_MD5_STEP(fI, a, b, c, d, x[0], 0xf4292244, 6)
        QM_MD5_STEP(fI, d, a, b, c, x[7], 0x432aff97, 10)
        QM_MD5_STEP(fI, c, d, a, b, x[14], 0xab9423a7, 15)
        QM_MD5_STEP(fI, b, c, d, a, x[5], 0xfc93a039, 21)
        QM_MD5_STEP(fI, a, b, c, d, x[12], 0x655b59c3, 6)
        QM_MD5_STEP(fI, d, a, b, c, x[3], 0x8f0ccc92, 10)
        QM_MD5_STEP(fI, c, d, a, b, x[10], 0xffeff47d, 15)
        QM_MD5_STEP(fI, b, c, d, a, x[1], 0x85845dd1, 21)
        QM_MD5_STEP(fI, a, b, c, d, x[8], 0x6fa87e4f, 6)
        QM_MD5_STEP(fI, d, a, b, c, x[15], 0xfe2ce6e0, 10)
        QM_MD5_STEP(fI, c, d, a, b, x[6], 0xa3014314, 15)
        QM_MD5_STEP(fI, b, c, d, a, x[13], 0x4e0811a1, 21)
        QM_MD5_STEP(fI, a, b, c, d, x[4], 0xf7537e82, 6)
        QM_MD5_STEP(fI, d, a, b, c, x[11], 0xbd3af235, 10)
        QM_MD5_STEP(fI, c, d, a, b, x[2], 0x2ad7d2bb, 15)
        QM_MD5_STEP(fI, b, c, d, a, x[9], 0xeb86d391, 21)

        a += sa;
        b += sb;
        c += sc;
        d += sd;
    }
    m_state[0] = a;
    m_state[1] = b;
    m_state[2] = c;
    m_state[3] = d;
}

#undef QM_MD5_STEP

std::string Md5::toBase64(const Digest& digest) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(24);
    for (size_t i = 0; i < digest.size(); i += 3) {
        std::uint32_t v = std::uint32_t(digest[i]) << 16;
        if (i + 1 < digest.size()) v |= std::uint32_t(digest[i + 1]) << 8;
        if (i + 2 < digest.size()) v |= digest[i + 2];
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < digest.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < digest.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

std::string Md5::toHex(const Digest& digest) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (auto byte : digest) {
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

}  // namespace qm
