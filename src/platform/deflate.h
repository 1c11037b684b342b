// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Raw deflate streams (RFC 1951, no zlib header or trailer), as COMPRESS DEFLATE (RFC 8054)
// runs one in each direction of a connection; over zlib. Each object owns its zlib stream and
// is used by one thread.
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct z_stream_s;

namespace qm {

class Deflater {
  public:
    Deflater();
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Compresses input onto the end of out and flushes (Z_SYNC_FLUSH), so that the peer can
    // inflate everything given so far: the end of a command line.
    void compress(std::string_view input, std::string& out);

  private:
    std::unique_ptr<z_stream_s> m_stream;  // ended by the destructor
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
    std::unique_ptr<z_stream_s> m_stream;  // ended by the destructor
};

}  // namespace qm
