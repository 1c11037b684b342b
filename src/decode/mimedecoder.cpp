// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/mimedecoder.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "decode/bodydecoders.h"
#include "decode/decoder.h"
#include "decode/md5.h"
#include "decode/mimeheader.h"
#include "decode/partassembler.h"
#include "decode/partreader.h"
#include "decode/uuscanner.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {

namespace {

// Deeper nesting (messages in messages, multiparts in multiparts, text handed back by the
// scanner) is refused: every level is a stack frame, and no real article comes close.
constexpr int MaxNesting = 200;

class NestingGuard {
  public:
    explicit NestingGuard(PartReader& reader) : m_reader(reader) {
        m_reader.setNesting(m_reader.nesting() + 1);
    }
    ~NestingGuard() { m_reader.setNesting(m_reader.nesting() - 1); }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

  private:
    PartReader& m_reader;
};

struct Entity {
    ContentType type;
    TransferEncoding encoding = TransferEncoding::None;
    std::optional<std::string> fileName;  // the disposition's "filename", else "name"
    std::optional<std::string> contentMd5;
};

bool isTextType(std::string_view type) {
    return startsWithNoCase(type, "text/");
}

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
    if (value && value->empty()) return std::nullopt;
    return value;
}

// A fragment number or count: decimal digits only, 0 to MaxParts (so that neither file names
// nor the completeness check run without bound); -1 for anything else.
int parseCount(std::string_view text) {
    if (text.empty() || text.size() > 6) return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value <= MaxParts ? value : -1;
}

// The count stored in a collection's "CT" file; 0 when missing or not a sane count.
int readStoredCount(const std::string& path) {
    FilePtr file = openFile(path, "r");
    if (!file) return 0;
    char line[32] = {};
    if (!std::fgets(line, sizeof line, file.get())) return 0;
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    return std::max(parseCount(text), 0);
}

