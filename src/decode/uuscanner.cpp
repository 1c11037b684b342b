// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/uuscanner.h"

#include <cctype>
#include <cstdio>

#include "decode/decoder.h"
#include "decode/mimedecoder.h"
#include "decode/partassembler.h"
#include "decode/partreader.h"
#include "decode/subject.h"
#include "decode/yencassembler.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr size_t LineLimit = 1024;  // lines are read as into a 1024-byte buffer
constexpr size_t MaxKeyLength = 255;
constexpr size_t MaxBoundaryLength = 70;
// Text handed back to the MIME decoder may hold another MIME header, and so on: hostile
// input could nest that without end. Past this depth such lines are plain text.
constexpr int MaxHandOverNesting = 32;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isPrintable(char c) {
    return std::isprint(static_cast<unsigned char>(c)) != 0;
}
bool isVisible(char c) {
    return std::isgraph(static_cast<unsigned char>(c)) != 0;
}
char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != lower(prefix[i])) return false;
    }
    return true;
}

bool takePrefix(std::string_view& text, std::string_view prefix) {
    if (!startsWith(text, prefix)) return false;
    text.remove_prefix(prefix.size());
    return true;
}

// A decimal number at the front of text, at most MaxParts (larger ones are refused whole).
bool takeNumber(std::string_view& text, int& value) {
    size_t i = 0;
    long long v = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        if (v <= MaxParts) v = v * 10 + (text[i] - '0');
    }
    if (i == 0 || v > MaxParts) return false;
    text.remove_prefix(i);
    value = static_cast<int>(v);
    return true;
}

