// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Reads NZB files (XML) with expat, treating them as hostile: entity declarations are refused
// (no entity expansion, so no "billion laughs"), external entities and DTDs are never read,
// sizes and counts are bounded, message-ids that could not be sent safely as a command
// argument are dropped, segments are sorted and their duplicates dropped.
//
// Plain functions; safe on any thread.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "nzb/nzbdocument.h"

namespace qm {

// Past these an NZB is refused: a post of 64 GiB in 750 KB articles fits in them.
inline constexpr std::size_t MaxNzbBytes = 64 * 1024 * 1024;
inline constexpr std::size_t MaxNzbSegments = 200000;
inline constexpr std::size_t MaxNzbFiles = 50000;

struct NzbParse {
    NzbDocument document;
    std::string error;  // why the NZB cannot be used; empty when it can
    // What was dropped or is odd but did not stop the NZB, one line each.
    std::vector<std::string> notes;

    bool ok() const { return error.empty(); }
};

// Parses text; an NZB without a file with segments is an error too.
NzbParse parseNzb(std::string_view text);
// Reads and parses the file at path; a file past MaxNzbBytes is refused before it is read.
NzbParse readNzbFile(const std::string& path);

// The file name a subject names: the text between its first pair of double quotes, else the
// first word with a dot that is not at its end; empty when none. Not made safe yet.
std::string nzbFileName(std::string_view subject);

// Whether id (without angle brackets) can be sent as "<id>": printable ASCII without blanks or
// angle brackets, at most 250 bytes.
bool isSafeMessageId(std::string_view id);

}  // namespace qm
