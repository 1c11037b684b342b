// SPDX-License-Identifier: GPL-3.0-or-later
// The compression half of TcpStream (RFC 8054): after COMPRESS DEFLATE, a raw deflate stream
// in each direction between the line reader and writer above and TCP or TLS below.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "platform/socketcompression.h"

namespace qm {

void TcpStream::startCompression() {
    auto compression = std::make_unique<Compression>();
    // What was received beyond the reply that started compression is compressed already.
    const std::size_t left = m_inEnd - m_inPos;
    std::copy(m_in.get() + m_inPos, m_in.get() + m_inEnd, compression->raw.get());
    compression->rawEnd = left;
    compression->skipLf = m_skipLf;
    m_skipLf = false;
    m_afterFullLine = false;
    m_inPos = m_inEnd = 0;
    m_compression = std::move(compression);
}

bool TcpStream::fillInflated() {
    Compression& c = *m_compression;
    for (;;) {
        if (c.ended) return false;
        if (c.skipLf && c.rawPos < c.rawEnd) {
            if (c.raw[c.rawPos] == '\n') ++c.rawPos;
            c.skipLf = false;
        }
        if (c.rawPos < c.rawEnd) {
            const Inflater::Result r =
                c.in.inflate(std::string_view(c.raw.get() + c.rawPos, c.rawEnd - c.rawPos),
                             std::span<char>(m_in.get(), ReceiveSize));
            c.rawPos += r.consumed;
            if (r.damaged || (r.consumed == 0 && r.produced == 0))
                fail(EBADMSG, "inflating what was received from");
            c.ended = r.ended;
            if (r.produced > 0) {
                m_inPos = 0;
                m_inEnd = r.produced;
                return true;
            }
            if (c.rawPos < c.rawEnd) continue;
        }
        const std::size_t n = receive(c.raw.get(), ReceiveSize);
        if (n == 0) return false;
        c.rawPos = 0;
        c.rawEnd = n;
    }
}

void TcpStream::sendCompressed(std::string_view data) {
    if (data.empty()) return;
    Compression& c = *m_compression;
    c.sendBuffer.clear();
    c.out.compress(data, c.sendBuffer);
    sendAll(c.sendBuffer.data(), c.sendBuffer.size());
}

}  // namespace qm