// Text up to the next blank or the line end.
std::string_view takeWord(std::string_view& text) {
    size_t end = 0;
    while (end < text.size() && !isBlank(text[end]) && text[end] != '\r' && text[end] != '\n') {
        ++end;
    }
    std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

void skipSpace(std::string_view& text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
}

std::string_view withoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

bool partFits(int part, int count) {
    return part != 0 && part <= count;
}

PartMarker partOf(std::string_view name, int part, int count) {
    return PartMarker{PartMarker::Part, std::string(name), part, count};
}

// "section N of ... of file NAME ", "section N/M file NAME ".
PartMarker sectionMarker(std::string_view text) {
    PartMarker ignored;
    ignored.kind = PartMarker::Ignored;
    int part = 0;
    int count = 0;
    if (!takeNumber(text, part) || part == 0) return ignored;
    if (startsWith(text, " of ")) {
        size_t at = text.find(" of file ");
        if (at == std::string_view::npos) return ignored;
        text.remove_prefix(at + 9);
        std::string_view name = takeWord(text);
        if (name.empty() || text.empty() || text[0] != ' ') return ignored;
        return partOf(name, part, 0);
    }
    if (text.size() >= 2 && text[0] == '/' && isDigit(text[1])) {
        text.remove_prefix(1);
        if (!takeNumber(text, count)) return ignored;
        skipSpace(text);
        if (part > count || !takePrefix(text, "file ")) return ignored;
        std::string_view name = takeWord(text);
        if (name.empty() || text.empty() || text[0] != ' ') return ignored;
        return partOf(name, part, count);
    }
    return {};
}

// "POST V<version> NAME (Part N/M)".
PartMarker postMarker(std::string_view text) {
    size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return {};
    text.remove_prefix(blank + 1);
    std::string_view name = takeWord(text);
    int part = 0;
    int count = 0;
    if (!name.empty() && takePrefix(text, " (Part ") && takeNumber(text, part) &&
        takePrefix(text, "/") && takeNumber(text, count) && takePrefix(text, ")") &&
        partFits(part, count)) {
        return partOf(name, part, count);
    }
    return {};
}

// "File: NAME -- part N of M -- ".
PartMarker fileMarker(std::string_view text) {
    std::string_view name = takeWord(text);
    int part = 0;
    int count = 0;
    if (!name.empty() && takePrefix(text, " -- part ") && takeNumber(text, part) &&
        takePrefix(text, " of ") && takeNumber(text, count) && takePrefix(text, " -- ") &&
        partFits(part, count)) {
        return partOf(name, part, count);
    }
    return {};
}

// "[Section: N/M File: NAME".
PartMarker bracketSectionMarker(std::string_view text) {
    int part = 0;
    int count = 0;
    if (!takeNumber(text, part) || text.empty()) return {};
    text.remove_prefix(1);  // any one character between the numbers
    if (!takeNumber(text, count)) return {};
    skipSpace(text);
    if (!takePrefix(text, "File: ")) return {};
    std::string_view name = takeWord(text);
    if (name.empty() || !partFits(part, count)) return {};
    return partOf(name, part, count);
}

// "[NAME - part N of M]": the "- part" at the character after the name's blank or at any
// later "-".
PartMarker bracketMarker(std::string_view text) {
    size_t blank = text.find(' ');
    if (blank == 0 || blank == std::string_view::npos) return {};
    std::string_view name = text.substr(0, blank);
    std::string_view rest = text.substr(blank + 1);
    for (size_t dash = rest.find('-'); dash != std::string_view::npos;
         dash = rest.find('-', dash + 1)) {
        std::string_view at = rest.substr(dash);
        int part = 0;
        int count = 0;
        if (takePrefix(at, "- part ") && takeNumber(at, part) && takePrefix(at, " of ") &&
            takeNumber(at, count) && takePrefix(at, "]") && partFits(part, count)) {
            return partOf(name, part, count);
        }
    }
    return {};
}

bool isUuHeader(std::string_view line) {
    return line.size() >= 10 && startsWith(line, "begin ") && isDigit(line[6]) &&
           isDigit(line[7]) && isDigit(line[8]) && line[9] == ' ';
}

bool isBinHexNote(std::string_view line) {
    return withoutLineEnd(line) == "(This file must be converted with BinHex 4.0)" &&
           line.back() == '\n';
}

// "M" and 61 characters with the line end ("\r\n" counts as one).
bool isFullUuLine(std::string_view line) {
    return !line.empty() && line[0] == 'M' && line.back() == '\n' &&
           withoutLineEnd(line).size() == 61;
}

// The value after a label (any case), or nothing.
std::optional<std::string_view> labelValue(std::string_view line, std::string_view label) {
    if (!startsWithIgnoringCase(line, label)) return std::nullopt;
    return line.substr(label.size());
}

std::optional<int> positiveNumber(std::string_view text) {
    int value = 0;
    if (!takeNumber(text, value) || value == 0) return std::nullopt;
    return value;
}

// "content-" (any case), printable non-blank characters, ":".
bool isContentLine(std::string_view line) {
    if (!startsWithIgnoringCase(line, "content-")) return false;
    for (size_t i = 8; i < line.size(); ++i) {
        if (line[i] == ':') return true;
        if (!isVisible(line[i])) return false;
    }
    return false;
}

// One or more printable non-blank characters, then ":".
bool isHeaderLine(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && isVisible(line[i]) && line[i] != ':') ++i;
    return i > 0 && i < line.size() && line[i] == ':';
}

bool isBoundaryChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) ||
           std::string_view(" '()+,-./:=?_#").find(c) != std::string_view::npos;
}

// The boundary of a "--" line, when the whole rest of the line may be one.
std::optional<std::string_view> boundaryOf(std::string_view line) {
    std::string_view text = withoutLineEnd(line).substr(2);
    for (char c : text) {
        if (!isBoundaryChar(c)) return std::nullopt;
    }
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty() || text.size() > MaxBoundaryLength) return std::nullopt;
    return text;
}

bool isBlankLine(std::string_view line) {
    for (char c : line) {
        if (!isSpace(c)) return false;
    }
    return true;
}

// "x-" (any case) after leading blanks, printable characters, ":".
bool isXHeader(std::string_view line) {
    while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    if (!startsWithIgnoringCase(line, "x-")) return false;
    for (size_t i = 2; i < line.size(); ++i) {
        if (line[i] == ':') return true;
        if (!isPrintable(line[i])) return false;
    }
    return false;
}

// Lines that end a description and never start one.
bool isIgnoredLine(std::string_view line) {
    return startsWith(line, "---") || startsWith(line, "#!") ||
           startsWithIgnoringCase(line, "part=") || startsWithIgnoringCase(line, "begin");
}

