// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/compression.h"

#include <stdexcept>

namespace qm::newsd {
namespace {

constexpr int RawDeflate = -15;  // the largest window, no zlib header or trailer

}  // namespace

Deflater::Deflater(int level) {
    if (deflateInit2(&m_stream, level, Z_DEFLATED, RawDeflate, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start a deflate stream");
}

Deflater::~Deflater() {
    deflateEnd(&m_stream);
}

void Deflater::compress(std::string_view input, std::string& out, bool flush) {
    m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_stream.avail_in = static_cast<uInt>(input.size());
    const int mode = flush ? Z_SYNC_FLUSH : Z_NO_FLUSH;
    // deflate() is done when it leaves room unused in its output: input taken, flush written.
    do {
        const std::size_t used = out.size();
        const std::size_t room = deflateBound(&m_stream, m_stream.avail_in) + 64;
        out.resize(used + room);
        m_stream.next_out = reinterpret_cast<Bytef*>(out.data() + used);
        m_stream.avail_out = static_cast<uInt>(room);
        deflate(&m_stream, mode);  // cannot fail with valid arguments and room to write
        out.resize(used + room - m_stream.avail_out);
    } while (m_stream.avail_out == 0 || m_stream.avail_in > 0);
}

Inflater::Inflater() {
    if (inflateInit2(&m_stream, RawDeflate) != Z_OK)
        throw std::runtime_error("cannot start an inflate stream");
}

Inflater::~Inflater() {
    inflateEnd(&m_stream);
}

Inflater::Result Inflater::inflate(std::string_view input, std::span<char> out) {
    m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_stream.avail_in = static_cast<uInt>(input.size());
    m_stream.next_out = reinterpret_cast<Bytef*>(out.data());
    m_stream.avail_out = static_cast<uInt>(out.size());
    const int rc = ::inflate(&m_stream, Z_SYNC_FLUSH);
    Result result;
    result.consumed = input.size() - m_stream.avail_in;
    result.produced = out.size() - m_stream.avail_out;
    result.ended = rc == Z_STREAM_END;
    result.damaged = rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR;
    return result;
}

}  // namespace qm::newsd
