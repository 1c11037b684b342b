// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The line and character reader that every decoding step reads from: a buffered reader over
// an open file that stops at MIME boundaries. A body part ends where a line end ("\n", or
// "\r\n" whose CR is then part of the delimiter too) is followed by "--" and one of the
// boundaries in force; reading then returns End until readBoundary() moves past the
// delimiter. The end of the file ends every enclosing body part.
//
// Owned by whoever opened the article (Decoder::decodeArticle, the partial-message
// assembly); used by one thread at a time, with DecodeLock held. Input is hostile: lines of
// any length, any bytes, any nesting. Memory stays bounded: the read buffer has a fixed size
// (grown only by pushBack), at most MaxBoundaries boundaries are kept (deeper ones count
// for depth() but never match), and the buffer is reused by the next reader of the thread.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace qm {

class PartReader {
  public:
    static constexpr int End = -1;
    static constexpr size_t MaxBoundaryLength = 70;
    static constexpr size_t MaxBoundaries = 256;

    explicit PartReader(FilePtr file);
    ~PartReader();
    PartReader(const PartReader&) = delete;
    PartReader& operator=(const PartReader&) = delete;

    // The next byte (0..255), or End at a boundary, or at the end of the file (which ends
    // every enclosing multipart too).
    int nextChar() {
        if (m_position < m_safeEnd) return static_cast<unsigned char>(m_buffer[m_position++]);
        return slowNextChar();
    }

    // Reads bytes up to and including a line end ("\n"), at most maxBytes - 1 bytes, into
    // line (replacing its content). False when no byte could be read.
    bool readLine(std::string& line, size_t maxBytes);

    // The unread bytes that surely belong to the current body part: never empty before End,
    // empty at End. Valid until the next call of any other member; consume() what was used.
    std::string_view peek();
    void consume(size_t count) { m_position += count; }

    // Places text in front of the unread bytes.
    void pushBack(std::string_view text);

    // Adds a boundary (up to 70 characters of text).
    void addBoundary(std::string_view text);

    // After a body part ended: 1 when the multipart is finished, 0 when another part follows.
    int readBoundary();

    // Reads and drops bytes until End.
    void ignoreRest();

    int depth() const { return m_depth; }
    // True when the current body part ended at a boundary or at the end of the file.
    bool atEnd();
    // True when reading the file failed (as opposed to reaching its end).
    bool readFailed() const { return m_readError; }

    // How deeply decoding steps are nested over this input (messages in messages, multiparts,
    // text handed back to the MIME decoder); kept here so that every step that recurses
    // shares one bound.
    int nesting() const { return m_nesting; }
    void setNesting(int nesting) { m_nesting = nesting; }

  private:
    int slowNextChar();
    // Makes m_safeEnd > m_position, reading more as needed. False at End (m_hit is set when
    // a boundary was found).
    bool extendSafe();
    // Scans the buffered bytes from m_position; sets m_safeEnd or m_hit. False when more
    // bytes are needed to decide.
    bool scan();
    // Compares the bytes after the line end at lineEnd with the boundaries; the index of the
    // first that matches, -1 for none, -2 when more bytes are needed.
    int matchDelimiter(size_t lineEnd) const;
    // Moves the unread bytes to the front and reads more. False when nothing more came.
    bool fill();
    void popBoundary();
    void skipDelimiterLine();

    FilePtr m_file;
    std::vector<char> m_buffer;
    size_t m_position = 0;  // next unread byte
    size_t m_end = 0;       // one past the last buffered byte
    size_t m_safeEnd = 0;   // bytes before this belong to the current part for sure
    bool m_eof = false;
    bool m_readError = false;
    std::vector<std::string> m_boundaries;  // outermost first; at most MaxBoundaries
    int m_depth = 0;
    int m_hit = -1;  // index of the boundary that ended the current part, -1 for none
    int m_nesting = 0;
};

}  // namespace qm
