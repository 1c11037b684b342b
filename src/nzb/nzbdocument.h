// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What an NZB file says: the files of a post, each with the articles (segments) it was split
// into, by message-id, and the groups it went to. Plain values; the parser (nzbparser.h)
// makes them from hostile input, the writer (nzbwriter.h) turns them back into XML.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qm {

struct NzbSegment {
    int number = 0;          // 1-based position in the file
    std::int64_t bytes = 0;  // of the article, as the NZB says (0: not given)
    std::string messageId;   // without the angle brackets

    bool operator==(const NzbSegment&) const = default;
};

struct NzbFile {
    std::string poster;
    std::int64_t date = 0;  // seconds since 1970
    std::string subject;
    std::vector<std::string> groups;
    std::vector<NzbSegment> segments;  // by number, each number once
    // Numbers from 1 to the highest listed that the NZB does not list.
    int missingSegments = 0;

    bool operator==(const NzbFile&) const = default;
};

struct NzbDocument {
    std::vector<std::pair<std::string, std::string>> meta;  // <meta type="...">value</meta>
    std::vector<NzbFile> files;

    bool operator==(const NzbDocument&) const = default;
};

}  // namespace qm
