// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Saving yEnc posts. A single-part post is decoded straight into a temporary file in
// "news.dat" and named when its "=yend" line arrives. The parts of a multi-part post are
// decoded as they arrive, in any order and across runs, into one file of the set's
// collection directory below the data directory's "tmp", each written at its own offset;
// a list beside it keeps what each part brought. Once every part is there the file moves to
// "news.dat". CRC and size mismatches keep the file and are warned about in the "Log" file.
//
// Runs inside Decoder::decodeArticle with DecodeLock held. Every offset is checked against
// the set's size (itself at most MaxYencSize) before anything is written.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class Decoder;
class PartReader;

// Decodes the post whose "=ybegin" line (as read, perhaps cut at the line limit) is
// beginLine, up to and including its "=yend" line. descriptionPath, when not empty, is a
// description the scanner kept for this post: it goes with the file (or with the set, for a
// part 1). 0 when the post was saved (or its set waits for more parts), 1 on an error.
int saveYencPost(Decoder& decoder, PartReader& reader, std::string_view beginLine,
                 const std::string& descriptionPath);

// What one stored part of a multi-part set brought; one line of the set's list.
struct YencStoredPart {
    enum Flag : unsigned { BadCrc = 1, Truncated = 2, TooLong = 4 };
    int part = 0;
    int total = 0;            // 0 when its header did not say
    std::uint64_t begin = 0;  // 1-based, inclusive
    std::uint64_t end = 0;
    std::uint64_t written = 0;  // bytes decoded into [begin, end]
    std::uint32_t crc = 0;      // of those bytes
    unsigned flags = 0;
    std::optional<std::uint32_t> fileCrc;  // the "crc32=" of its "=yend" line
};

// The list in its text form and back; lines that do not parse (or parts out of range for
// size) are dropped.
std::string formatStoredParts(const std::vector<YencStoredPart>& parts);
std::vector<YencStoredPart> parseStoredParts(std::string_view text, std::uint64_t size);

// The verdict on a set once its parts are in.
struct YencSetCheck {
    bool complete = false;  // every part 1..total there, or (total unknown) size covered
    bool crcFailed = false;
    bool shorter = false;       // bytes missing
    bool inconsistent = false;  // overlapping parts or more bytes than the size
};
YencSetCheck checkYencSet(const std::vector<YencStoredPart>& parts, std::uint64_t size);

}  // namespace qm
