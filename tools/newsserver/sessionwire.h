// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The bytes of one session of the fixture news server: a bounded command-line reader and a
// buffered reply writer on the connection's descriptor, which inflate and deflate both ways
// once COMPRESS DEFLATE is active (RFC 8054).
//
// Owned by its NewsSession, on the session's thread; the descriptor belongs to the server,
// which may shut it down from another thread to end the session.
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "newsserver/compression.h"

namespace qm::newsd {

class SessionWire {
  public:
    explicit SessionWire(int fd) : m_fd(fd) {}

    // The next command line without its line end, at most maxLength bytes of it (tooLong
    // tells that more was dropped); false at the end of the stream, on a failure or on
    // compressed input that does not inflate.
    bool readLine(std::string& line, bool& tooLong, std::size_t maxLength);

    // Reply text waits in a buffer until flush() or send().
    void append(std::string_view text) { m_out.append(text); }
    void append(char c) { m_out.push_back(c); }
    std::size_t pending() const { return m_out.size(); }
    // Sends what waits. endOfReply: the client can read all of it now (with compression, a
    // flush of the deflate stream); otherwise a compressor may keep some back.
    bool flush(bool endOfReply = true);
    // What waits, then the blocks: the end of a reply. Uncompressed, the blocks leave without
    // being copied.
    bool send(std::span<const std::string_view> blocks);

    // From now on both directions are deflated. Call right after the reply that announces it
    // has been flushed; bytes the client sent after its command are taken as compressed.
    void startCompression(int level);
    bool compressing() const { return m_deflater != nullptr; }
    // A send failed: the client is gone or the server stops.
    bool broken() const { return m_broken; }

  private:
    // Fills m_in with at least one more byte of (inflated) input.
    bool fill();
    bool sendRaw(std::span<const std::string_view> blocks);
    bool writeBlocks(std::span<const std::string_view> blocks);
    bool sendCompressed(std::span<const std::string_view> blocks, bool endOfReply);

    int m_fd;
    char m_in[4096];
    std::size_t m_inPos = 0;
    std::size_t m_inEnd = 0;
    std::string m_out;
    bool m_broken = false;

    std::unique_ptr<Deflater> m_deflater;
    std::unique_ptr<Inflater> m_inflater;
    std::string m_raw;  // compressed input not inflated yet
    std::size_t m_rawPos = 0;
    std::string m_zout;      // compressed output, reused
    bool m_holding = false;  // the compressor may hold back output not flushed yet
};

}  // namespace qm::newsd
