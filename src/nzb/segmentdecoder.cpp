// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/segmentdecoder.h"

#include <array>
#include <span>

#include "decode/uucodec.h"
#include "decode/yenc.h"

namespace qm {
namespace {

// The next line of text from at (its "\r\n" or "\n" cut off); at moves past it.
std::string_view nextLine(std::string_view text, std::size_t& at) {
    // Past the last line (one without its line end leaves at beyond the text).
    if (at >= text.size()) {
        at = text.size();
        return {};
    }
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

void decodeYencData(std::string_view data, DecodedSegment& segment) {
    YencDecoder decoder;
    const std::size_t start = segment.data.size();
    segment.data.resize(start + data.size());
    const auto result = decoder.decode(data, segment.data.data() + start, false);
    segment.data.resize(start + result.produced);
}

}  // namespace

DecodedSegment decodeSegment(std::string_view body) {
    DecodedSegment segment;
    std::size_t at = 0;
    std::optional<YencBegin> begin;
    while (at < body.size() && !begin) {
        const std::string_view line = nextLine(body, at);
        if (line.starts_with("=ybegin ")) begin = parseYencBegin(line);
    }
    if (!begin) {
        segment.data = std::string(body);
        return segment;
    }
    segment.yenc = true;
    segment.name = std::string(begin->name);
    segment.size = begin->size;
    std::uint64_t expected = begin->size;
    std::size_t dataStart = at;
    if (begin->part) {
        std::size_t next = at;
        const std::string_view line = nextLine(body, next);
        const auto part =
            line.starts_with("=ypart ") ? parseYencPart(line, begin->size) : std::nullopt;
        if (!part) {
            segment.crcOk = false;
            segment.problem = "its =ypart line is missing or wrong";
            segment.data.clear();
            return segment;
        }
        segment.offset = part->begin - 1;
        expected = part->end - part->begin + 1;
        dataStart = next;
    }
    // The data runs to the "=yend" line (or to the end of a body cut short).
    std::size_t endLine = body.find("\n=yend", dataStart > 0 ? dataStart - 1 : 0);
    if (dataStart == 0 && body.starts_with("=yend")) endLine = 0;
    const std::size_t dataEnd = endLine == std::string_view::npos ? body.size() : endLine + 1;
    decodeYencData(
        body.substr(std::min(dataStart, dataEnd), dataEnd - std::min(dataStart, dataEnd)), segment);
    std::optional<YencEnd> end;
    if (endLine != std::string_view::npos) {
        std::size_t next = endLine + 1;
        end = parseYencEnd(nextLine(body, next));
    }
    if (segment.data.size() > expected) segment.data.resize(expected);
    const std::uint32_t crc = crc32Update(0, segment.data);
    if (!end) {
        segment.problem = "it has no =yend line";
    } else if (segment.data.size() != expected) {
        segment.problem = "it decodes to " + std::to_string(segment.data.size()) + " bytes, not " +
                          std::to_string(expected);
    } else if (begin->part ? end->partCrc && *end->partCrc != crc : end->crc && *end->crc != crc) {
        segment.problem = "its CRC does not match";
    }
    if (end && begin->part) segment.fileCrc = end->crc;
    segment.crcOk = segment.problem.empty();
    return segment;
}

std::optional<UudecodedFile> uudecodeText(std::string_view text) {
    std::size_t at = 0;
    std::optional<UudecodedFile> file;
    while (at < text.size() && !file) {
        const std::string_view line = nextLine(text, at);
        // "begin 644 name"
        if (line.starts_with("begin ") && line.size() > 10 && line[9] == ' ')
            file = UudecodedFile{std::string(line.substr(10)), {}};
    }
    if (!file) return std::nullopt;
    std::array<char, UuMaxLineBytes> buffer{};
    while (at < text.size()) {
        const std::string_view line = nextLine(text, at);
        if (line == "end") break;
        if (line.empty()) continue;
        const std::size_t n = uuDecodeLine(line, std::span<char, UuMaxLineBytes>(buffer));
        file->data.append(buffer.data(), n);
    }
    return file;
}

}  // namespace qm
