// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Raw deflate streams (RFC 1951, no zlib header) as COMPRESS DEFLATE (RFC 8054) uses them in
// both directions, over zlib. Each object owns its zlib stream; one thread uses it.
#include <zlib.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace qm::newsd {

class Deflater {
  public:
    // level: zlib's 0-9, or Z_DEFAULT_COMPRESSION.
    explicit Deflater(int level = Z_DEFAULT_COMPRESSION);
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Compresses input onto the end of out. With flush, everything given so far can be
    // inflated from out on its own (Z_SYNC_FLUSH): the end of a reply or a command.
    void compress(std::string_view input, std::string& out, bool flush);

  private:
    z_stream m_stream{};
};

class Inflater {
  public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    struct Result {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        bool ended = false;    // the peer ended its stream
        bool damaged = false;  // not a deflate stream: the connection cannot go on
    };
    // Inflates from input into out, as much as fits.
    Result inflate(std::string_view input, std::span<char> out);

  private:
    z_stream m_stream{};
};

}  // namespace qm::newsd
