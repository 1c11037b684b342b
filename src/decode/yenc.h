// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// yEnc, the encoding of nearly every binary post today: its keyword lines ("=ybegin",
// "=ypart", "=yend"), a streaming decoder of the data between them, and CRC32.
//
// Pure functions and a small state machine; safe on any thread. Lines come from hostile
// input: numbers are range-checked before anything is sized or placed by them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace qm {

// The largest file size accepted from a header: room for the largest disc images posted, far
// from the offsets where sparse writes would strain a file system.
inline constexpr std::uint64_t MaxYencSize = std::uint64_t{1} << 36;  // 64 GiB

// "=ybegin part= total= line= size= name=": size and name are required; the name runs to the
// end of the line (trailing blanks dropped) and may hold blanks.
struct YencBegin {
    std::optional<int> part;  // only multi-part posts have it
    int total = 0;            // 0 when the line does not say (older encoders)
    std::uint64_t size = 0;
    std::string_view name;
};
// Nothing when a required keyword is missing or a value is out of range: size above
// MaxYencSize, part 0 or above total, total above MaxParts.
std::optional<YencBegin> parseYencBegin(std::string_view line);

// "=ypart begin= end=": 1-based, inclusive, 1 <= begin <= end <= size.
struct YencPart {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};
std::optional<YencPart> parseYencPart(std::string_view line, std::uint64_t size);

// "=yend size= part= pcrc32= crc32=": every keyword optional; values that do not parse are
// left out.
struct YencEnd {
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> partCrc;
    std::optional<std::uint32_t> crc;
};
std::optional<YencEnd> parseYencEnd(std::string_view line);

// The value of "key=" in the keyword text: at its start or after a blank, up to the next
// blank or line end.
std::optional<std::string_view> yencKeyword(std::string_view text, std::string_view key);

// Decodes data lines as they stream in, in spans of any size: line ends are dropped, "=" and
// the next byte are one escaped byte, a line starting with ".." loses its first dot (an
// article saved before its dot-stuffing was undone). Stops in front of a line starting with
// "=y", which ends or interrupts the data.
class YencDecoder {
  public:
    enum class Stop {
        Input,        // all of the input was decoded
        KeywordLine,  // consumed up to a line starting with "=y"
        NeedMore,     // a line starts in the last byte: give that line whole
    };
    struct Result {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        Stop stop = Stop::Input;
    };

    // out must have room for in.size() bytes. more tells whether bytes follow in (else a
    // lone "=" or "." at a line start is taken as it is).
    Result decode(std::string_view in, char* out, bool more);

  private:
    bool m_lineStart = true;
    bool m_escape = false;
};

// CRC32 (the one of zip and yEnc): crc32Update(0, data) for a start.
std::uint32_t crc32Update(std::uint32_t crc, std::span<const char> data);
// The CRC32 of a followed by b, from their CRCs and the length of b.
std::uint32_t crc32Combine(std::uint32_t a, std::uint32_t b, std::uint64_t lengthOfB);

}  // namespace qm
