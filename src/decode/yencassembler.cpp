// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/yencassembler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "decode/decoder.h"
#include "decode/outputnames.h"
#include "decode/partassembler.h"
#include "decode/partreader.h"
#include "decode/yenc.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr size_t LineLimit = 1024;  // keyword lines are read as into a 1024-byte buffer
constexpr size_t ChunkSize = 1 << 20;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsLine(std::string_view line) {
    return !line.empty() && line.back() == '\n';
}

// Drops what is left of a line that was cut at the line limit.
void skipRestOfLine(PartReader& reader, std::string& line) {
    while (!endsLine(line) && reader.readLine(line, LineLimit)) {
    }
}

bool writeAt(int fd, const char* data, size_t size, std::uint64_t offset) {
    while (size > 0) {
        ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;  // nothing written, and no error said why
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

struct BodyOutcome {
    std::uint64_t decoded = 0;
    std::uint64_t written = 0;  // at most the room given
    std::uint32_t crc = 0;      // of the bytes written
    bool writeFailed = false;
    std::optional<YencEnd> end;  // nothing when the data was cut before its "=yend" line
};

// Decodes data lines into fd at offset, at most room bytes, up to the "=yend" line.
class BodyDecoder {
  public:
    BodyDecoder(Decoder& decoder, int fd, std::uint64_t offset, std::uint64_t room,
                const std::string& path)
        : m_decoder(decoder),
          m_buffer(decoder.outputBuffer()),
          m_fd(fd),
          m_offset(offset),
          m_room(room),
          m_path(path) {
        if (m_buffer.size() < ChunkSize) m_buffer.resize(ChunkSize);
    }

    BodyOutcome run(PartReader& reader) {
        std::string line;
        for (;;) {
            std::string_view in = reader.peek();
            if (in.empty()) return m_outcome;
            in = in.substr(0, m_buffer.size());
            YencDecoder::Result result = m_yenc.decode(in, m_buffer.data(), true);
            reader.consume(result.consumed);
            emit(result.produced);
            if (result.stop == YencDecoder::Stop::Input) continue;
            if (!reader.readLine(line, LineLimit)) return m_outcome;
            if (!startsWith(line, "=y")) {
                // A line that starts at the end of the buffered bytes: decoded on its own.
                emit(m_yenc.decode(line, m_buffer.data(), false).produced);
                continue;
            }
            if (startsWith(line, "=ybegin ")) {
                reader.pushBack(line);  // the next post starts: this one was cut
                return m_outcome;
            }
            std::optional<YencEnd> end = parseYencEnd(line);
            skipRestOfLine(reader, line);
            if (end) {
                m_outcome.end = end;
                return m_outcome;
            }
            // Other keyword lines (a repeated "=ypart") carry no data.
        }
    }

  private:
    void emit(size_t produced) {
        m_outcome.decoded += produced;
        std::uint64_t left = m_room - m_outcome.written;
        size_t take = produced < left ? produced : static_cast<size_t>(left);
        if (take == 0) return;
        m_outcome.crc = crc32Update(m_outcome.crc, std::span<const char>(m_buffer.data(), take));
        if (!m_outcome.writeFailed &&
            !writeAt(m_fd, m_buffer.data(), take, m_offset + m_outcome.written)) {
            m_outcome.writeFailed = true;
            m_decoder.outputFailed(m_path);
        }
        m_outcome.written += take;
    }

    Decoder& m_decoder;
    std::vector<char>& m_buffer;
    int m_fd;
    std::uint64_t m_offset;
    std::uint64_t m_room;
    const std::string& m_path;
    YencDecoder m_yenc;
    BodyOutcome m_outcome;
};

// The flags of a part (or a single post) from what its data and "=yend" line say.
unsigned flagsOf(const BodyOutcome& body, std::uint64_t length,
                 const std::optional<std::uint32_t>& crc) {
    unsigned flags = 0;
    if (!body.end || body.written < length) flags |= YencStoredPart::Truncated;
    if (body.decoded > length || (body.end && body.end->size && *body.end->size != length))
        flags |= YencStoredPart::TooLong;
    if (crc && body.written == length && *crc != body.crc) flags |= YencStoredPart::BadCrc;
    return flags;
}

void warnAbout(Decoder& decoder, const std::string& path, const YencSetCheck& check) {
    if (check.shorter) decoder.warning(path + " is shorter than its size");
    if (check.inconsistent) decoder.warning(path + " does not add up to its size");
    if (check.crcFailed) decoder.warning(path + " failed its CRC check");
}

// Moves a description file ("<dir>/0"); its folder goes when nothing else is left in it.
void moveDescription(Decoder& decoder, const std::string& from, const std::string& to) {
    if (from.empty() || !fileExists(from)) return;
    if (std::rename(from.c_str(), to.c_str()) != 0) decoder.errorOutput(to);
    decoder.removePartDirectory(from.substr(0, from.rfind('/') + 1));
}

// A kept description becomes the pending description of the next output file.
void takeDescription(Decoder& decoder, const std::string& description) {
    if (description.empty()) return;
    decoder.takeSetDescription(description);
    decoder.removePartDirectory(description.substr(0, description.rfind('/') + 1));
}

// After a set could not be published: its description goes back to it, which stays.
void returnDescription(Decoder& decoder, const std::string& description) {
    const std::string pending = decoder.pendingDescriptionPath();
    if (fileExists(description))
        std::remove(pending.c_str());  // the set kept its own
    else
        std::rename(pending.c_str(), description.c_str());
}

// Hands a finished file to the article's commit under its place in "news.dat": from itself
// when it is hidden there already, else a second name for it (a set's data, which stays in
// the set until the commit). False (an output failure) on an error.
bool publish(Decoder& decoder, const std::string& from, std::string_view name, bool hidden) {
    std::string_view type = contentTypeForName(name);
    std::optional<std::string> path = decoder.outputPath(name, type);
    if (!path) return false;
    std::optional<std::string> staged = hidden ? from : decoder.stageFile(from, *path);
    if (!staged) return false;
    decoder.keepOutput(*staged, *path, type);
    return true;
}

int saveSingle(Decoder& decoder, PartReader& reader, const YencBegin& begin,
               const std::string& descriptionPath) {
    std::optional<std::string> news = decoder.newsDirectory();
    if (!news) {
        reader.ignoreRest();
        return 1;
    }
    std::string temporary = joinPath(*news, TemporaryOutputPrefix + std::string("XXXXXX"));
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) {
        decoder.outputFailed(temporary);
        reader.ignoreRest();
        return 1;
    }
    ::fchmod(fd.get(), 0644);  // as a file the user saves, not mkostemp's 0600
    // Errors name the file that was wanted, not the hidden one.
    std::string safe = safeOutputName(begin.name);
    const std::string wanted = joinPath(*news, safe.empty() ? std::string("part") : safe);
    BodyOutcome body = BodyDecoder(decoder, fd.get(), 0, begin.size, wanted).run(reader);
    if (::close(fd.release()) != 0 && !body.writeFailed) {
        decoder.outputFailed(wanted);
        body.writeFailed = true;
    }
    if (body.writeFailed) {
        std::remove(temporary.c_str());
        return 1;
    }
    // A single post carries "crc32=", or as a part 1 of 1 only "pcrc32=".
    std::optional<std::uint32_t> crc;
    if (body.end) crc = body.end->crc.has_value() ? body.end->crc : body.end->partCrc;
    unsigned flags = flagsOf(body, begin.size, crc);
    takeDescription(decoder, descriptionPath);
    if (!publish(decoder, temporary, begin.name, true)) {
        std::remove(temporary.c_str());
        // The description comes again with the article.
        std::remove(decoder.pendingDescriptionPath().c_str());
        return 1;
    }
    YencSetCheck check;
    check.shorter = (flags & YencStoredPart::Truncated) != 0;
    check.inconsistent = (flags & YencStoredPart::TooLong) != 0;
    check.crcFailed = (flags & YencStoredPart::BadCrc) != 0;
    warnAbout(decoder, decoder.lastOutputPath(), check);
    return 0;
}

// Adds (or replaces) part in the set's list; false when it cannot be written.
bool recordPart(Decoder& decoder, const std::string& listPath, std::uint64_t size,
                const YencStoredPart& part, std::vector<YencStoredPart>& parts) {
    parts = parseStoredParts(readWholeFile(listPath).value_or(""), size);
    auto same = [&](const YencStoredPart& p) { return p.part == part.part; };
    parts.erase(std::remove_if(parts.begin(), parts.end(), same), parts.end());
    parts.push_back(part);
    if (!writeFileAtomic(listPath, formatStoredParts(parts))) {
        decoder.outputFailed(listPath);
        return false;
    }
    return true;
}

int saveMultiPart(Decoder& decoder, PartReader& reader, const YencBegin& begin,
                  const YencPart& range, const std::string& descriptionPath) {
    std::string text = "Saving part " + std::to_string(*begin.part) + " ";
    if (begin.total != 0) text += "of " + std::to_string(begin.total) + " ";
    text.append(begin.name);
    decoder.information(text);
    // The size keeps apart different files posted under one name.
    std::optional<std::string> dir =
        decoder.partDirectory("yenc-" + std::to_string(begin.size) + "-" + std::string(begin.name));
    if (!dir) {
        reader.ignoreRest();
        return 1;
    }
    std::string setDescription = *dir + "0";
    if (*begin.part == 1 && !fileExists(setDescription)) {
        moveDescription(decoder, descriptionPath, setDescription);
    }
    std::string dataPath = *dir + "data";
    UniqueFd fd(::open(dataPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        decoder.outputFailed(dataPath);
        reader.ignoreRest();
        return 1;
    }
    std::uint64_t length = range.end - range.begin + 1;
    BodyOutcome body =
        BodyDecoder(decoder, fd.get(), range.begin - 1, length, dataPath).run(reader);
    if (::close(fd.release()) != 0 && !body.writeFailed) {
        decoder.outputFailed(dataPath);
        body.writeFailed = true;
    }
    // Not recorded in the list: the part counts as missing until it is decoded again.
    if (body.writeFailed) return 1;

    YencStoredPart stored;
    stored.part = *begin.part;
    stored.total = begin.total;
    stored.begin = range.begin;
    stored.end = range.end;
    stored.written = body.written;
    stored.crc = body.crc;
    stored.flags = flagsOf(body, length, body.end ? body.end->partCrc : std::nullopt);
    stored.fileCrc = body.end ? body.end->crc : std::nullopt;
    std::vector<YencStoredPart> parts;
    std::string listPath = *dir + "parts";
    if (!recordPart(decoder, listPath, begin.size, stored, parts)) return 1;
    decoder.notePart(*dir, *begin.part);
    YencSetCheck check = checkYencSet(parts, begin.size);
    if (!check.complete) return 0;  // waits for the other parts

    takeDescription(decoder, setDescription);
    const std::size_t first = decoder.outputCount();
    if (!publish(decoder, dataPath, begin.name, false)) {
        // The set stays whole, its description with it, for the next try.
        returnDescription(decoder, setDescription);
        return 1;
    }
    warnAbout(decoder, decoder.lastOutputPath(), check);
    decoder.takeParts(*dir, 0, first);
    decoder.removeAtCommit(dataPath);
    decoder.removeAtCommit(listPath);
    decoder.removePartDirectory(*dir);
    if (parts.size() > 1) decoder.countAssembled();
    return 0;
}

// The fields of a list line, split at blanks.
std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    while (!line.empty() && out.size() < 9) {
        size_t blank = line.find(' ');
        std::string_view field = line.substr(0, blank);
        if (!field.empty()) out.push_back(field);
        if (blank == std::string_view::npos) break;
        line.remove_prefix(blank + 1);
    }
    return out;
}

std::optional<std::uint64_t> decimal(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.size() > 19) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::optional<std::uint32_t> hex(std::string_view text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::string hexText(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

}  // namespace

int saveYencPost(Decoder& decoder, PartReader& reader, std::string_view beginLine,
                 const std::string& descriptionPath) {
    std::string line(beginLine);
    skipRestOfLine(reader, line);
    std::optional<YencBegin> begin = parseYencBegin(beginLine);
    if (!begin) {
        decoder.warning("yEnc header without a usable name, size or part: ignored");
        return 1;
    }
    if (!begin->part) return saveSingle(decoder, reader, *begin, descriptionPath);
    std::optional<YencPart> range;
    if (reader.readLine(line, LineLimit)) {
        range = parseYencPart(line, begin->size);
        if (!range) reader.pushBack(line);
    }
    if (!range) {
        decoder.warning("yEnc part " + std::to_string(*begin->part) + " of " +
                        std::string(begin->name) + " has no usable =ypart line: ignored");
        return 1;
    }
    skipRestOfLine(reader, line);
    return saveMultiPart(decoder, reader, *begin, *range, descriptionPath);
}

std::string formatStoredParts(const std::vector<YencStoredPart>& parts) {
    std::string text;
    for (const YencStoredPart& p : parts) {
        text += std::to_string(p.part) + " " + std::to_string(p.total) + " " +
                std::to_string(p.begin) + " " + std::to_string(p.end) + " " +
                std::to_string(p.written) + " " + hexText(p.crc) + " " + std::to_string(p.flags) +
                " " + (p.fileCrc ? hexText(*p.fileCrc) : std::string("-")) + "\n";
    }
    return text;
}

std::vector<YencStoredPart> parseStoredParts(std::string_view text, std::uint64_t size) {
    std::vector<YencStoredPart> parts;
    while (!text.empty() && parts.size() < static_cast<size_t>(MaxParts)) {
        size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        std::vector<std::string_view> f = fields(line);
        if (f.size() != 8) continue;
        auto part = decimal(f[0]);
        auto total = decimal(f[1]);
        auto first = decimal(f[2]);
        auto last = decimal(f[3]);
        auto written = decimal(f[4]);
        auto crc = hex(f[5]);
        auto flags = decimal(f[6]);
        if (!part || !total || !first || !last || !written || !crc || !flags || *part == 0 ||
            *part > MaxParts || *total > MaxParts || *first == 0 || *first > *last ||
            *last > size || *written > *last - *first + 1 || *flags > 7) {
            continue;
        }
        YencStoredPart p;
        p.part = static_cast<int>(*part);
        p.total = static_cast<int>(*total);
        p.begin = *first;
        p.end = *last;
        p.written = *written;
        p.crc = *crc;
        p.flags = static_cast<unsigned>(*flags);
        p.fileCrc = hex(f[7]);
        parts.push_back(p);
    }
    return parts;
}

YencSetCheck checkYencSet(const std::vector<YencStoredPart>& parts, std::uint64_t size) {
    YencSetCheck check;
    std::vector<YencStoredPart> sorted = parts;
    std::sort(sorted.begin(), sorted.end(),
              [](const YencStoredPart& a, const YencStoredPart& b) { return a.begin < b.begin; });
    int total = 0;
    for (const YencStoredPart& p : parts) total = std::max(total, p.total);
    std::uint64_t covered = 0;
    std::uint64_t reached = 0;  // the last byte covered so far
    bool whole = true;          // every byte there, once, in order: the file's CRC is known
    std::uint32_t crc = 0;
    std::optional<std::uint32_t> expected;
    for (const YencStoredPart& p : sorted) {
        if (p.begin <= reached) check.inconsistent = true;
        if (p.begin != reached + 1) whole = false;
        if (p.end > reached) covered += p.end - std::max(reached, p.begin - 1);
        reached = std::max(reached, p.end);
        std::uint64_t length = p.end - p.begin + 1;
        if (p.written != length) whole = false;
        if (p.flags & YencStoredPart::BadCrc) check.crcFailed = true;
        if (p.flags & YencStoredPart::Truncated) check.shorter = true;
        if (p.flags & YencStoredPart::TooLong) check.inconsistent = true;
        crc = crc32Combine(crc, p.crc, length);
        if (p.fileCrc) expected = p.fileCrc;
    }
    if (covered < size) check.shorter = true;
    if (total > 0) {
        std::vector<bool> present(static_cast<size_t>(total) + 1);
        for (const YencStoredPart& p : parts) {
            if (p.part <= total) present[static_cast<size_t>(p.part)] = true;
        }
        check.complete = std::all_of(present.begin() + 1, present.end(), [](bool b) { return b; });
    } else {
        check.complete = covered == size;
    }
    if (whole && covered == size && expected && *expected != crc) check.crcFailed = true;
    return check;
}

}  // namespace qm
