// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/sessionwire.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace qm::newsd {
namespace {

constexpr std::size_t RawReadSize = 16 * 1024;
// Compressed output leaves in pieces of about this size while a reply is being deflated.
constexpr std::size_t CompressedChunk = 64 * 1024;

}  // namespace

bool SessionWire::readLine(std::string& line, bool& tooLong, std::size_t maxLength) {
    line.clear();
    tooLong = false;
    for (;;) {
        if (m_inPos == m_inEnd && !fill()) return false;
        const char* begin = m_in + m_inPos;
        const char* end = m_in + m_inEnd;
        const char* lf = std::find(begin, end, '\n');
        const std::size_t take = std::min<std::size_t>(lf - begin, maxLength - line.size());
        line.append(begin, take);
        if (static_cast<std::size_t>(lf - begin) > take) tooLong = true;
        m_inPos = static_cast<std::size_t>(lf - m_in) + (lf != end ? 1 : 0);
        if (lf != end) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
    }
}

bool SessionWire::fill() {
    m_inPos = m_inEnd = 0;
    for (;;) {
        if (!m_inflater) {
            const ssize_t n = ::recv(m_fd, m_in, sizeof m_in, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            m_inEnd = static_cast<std::size_t>(n);
            return true;
        }
        if (m_rawPos < m_raw.size()) {
            auto r = m_inflater->inflate(std::string_view(m_raw).substr(m_rawPos), m_in);
            m_rawPos += r.consumed;
            if (r.damaged) return false;
            if (r.produced > 0) {
                m_inEnd = r.produced;
                return true;
            }
            if (r.ended) return false;
        }
        // Keep what is not inflated yet (a block cut by the read), bounded: a stream that
        // takes this much without a byte of output is not a client's commands.
        m_raw.erase(0, m_rawPos);
        m_rawPos = 0;
        const std::size_t kept = m_raw.size();
        if (kept > 4 * RawReadSize) return false;
        m_raw.resize(kept + RawReadSize);
        const ssize_t n = ::recv(m_fd, m_raw.data() + kept, RawReadSize, 0);
        if (n < 0 && errno == EINTR) {
            m_raw.resize(kept);
            continue;
        }
        if (n <= 0) return false;
        m_raw.resize(kept + static_cast<std::size_t>(n));
    }
}

void SessionWire::startCompression(int level) {
    m_deflater = std::make_unique<Deflater>(level);
    m_inflater = std::make_unique<Inflater>();
    // Whatever followed the command in the buffer was compressed by the client already.
    m_raw.assign(m_in + m_inPos, m_in + m_inEnd);
    m_rawPos = 0;
    m_inPos = m_inEnd = 0;
}

bool SessionWire::flush(bool endOfReply) {
    if (m_deflater) return sendCompressed({}, endOfReply);
    return sendRaw({});
}

bool SessionWire::send(std::span<const std::string_view> blocks) {
    if (m_deflater) return sendCompressed(blocks, true);
    return sendRaw(blocks);
}

bool SessionWire::sendRaw(std::span<const std::string_view> blocks) {
    std::string_view parts[8];
    std::size_t count = 0;
    parts[count++] = m_out;
    for (std::string_view block : blocks.first(std::min(blocks.size(), std::size(parts) - 1)))
        parts[count++] = block;
    writeBlocks(std::span(parts, count));
    m_out.clear();
    return !m_broken;
}

bool SessionWire::writeBlocks(std::span<const std::string_view> blocks) {
    // Each send takes what the socket accepts, without copying the blocks together.
    iovec parts[8];
    std::size_t count = 0;
    for (std::string_view block : blocks.first(std::min(blocks.size(), std::size(parts))))
        if (!block.empty()) parts[count++] = {const_cast<char*>(block.data()), block.size()};
    iovec* next = parts;
    iovec* const end = parts + count;
    while (!m_broken && next != end) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = static_cast<std::size_t>(end - next);
        const ssize_t n = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_broken = true;
            break;
        }
        auto sent = static_cast<std::size_t>(n);
        while (next != end && sent >= next->iov_len) sent -= (next++)->iov_len;
        if (next != end) {
            next->iov_base = static_cast<char*>(next->iov_base) + sent;
            next->iov_len -= sent;
        }
    }
    return !m_broken;
}

bool SessionWire::sendCompressed(std::span<const std::string_view> blocks, bool endOfReply) {
    // The waiting text and the blocks in pieces, so that a large reply streams out as it is
    // deflated; the last piece flushes the stream when the reply ends here.
    std::string_view parts[8];
    std::size_t count = 0;
    parts[count++] = m_out;
    for (std::string_view block : blocks.first(std::min(blocks.size(), std::size(parts) - 1)))
        parts[count++] = block;
    const bool empty = std::all_of(parts, parts + count, [](auto p) { return p.empty(); });
    // Nothing to send and nothing held back: no flush marker needed.
    if (empty && (!endOfReply || !m_holding)) return !m_broken;
    m_holding = !endOfReply;
    for (std::size_t i = 0; i < count && !m_broken; ++i) {
        for (std::string_view rest = parts[i]; !m_broken;) {
            const std::string_view piece = rest.substr(0, CompressedChunk);
            rest.remove_prefix(piece.size());
            const bool last = i + 1 == count && rest.empty();
            m_deflater->compress(piece, m_zout, last && endOfReply);
            if (m_zout.size() >= CompressedChunk || last) {
                const std::string_view out = m_zout;
                writeBlocks(std::span(&out, 1));
                m_zout.clear();
            }
            if (rest.empty()) break;
        }
    }
    m_out.clear();
    return !m_broken;
}

}  // namespace qm::newsd
