#pragma once
// The line and character reader that every decoding step reads from: a buffered reader over
// an open file that stops at MIME boundaries. A body part ends where a line end is followed
// by "--" and one of the boundaries in force; reading then returns End until readBoundary()
// moves past the delimiter.
//
// Input is hostile: lines of any length, any bytes, any nesting. Memory stays bounded (at
// most a fixed number of boundaries is kept; deeper ones are ignored).
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

    explicit PartReader(FilePtr file);
    PartReader(const PartReader&) = delete;
    PartReader& operator=(const PartReader&) = delete;

    // The next byte (0..255), or End at a boundary, or at the end of the file (which ends
    // every enclosing multipart too).
    int nextChar();

    // Reads bytes up to and including a line end ("\n"), at most maxBytes - 1 bytes, into
    // line (replacing its content). False when no byte could be read.
    bool readLine(std::string& line, size_t maxBytes);

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
    bool atEnd() const;

private:
    // Implementation state: the owner of this file chooses the buffer layout.
    bool fill(size_t wanted);
    bool checkBoundary();

    FilePtr m_file;
    std::vector<char> m_buffer;
    size_t m_position = 0;
    size_t m_available = 0;
    bool m_eof = false;
    std::vector<std::string> m_boundaries;
    int m_depth = 0;
    int m_hit = 0;
};

}  // namespace qm
