// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/deflate.h"

#include <zlib.h>

#include <memory>
#include <stdexcept>

namespace qm {
namespace {

constexpr int RawDeflate = -15;  // the largest window, no zlib header or trailer
// This side sends only command lines: the fastest level compresses them as well as any.
constexpr int Level = 1;

}  // namespace

Deflater::Deflater() : m_stream(std::make_unique<z_stream>()) {
    if (deflateInit2(m_stream.get(), Level, Z_DEFLATED, RawDeflate, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start a deflate stream");
}

Deflater::~Deflater() {
    deflateEnd(m_stream.get());
}

void Deflater::compress(std::string_view input, std::string& out) {
    m_stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_stream->avail_in = static_cast<uInt>(input.size());
    // deflate() is done when it leaves room unused in its output: input taken, flush written.
    do {
        const std::size_t used = out.size();
        const std::size_t room = deflateBound(m_stream.get(), m_stream->avail_in) + 64;
        out.resize(used + room);
        m_stream->next_out = reinterpret_cast<Bytef*>(out.data() + used);
        m_stream->avail_out = static_cast<uInt>(room);
        deflate(m_stream.get(),
                Z_SYNC_FLUSH);  // cannot fail with valid arguments and room to write
        out.resize(used + room - m_stream->avail_out);
    } while (m_stream->avail_out == 0 || m_stream->avail_in > 0);
}

Inflater::Inflater() : m_stream(std::make_unique<z_stream>()) {
    if (inflateInit2(m_stream.get(), RawDeflate) != Z_OK)
        throw std::runtime_error("cannot start an inflate stream");
}

Inflater::~Inflater() {
    inflateEnd(m_stream.get());
}

Inflater::Result Inflater::inflate(std::string_view input, std::span<char> out) {
    m_stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_stream->avail_in = static_cast<uInt>(input.size());
    m_stream->next_out = reinterpret_cast<Bytef*>(out.data());
    m_stream->avail_out = static_cast<uInt>(out.size());
    const int rc = ::inflate(m_stream.get(), Z_SYNC_FLUSH);
    Result result;
    result.consumed = input.size() - m_stream->avail_in;
    result.produced = out.size() - m_stream->avail_out;
    result.ended = rc == Z_STREAM_END;
    result.damaged = rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR;
    return result;
}

}  // namespace qm