bool writeText(std::FILE* file, std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

// The count a finished part left in "CT": the first line's number, when 0 or more.
std::optional<int> readCount(const std::string& path) {
    FilePtr file = openFile(path, "r");
    if (!file) return std::nullopt;
    char buffer[LineLimit];
    if (!std::fgets(buffer, sizeof buffer, file.get())) return std::nullopt;
    std::string_view text(buffer);
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    int value = 0;
    if (!takeNumber(text, value)) return std::nullopt;
    return value;
}

bool writeCount(Decoder& decoder, const std::string& path, int count) {
    FilePtr file = openFile(path, "w");
    bool written = file && std::fprintf(file.get(), "%d\n", count) >= 0;
    if (!file || std::fclose(file.release()) != 0 || !written) {
        decoder.outputFailed(path);
        std::remove(path.c_str());
        return false;
    }
    return true;
}

bool partsPresent(const std::string& dir, int count, int except) {
    for (int n = count; n >= 1; --n) {
        if (n != except && !fileExists(dir + std::to_string(n))) return false;
    }
    return true;
}

// The part as received, in its part file; 0 when stored, 1 on an error.
int storePart(Decoder& decoder, PartReader& reader, const std::string& dir, int part, int& count,
              std::optional<std::string_view> firstLine) {
    std::string path = dir + std::to_string(part);
    FilePtr file = openFile(path, "w");
    if (!file) {
        decoder.outputFailed(path);
        reader.ignoreRest();
        return 1;
    }
    std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 16);
    int error = 0;  // of the first write that failed
    auto put = [&](std::string_view text) {
        if (error == 0 && !writeText(file.get(), text)) error = errno;
    };
    if (firstLine) put(*firstLine);
    bool ended = false;
    std::string line;
    while (reader.readLine(line, LineLimit)) {
        put(line);
        // Without a count, the part with the "end" line is the last one.
        if (count == 0 && isEndLine(line)) {
            ended = true;
            break;
        }
    }
    if (std::fclose(file.release()) != 0 && error == 0) error = errno;
    if (error != 0) {
        // A part cut short would be taken for a whole one by the assembly.
        decoder.outputFailed(path, error);
        std::remove(path.c_str());
        return 1;
    }
    if (ended) {
        if (!writeCount(decoder, dir + "CT", part)) {
            std::remove(path.c_str());  // its count is what makes the set complete
            return 1;
        }
        count = part;
    }
    decoder.notePart(dir, part);
    return 0;
}

class Scanner {
  public:
    Scanner(Decoder& decoder, PartReader& reader, bool keepText)
        : m_decoder(decoder), m_reader(reader), m_keepText(keepText) {}
    ~Scanner() { closeDescription(); }

    int run(std::string_view subject);

  private:
    std::optional<int> handleLine(const std::string& line);
    std::optional<int> otherLine(const std::string& line);
    bool takeHeaderLine(std::string_view line);
    std::optional<int> tryBoundary(const std::string& line);
    void describe(std::string_view line);
    int handOver();
    void openDescription();
    void writeDescription(std::string_view text);
    void closeDescription();

    Decoder& m_decoder;
    PartReader& m_reader;
    bool m_keepText;
    std::string m_key;
    int m_part = -1;
    int m_count = 0;
    bool m_collect = false;
    FilePtr m_description;
    std::string m_descriptionPath;
    std::string m_descriptionTemporary;
    int m_result = 0;
};

int Scanner::run(std::string_view subject) {
    std::string key;
    int part = 0;
    int total = 0;
    if (recognizeSubject(subject, key, part, total) == 0 && part >= 0 && part <= MaxParts &&
        total >= 0 && total <= MaxParts) {
        m_part = part;
        m_count = total;
    }
    m_key = key.substr(0, MaxKeyLength);
    if (m_part == 0) return savePart(m_decoder, m_reader, m_key, 0, m_count, std::nullopt);
    m_collect = m_part == 1;
    std::string line;
    while (m_reader.readLine(line, LineLimit)) {
        if (std::optional<int> result = handleLine(line)) {
            closeDescription();
            return *result;
        }
    }
    closeDescription();
    return m_result;
}