bool writeText(std::FILE* file, std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

bool isKeptFragmentField(std::string_view line) {
    return startsWithNoCase(line, "content-") || startsWithNoCase(line, "message-id:");
}

// Writes the outer header of a first fragment without its Content-* and Message-ID fields.
void writeOuterHeader(std::FILE* file, std::string_view header) {
    bool keep = false;
    size_t pos = 1;  // past the line end the collected text starts with
    while (pos < header.size()) {
        size_t end = header.find('\n', pos);
        end = end == std::string_view::npos ? header.size() : end + 1;
        std::string_view line = header.substr(pos, end - pos);
        if (line[0] != ' ' && line[0] != '\t') keep = !isKeptFragmentField(line);
        if (keep) writeText(file, line);
        pos = end;
    }
}

// Reads the enclosed message's header up to its blank line and writes only its Content-*
// and Message-ID fields.
void writeEnclosedHeader(std::FILE* file, PartReader& reader) {
    std::string line;
    bool keep = false, atLineStart = true;
    while (reader.readLine(line, MimeHeader::MaxLineBytes + 1)) {
        if (atLineStart) {
            if (line == "\n" || line == "\r\n") break;
            if (line[0] != ' ' && line[0] != '\t') keep = isKeptFragmentField(line);
        }
        if (keep) writeText(file, line);
        atLineStart = line.back() == '\n';
    }
}

// The fragment files of a set read one after the other as one stream: joining them takes no
// room on disk, and they stay whole until the message they make was decoded.
class JoinedFragments {
  public:
    // A stream over fragments 1 to count of dir; empty when it cannot be made.
    static FilePtr open(const std::string& dir, int count) {
        auto joined = std::make_unique<JoinedFragments>(dir, count);
        cookie_io_functions_t functions{};
        functions.read = &JoinedFragments::read;
        functions.close = &JoinedFragments::close;
        FilePtr stream(::fopencookie(joined.get(), "r", functions));
        if (stream) joined.release();  // closing the stream deletes it
        return stream;
    }

    JoinedFragments(std::string dir, int count) : m_dir(std::move(dir)), m_count(count) {}

  private:
    static ssize_t read(void* cookie, char* buffer, size_t size) {
        auto& self = *static_cast<JoinedFragments*>(cookie);
        for (;;) {
            if (!self.m_current) {
                if (self.m_next > self.m_count) return 0;
                self.m_current = openFile(self.m_dir + std::to_string(self.m_next++), "r");
                if (!self.m_current) return -1;  // a read error: errno says why
            }
            size_t got = std::fread(buffer, 1, size, self.m_current.get());
            if (got > 0) return static_cast<ssize_t>(got);
            if (std::ferror(self.m_current.get())) return -1;
            self.m_current.reset();
        }
    }
    static int close(void* cookie) {
        std::unique_ptr<JoinedFragments> owner(static_cast<JoinedFragments*>(cookie));
        return 0;
    }

    std::string m_dir;
    int m_count;
    int m_next = 1;
    FilePtr m_current;
};

// At the commit: the fragments stay until the article that used them up is committed.
void removeFragments(Decoder& decoder, const std::string& dir, int count) {
    for (int n = 1; n <= count; ++n) decoder.removeAtCommit(dir + std::to_string(n));
}

// All fragments are present: decodes the message they make. They go only once it was
// decoded with every file written: until then the set stays complete, so fetching its last
// fragment again (or any other) tries once more.
int assembleFragments(Decoder& decoder, PartReader& reader, const std::string& dir, int count,
                      bool keepText) {
    const std::size_t first = decoder.outputCount();
    FilePtr joined = JoinedFragments::open(dir, count);
    if (!joined) {
        decoder.errorOutput(dir);
        return 1;
    }
    bool readFailed = false;
    {
        PartReader whole(std::move(joined));
        whole.setNesting(reader.nesting());
        handleMessage(decoder, whole, "text/plain", false, keepText);
        readFailed = whole.readFailed();
    }
    if (readFailed) {
        decoder.errorOutput(dir);
        return 1;
    }
    if (decoder.result().outputFailed()) return 1;
    decoder.warning("Did one assemble.");
    if (count > 1) decoder.countAssembled();
    decoder.takeParts(dir, 0, first);
    removeFragments(decoder, dir, count);
    decoder.removeAtCommit(dir + "CT");
    decoder.removePartDirectory(dir);
    return 0;
}

int giveUp(PartReader& reader) {
    reader.ignoreRest();
    return 1;
}

int handlePartial(Decoder& decoder, PartReader& reader, const MimeHeader& header,
                  const ContentType& type, bool keepText) {
    auto id = type.parameter("id");
    if (!id) {
        decoder.warning("partial message has no id parameter");
        return giveUp(reader);
    }
    auto dir = decoder.partDirectory(*id);
    if (!dir) return giveUp(reader);
    auto number = type.parameter("number");
    if (!number) {
        decoder.warning("partial message doesn't have number parameter");
        return giveUp(reader);
    }
    const int part = parseCount(*number);
    const std::string countPath = *dir + "CT";
    int count = 0;
    if (auto total = type.parameter("total")) {
        count = parseCount(*total);
        if (count < 1) {
            decoder.warning("partial message has invalid number of parts");
            return giveUp(reader);
        }
        FilePtr file = openFile(countPath, "w");
        bool written = file && writeText(file.get(), std::to_string(count) + "\n");
        if (!file || std::fclose(file.release()) != 0 || !written) {
            decoder.outputFailed(countPath);
            std::remove(countPath.c_str());
            return giveUp(reader);
        }
    } else {
        count = readStoredCount(countPath);
    }
    if (part < 1 || (count > 0 && count < part)) {
        decoder.warning("partial message has invalid number");
        return giveUp(reader);
    }
    std::string info = "Saving part " + std::to_string(part) + " ";
    if (count > 0) info += "of " + std::to_string(count) + " ";
    decoder.information(info + *id);

    const std::string partPath = *dir + std::to_string(part);
    FilePtr file = openFile(partPath, "w");
    if (!file) {
        decoder.outputFailed(partPath);
        return giveUp(reader);
    }
    if (part == 1) {
        writeOuterHeader(file.get(), header.text());
        writeEnclosedHeader(file.get(), reader);
        writeText(file.get(), "\n");
    }
    BodyOutcome copied = decodeBody(reader, file.get(), TransferEncoding::None, nullptr, false);
    if (!copied.writeFailed && std::ferror(file.get())) {
        copied.writeFailed = true;  // a header line that could not be written
        copied.error = errno;
    }
    int closed = std::fclose(file.release());
    if (copied.writeFailed || closed != 0) {
        // A fragment cut short would be taken for a whole one by the assembly.
        decoder.outputFailed(partPath, copied.writeFailed ? copied.error : errno);
        std::remove(partPath.c_str());
        return 1;
    }
    decoder.notePart(*dir, part);
    if (count == 0) return 0;
    for (int n = count; n >= 1; --n)
        if (!fileExists(*dir + std::to_string(n))) return 0;
    return assembleFragments(decoder, reader, *dir, count, keepText);
}

int handleMultipart(Decoder& decoder, PartReader& reader, const ContentType& type, bool keepText) {
    const bool digest = equalsNoCase(type.type, "multipart/digest");
    const bool appleDouble = equalsNoCase(type.type, "multipart/appledouble");
    auto boundary = type.parameter("boundary");
    if (!boundary) decoder.warning("multipart message has no boundary parameter");
    reader.addBoundary(boundary.value_or(""));
    // A boundary on the very first line needs a line end in front of it.
    reader.pushBack("\n");
    reader.ignoreRest();
    while (reader.readBoundary() == 0)
        handleMessage(decoder, reader, digest ? "message/rfc822" : "text/plain", appleDouble,
                      keepText);
    reader.ignoreRest();
    // A description that no file took ends with its multipart.
    std::remove(decoder.pendingDescriptionPath().c_str());
    return 0;
}

// True when the start of the part (what the reader has buffered of it) holds a "=ybegin "
// line.
bool beginsYencData(PartReader& reader) {
    std::string_view head = reader.peek();
    return head.starts_with("=ybegin ") || head.find("\n=ybegin ") != std::string_view::npos;
}

int saveDescription(Decoder& decoder, PartReader& reader, TransferEncoding encoding) {
    const std::string path = decoder.pendingDescriptionPath();
    FilePtr file = openFile(path, "w");
    if (!file) {
        decoder.outputFailed(path);
        return giveUp(reader);
    }
    BodyOutcome outcome = decodeBody(reader, file.get(), encoding, nullptr, true);
    if (outcome.truncated) decoder.warning("Premature EOF");
    int closed = std::fclose(file.release());
    if (outcome.writeFailed || closed != 0) {
        // Half a description would be attached to the next file as if it were whole.
        decoder.outputFailed(path, outcome.writeFailed ? outcome.error : errno);
        std::remove(path.c_str());
        return 1;
    }
    return 0;
}

int saveToFile(Decoder& decoder, PartReader& reader, const Entity& entity) {
    std::optional<std::string> name = entity.fileName;
    if (entity.encoding == TransferEncoding::Uuencode) {
        std::optional<std::string> begin = findUuBeginLine(reader);
        if (!begin) {
            decoder.warning("uuencoded part has no begin line");
            return 1;
        }
        // The MIME name wins; the "begin" line's is taken when the header gives none.
        if (!name) name = nonEmpty(std::string(beginLineName(*begin)));
    }
    OutputFile out = decoder.openOutputFile(name, entity.type.type);
    if (!out) return giveUp(reader);
    // The digest is only ever compared with a Content-MD5 header.
    std::optional<Md5> md5;
    if (entity.contentMd5) md5.emplace();
    BodyOutcome outcome = decodeBody(reader, out.get(), entity.encoding, md5 ? &*md5 : nullptr,
                                     isTextType(entity.type.type));
    if (outcome.truncated) decoder.warning("Premature EOF");
    if (outcome.writeFailed) {
        // Not kept under any name (the temporary file goes with out): the article has to be
        // fetched again, and this file is decoded whole then.
        decoder.outputFailed(out.wantedPath(), outcome.error);
        return 1;
    }
    if (!decoder.finishOutputFile(out)) return 1;
    if (md5 && !std::string_view(*entity.contentMd5).starts_with(Md5::toBase64(md5->finish())))
        decoder.corruptionWarning();
    return 0;
}

Entity readEntity(Decoder& decoder, const MimeHeader& header, std::string_view defaultType) {
    Entity entity;
    if (auto value = header.contentType()) entity.type = parseContentType(*value);
    if (entity.type.type.find('/') == std::string::npos) entity.type.type = defaultType;
    if (auto value = header.transferEncoding()) {
        bool unknown = false;
        entity.encoding = parseEncoding(*value, unknown);
        if (unknown) decoder.warning("ignoring unknown content transfer encoding\n");
    }
    if (auto value = header.disposition())
        entity.fileName = nonEmpty(parseContentType(*value).parameter("filename"));
    if (!entity.fileName) entity.fileName = nonEmpty(entity.type.parameter("name"));
    if (auto value = header.contentMd5()) entity.contentMd5 = std::string(*value);
    return entity;
}

}  // namespace

