// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The MD5 message digest (RFC 1321), used to check Content-MD5 headers of decoded bodies.
//
// A value type owned by whoever digests; not shared between threads.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

class Md5 {
  public:
    using Digest = std::array<std::uint8_t, 16>;

    Md5() { reset(); }

    void reset();
    void update(std::string_view data);
    // The digest of everything given since the last reset; the object is reset afterwards.
    Digest finish();

    // The digest in the form a Content-MD5 header carries: base64, 24 characters ending "==".
    static std::string toBase64(const Digest& digest);
    // Lower-case hexadecimal, as md5sum prints it.
    static std::string toHex(const Digest& digest);

  private:
    void transform(const unsigned char* blocks, size_t count);

    std::uint32_t m_state[4];
    std::uint64_t m_length = 0;  // bytes digested
    unsigned char m_block[64];
    size_t m_blockUsed = 0;
};

}  // namespace qm