std::optional<int> Scanner::handleLine(const std::string& line) {
    if (startsWith(line, "=ybegin ")) {
        // yEnc names its file and parts itself; like an unnumbered post, more may follow.
        closeDescription();
        m_result |= saveYencPost(m_decoder, m_reader, line, m_descriptionPath);
        m_descriptionPath.clear();
        m_collect = false;
        return std::nullopt;
    }
    if (isUuHeader(line)) {
        if (m_part == -1) {
            // An unnumbered post is its own set; the text after its "end" line may hold
            // more files, so the scan goes on.
            m_result |= savePart(m_decoder, m_reader, std::nullopt, 1, 0, line);
            return std::nullopt;
        }
        closeDescription();
        return savePart(m_decoder, m_reader, m_key, m_part, m_count, line);
    }
    PartMarker marker = parsePartMarker(line);
    if (marker.kind == PartMarker::Part) {
        closeDescription();
        return savePart(m_decoder, m_reader, marker.name, marker.part, marker.count, std::nullopt);
    }
    if (marker.kind == PartMarker::Ignored) return std::nullopt;
    return otherLine(line);
}

std::optional<int> Scanner::otherLine(const std::string& line) {
    bool numbered = m_part > 0 && m_count > 0 && m_part <= m_count;
    if (numbered &&
        (startsWith(line, "BEGIN") || startsWith(line, "--- BEGIN --") || isFullUuLine(line))) {
        closeDescription();
        return savePart(m_decoder, m_reader, m_key, m_part, m_count, line);
    }
    if (takeHeaderLine(line)) return std::nullopt;
    if (isBinHexNote(line)) {
        closeDescription();
        return handleBinHex(&m_reader, 1, 1);
    }
    bool mayHandOver = m_reader.nesting() < MaxHandOverNesting;
    if (mayHandOver && isContentLine(line)) {
        m_reader.pushBack(line);
        closeDescription();
        return handOver();
    }
    if (mayHandOver && startsWith(line, "--")) {
        if (std::optional<int> result = tryBoundary(line)) return result;
    }
    describe(line);
    return std::nullopt;
}

// The "x-file-name", "x-part", "x-part-total" and "x-file-desc" lines; true when taken.
bool Scanner::takeHeaderLine(std::string_view line) {
    if (auto value = labelValue(line, "x-file-name: ")) {
        m_key = std::string(takeWord(*value).substr(0, MaxKeyLength));
        return true;
    }
    if (auto value = labelValue(line, "x-part: ")) {
        if (auto number = positiveNumber(*value)) m_part = *number;
        return true;
    }
    if (auto value = labelValue(line, "x-part-total: ")) {
        if (auto number = positiveNumber(*value)) m_count = *number;
        return true;
    }
    if (auto value = labelValue(line, "x-file-desc: "); value && m_part == 1 && !m_description) {
        openDescription();
        writeDescription(*value);
        closeDescription();
        return true;
    }
    return false;
}

// A "--boundary" line followed by a header line: a multipart without its header.
std::optional<int> Scanner::tryBoundary(const std::string& line) {
    std::optional<std::string_view> boundary = boundaryOf(line);
    if (!boundary) return std::nullopt;
    std::string next;
    if (!m_reader.readLine(next, LineLimit)) return std::nullopt;
    m_reader.pushBack(next);
    if (!isHeaderLine(next)) return std::nullopt;
    m_reader.pushBack(line);
    std::string header = "Content-type: multipart/mixed; boundary=\"";
    header.append(*boundary);
    header += "\"\n\n";
    m_reader.pushBack(header);
    closeDescription();
    return handOver();
}

void Scanner::describe(std::string_view line) {
    if (m_description) {
        if (isIgnoredLine(line)) {
            closeDescription();
        } else {
            writeDescription(line);
        }
        return;
    }
    if (!m_collect || isBlankLine(line) || isXHeader(line)) return;
    m_collect = false;
    if (isIgnoredLine(line)) return;
    openDescription();
    writeDescription(line);
}

int Scanner::handOver() {
    int nesting = m_reader.nesting();
    m_reader.setNesting(nesting + 1);
    int result = handleMessage(m_decoder, m_reader, "text/plain", false, m_keepText);
    m_reader.setNesting(nesting);
    return result;
}

void Scanner::openDescription() {
    PartDescription description = openPartDescription(m_decoder, m_key);
    if (!description.file) return;
    m_description = std::move(description.file);
    m_descriptionPath = std::move(description.path);
    m_descriptionTemporary = std::move(description.temporary);
}