int handleMessage(Decoder& decoder, PartReader& reader, std::string_view defaultType,
                  bool inAppleDouble, bool keepText) {
    if (reader.nesting() >= MaxNesting) {
        decoder.warning("message nested too deeply; rest of part skipped");
        return giveUp(reader);
    }
    NestingGuard guard(reader);
    MimeHeader header;
    header.read(reader);
    Entity entity = readEntity(decoder, header, defaultType);
    const std::string& type = entity.type.type;
    const bool encoded = entity.encoding != TransferEncoding::None;

    if (equalsNoCase(type, "message/rfc822")) {
        if (encoded) decoder.warning("ignoring invalid content encoding on message/rfc822");
        return handleMessage(decoder, reader, "text/plain", false, keepText);
    }
    if (equalsNoCase(type, "message/partial")) {
        if (encoded) decoder.warning("ignoring invalid content encoding on message/partial");
        return handlePartial(decoder, reader, header, entity.type, keepText);
    }
    if (startsWithNoCase(type, "message/")) {
        reader.ignoreRest();
        return 0;
    }
    if (startsWithNoCase(type, "multipart/")) {
        if (encoded) decoder.warning("ignoring invalid content encoding on multipart");
        return handleMultipart(decoder, reader, entity.type, keepText);
    }
    const bool text = isTextType(type);
    if (reader.depth() == 0 && text && !encoded && !entity.fileName)
        return scanForAttachments(decoder, reader, header.subject(), keepText);
    // A yEnc post sent as a plain text part of a multipart is found by the scanner as at the
    // top level; any other text part stays a description.
    if (text && !encoded && !entity.fileName && !keepText && !inAppleDouble &&
        beginsYencData(reader))
        return scanForAttachments(decoder, reader, header.subject(), keepText);
    // A uuencoded body is a file, named by its "begin" line when the header does not.
    if (keepText || inAppleDouble || !text || entity.fileName ||
        entity.encoding == TransferEncoding::Uuencode)
        return saveToFile(decoder, reader, entity);
    return saveDescription(decoder, reader, entity.encoding);
}

}  // namespace qm