void Scanner::writeDescription(std::string_view text) {
    if (m_description && !writeText(m_description.get(), text)) {
        // Written once per set: one cut short would stay so.
        m_decoder.outputFailed(m_descriptionPath);
        m_description.reset();
        std::remove(m_descriptionTemporary.c_str());
    }
}

void Scanner::closeDescription() {
    if (!m_description) return;
    if (std::fclose(m_description.release()) != 0 ||
        std::rename(m_descriptionTemporary.c_str(), m_descriptionPath.c_str()) != 0) {
        m_decoder.outputFailed(m_descriptionPath);
        std::remove(m_descriptionTemporary.c_str());
    }
}

}  // namespace

PartMarker parsePartMarker(std::string_view line) {
    if (startsWith(line, "section ") && line.size() > 8 && isDigit(line[8])) {
        return sectionMarker(line.substr(8));
    }
    if (startsWith(line, "POST V")) return postMarker(line.substr(6));
    if (startsWith(line, "File: ")) return fileMarker(line.substr(6));
    if (startsWith(line, "[Section: ")) return bracketSectionMarker(line.substr(10));
    if (startsWith(line, "[")) return bracketMarker(line.substr(1));
    return {};
}

int scanForAttachments(Decoder& decoder, PartReader& reader, std::string_view subject,
                       bool keepText) {
    Scanner scanner(decoder, reader, keepText);
    return scanner.run(subject);
}

int savePart(Decoder& decoder, PartReader& reader, std::optional<std::string_view> name, int part,
             int count, std::optional<std::string_view> firstLine) {
    if (name) {
        std::string text = "Saving part " + std::to_string(part) + " ";
        if (count != 0) text += "of " + std::to_string(count) + " ";
        text.append(*name);
        decoder.information(text);
    }
    std::string_view collection = name ? *name : "unknown";
    if (count == 0 && part == 1 && firstLine && startsWith(*firstLine, "begin ")) {
        // A whole post stores nothing in its collection: the directory is only made when
        // it has to hold something. Something else in its place still gets the warning.
        std::string path = decoder.partDirectoryPath(collection);
        std::string bare = path.substr(0, path.size() - 1);
        const bool setExists = fileExists(bare);
        if (!setExists || (isDirectory(bare) && !fileExists(path + "CT"))) {
            if (std::optional<int> result =
                    decodeSinglePost(decoder, path, setExists, *firstLine, reader)) {
                return *result;
            }
        }
    }
    std::optional<std::string> dir;
    bool setExists = true;
    if (count == 1 && part == 1) {
        // A set of one: its directory is only made if the part has to be stored after all.
        std::string path = decoder.partDirectoryPath(collection);
        if (!fileExists(path.substr(0, path.size() - 1))) {
            dir = std::move(path);
            setExists = false;
        }
    }
    if (!dir) dir = decoder.partDirectory(collection);
    if (!dir) {
        reader.ignoreRest();
        return 1;
    }
    // The part that completes a set is decoded as it is read instead of stored and re-read.
    if (count > 0 && part >= 1 && part <= count && partsPresent(*dir, count, part)) {
        StreamedPart streamed{part, firstLine, reader, setExists};
        return assembleParts(decoder, *dir, count, streamed);
    }
    if (storePart(decoder, reader, *dir, part, count, firstLine) != 0) return 1;
    if (count == 0) count = readCount(*dir + "CT").value_or(0);
    if (count == 0 || !partsPresent(*dir, count, 0)) return 0;
    return assembleParts(decoder, *dir, count);
}

PartDescription openPartDescription(Decoder& decoder, std::string_view name) {
    std::optional<std::string> dir = decoder.partDirectory(name);
    if (!dir) return {};
    PartDescription description;
    description.path = *dir + "0";
    if (fileExists(description.path)) return {};  // a set's description is written once
    // One left by a killed run is written anew.
    description.temporary = description.path + ".new";
    description.file = openFile(description.temporary, "w");
    if (!description.file) decoder.outputFailed(description.path);
    return description;
}

int handleBinHex(PartReader* reader, int, int) {
    if (reader) reader->ignoreRest();
    return 1;
}

}  // namespace qm
