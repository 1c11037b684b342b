// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/partassembler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "decode/decoder.h"
#include "decode/outputnames.h"
#include "decode/partreader.h"
#include "decode/uucodec.h"
#include "decode/uuscanner.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr size_t LineLimit = 1024;  // lines are read as into a 1024-byte buffer
constexpr size_t OutputBufferSize = 1 << 20;
constexpr size_t InputBufferSize = 256 << 10;
// Lines of a streamed part kept in memory before they spill into its part file.
constexpr size_t KeptInMemory = 1 << 20;

bool startsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isBinHexNote(std::string_view line) {
    constexpr std::string_view Note = "(This file must be converted with BinHex 4.0)";
    return startsWith(line, Note) &&
           (line.substr(Note.size()) == "\n" || line.substr(Note.size()) == "\r\n");
}

std::string partPath(const std::string& dir, int n) {
    return dir + std::to_string(n);
}

bool writeAll(std::FILE* file, std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

// A part file read line by line as into a 1024-byte buffer, through a large reused buffer.
class PartFileLines {
  public:
    explicit PartFileLines(std::vector<char>& buffer) : m_buffer(buffer) {
        if (m_buffer.size() < InputBufferSize) m_buffer.resize(InputBufferSize);
    }

    bool open(const std::string& path) {
        m_fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        return static_cast<bool>(m_fd);
    }

    bool next(std::string_view& line) {
        for (;;) {
            size_t available = m_end - m_position;
            size_t window = available < LineLimit - 1 ? available : LineLimit - 1;
            const char* start = m_buffer.data() + m_position;
            if (const void* nl = std::memchr(start, '\n', window)) {
                size_t length = static_cast<const char*>(nl) - start + 1;
                return take(line, length);
            }
            if (available >= LineLimit - 1) return take(line, LineLimit - 1);
            if (m_eof) return available > 0 && take(line, available);
            refill();
        }
    }

  private:
    bool take(std::string_view& line, size_t length) {
        line = std::string_view(m_buffer.data() + m_position, length);
        m_position += length;
        return true;
    }

    void refill() {
        std::memmove(m_buffer.data(), m_buffer.data() + m_position, m_end - m_position);
        m_end -= m_position;
        m_position = 0;
        ssize_t n;
        do {
            n = ::read(m_fd.get(), m_buffer.data() + m_end, m_buffer.size() - m_end);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            m_eof = true;  // a read error ends the part like its end would
        } else {
            m_end += static_cast<size_t>(n);
        }
    }

    std::vector<char>& m_buffer;
    UniqueFd m_fd;
    size_t m_position = 0;
    size_t m_end = 0;
    bool m_eof = false;
};

// The lines of a streamed part that have to survive a failure of the assembly (they would
// have been in its part file): kept in memory, spilled into the part file when large.
class KeptLines {
  public:
    KeptLines(Decoder& decoder, std::string path) : m_decoder(decoder), m_path(std::move(path)) {}
    ~KeptLines() { discard(); }

    void add(std::string_view line) {
        if (m_file) {
            write(line);
            return;
        }
        m_text.append(line);
        if (m_text.size() > KeptInMemory && openFile()) {
            write(m_text);
            m_text.clear();
        }
    }

    // Stores what was kept and the rest of reader in the part file.
    void storeWithRest(PartReader& reader, std::string& line) {
        if (!m_file && !openFile()) {
            reader.ignoreRest();
            return;
        }
        write(m_text);
        m_text.clear();
        while (reader.readLine(line, LineLimit)) write(line);
        if (std::fclose(m_file.release()) != 0 && !m_writeFailed) {
            m_writeFailed = true;
            m_decoder.outputFailed(m_path);
        }
        // A part cut short would be taken for a whole one by the next assembly.
        if (m_writeFailed) std::remove(m_path.c_str());
    }

    void discard() {
        m_text.clear();
        if (m_file) {
            m_file.reset();
            std::remove(m_path.c_str());
        }
    }

  private:
    bool openFile() {
        m_file = qm::openFile(m_path, "w");
        if (!m_file && errno == ENOENT) {
            // The collection of a set of one is not made until a part has to be kept in it.
            std::string directory = m_path.substr(0, m_path.rfind('/'));
            if (::mkdir(directory.c_str(), 0777) == 0) m_file = qm::openFile(m_path, "w");
        }
        if (!m_file) m_decoder.outputFailed(m_path);
        return static_cast<bool>(m_file);
    }
    void write(std::string_view text) {
        if (!writeAll(m_file.get(), text) && !m_writeFailed) {
            m_writeFailed = true;
            m_decoder.outputFailed(m_path);
        }
    }

    Decoder& m_decoder;
    std::string m_path;
    std::string m_text;
    FilePtr m_file;
    bool m_writeFailed = false;
};

// The description of the set becomes the pending description of the next output file.
void takeDescription(Decoder& decoder, const std::string& dir) {
    decoder.takeSetDescription(dir + "0");
}

// After an assembly that failed: the set's description goes back to the set, which stays.
void returnDescription(Decoder& decoder, const std::string& dir) {
    std::string pending = decoder.pendingDescriptionPath();
    std::string description = dir + "0";
    if (!fileExists(pending)) return;
    if (fileExists(description)) {
        std::remove(pending.c_str());  // the set kept its own
        return;
    }
    if (!isDirectory(dir.substr(0, dir.size() - 1))) return;
    if (std::rename(pending.c_str(), description.c_str()) != 0) decoder.errorOutput(description);
}

// At the commit: the set stays whole until the article that used it up is committed.
void removeParts(Decoder& decoder, const std::string& dir, int from, int count) {
    for (int n = from; n <= count; ++n) decoder.removeAtCommit(partPath(dir, n));
}

void clearSet(Decoder& decoder, const std::string& dir, int count) {
    decoder.removeAtCommit(dir + "CT");
    decoder.removePartDirectory(dir);
    if (count > 1) decoder.countAssembled();
}

enum class PartOutcome { Read, Finished, Failed, Unreadable };

PartOutcome outcomeOf(PartAssembler::Step step) {
    switch (step) {
        case PartAssembler::Step::Finished:
            return PartOutcome::Finished;
        case PartAssembler::Step::Failed:
            return PartOutcome::Failed;
        default:
            return PartOutcome::Read;
    }
}

PartOutcome feedPartFile(Decoder& decoder, PartAssembler& machine, const std::string& path) {
    PartFileLines lines(decoder.inputBuffer());
    if (!lines.open(path)) {
        decoder.errorOutput(path);
        return PartOutcome::Unreadable;
    }
    std::string_view line;
    while (lines.next(line)) {
        PartAssembler::Step step = machine.feed(line);
        if (step == PartAssembler::Step::SkipPart) break;  // the BinHex handler's share
        if (step != PartAssembler::Step::Continue) return outcomeOf(step);
    }
    // The part file stays until the output is written whole.
    return PartOutcome::Read;
}

bool nextStreamedLine(StreamedPart& part, bool& first, std::string& line) {
    if (first) {
        first = false;
        if (part.firstLine) {
            line.assign(*part.firstLine);
            return true;
        }
    }
    return part.reader.readLine(line, LineLimit);
}

PartOutcome feedStreamedPart(Decoder& decoder, PartAssembler& machine, StreamedPart& part,
                             const std::string& path) {
    KeptLines kept(decoder, path);
    std::string line;
    bool first = true;
    while (nextStreamedLine(part, first, line)) {
        if (machine.lookingForBegin()) kept.add(line);
        PartAssembler::Step step = machine.feed(line);
        if (step == PartAssembler::Step::Failed) {
            kept.storeWithRest(part.reader, line);
            return PartOutcome::Failed;
        }
        if (step != PartAssembler::Step::Continue) {
            part.reader.ignoreRest();  // the stored part would have held it: it is read
            return outcomeOf(step);
        }
        if (!machine.lookingForBegin()) kept.discard();
    }
    return PartOutcome::Read;
}

// The streamed part as storing it would have left it: in its part file.
void storeStreamedPart(Decoder& decoder, StreamedPart& part, const std::string& path) {
    KeptLines kept(decoder, path);
    if (part.firstLine) kept.add(*part.firstLine);
    std::string line;
    kept.storeWithRest(part.reader, line);
}

// The parts are removed only once the output was written whole: when it could not be (a full
// disk), the set stays as it was, and the article that completed it is decoded again when
// it is fetched again.
int assemble(Decoder& decoder, const std::string& dir, int count, StreamedPart* streamed) {
    const bool setExists = !streamed || streamed->setExists;
    const std::size_t first = decoder.outputCount();
    if (setExists) takeDescription(decoder, dir);
    PartAssembler machine(decoder);
    bool streamedRead = false;
    auto finishStreamed = [&](bool store) {
        if (!streamed || streamedRead) return;
        if (store) {
            storeStreamedPart(decoder, *streamed, partPath(dir, streamed->number));
            decoder.notePart(dir, streamed->number);
        } else {
            streamed->reader.ignoreRest();
        }
    };
    auto keepSet = [&] {
        returnDescription(decoder, dir);
        if (streamed) streamed->reader.ignoreRest();  // what is left of it, when it was read
        return 1;
    };
    for (int d = 1; d <= count; ++d) {
        std::string path = partPath(dir, d);
        PartOutcome outcome;
        if (streamed && d == streamed->number) {
            streamedRead = true;
            outcome = feedStreamedPart(decoder, machine, *streamed, path);
        } else {
            outcome = feedPartFile(decoder, machine, path);
        }
        switch (outcome) {
            case PartOutcome::Read:
                machine.endPart();
                break;
            case PartOutcome::Finished:
                finishStreamed(false);
                if (machine.outputFailed()) return keepSet();
                if (setExists) {
                    decoder.takeParts(dir, streamed ? streamed->number : 0, first);
                    removeParts(decoder, dir, 1, count);
                    clearSet(decoder, dir, count);
                }
                return 0;
            case PartOutcome::Unreadable:
                // What was read goes, as it would have without the missing part.
                machine.closeOutput();
                removeParts(decoder, dir, 1, d - 1);
                std::remove(decoder.pendingDescriptionPath().c_str());
                finishStreamed(true);
                return 1;
            case PartOutcome::Failed:
                machine.closeOutput();
                finishStreamed(true);
                return keepSet();
        }
    }
    machine.closeOutput();
    if (machine.outputFailed()) return keepSet();
    if (machine.inBinHex()) handleBinHex(nullptr, count, count);
    if (setExists) {
        removeParts(decoder, dir, 1, count);
        clearSet(decoder, dir, count);
    }
    return 0;
}

}  // namespace

PartAssembler::PartAssembler(Decoder& decoder)
    : PartAssembler(decoder, [&decoder](std::string_view name, std::string_view type) {
          Output output;
          output.named = decoder.openOutputFile(name, type);
          output.path = output.named.wantedPath();
          return output;
      }) {}

PartAssembler::PartAssembler(Decoder& decoder, OutputOpener opener)
    : m_decoder(decoder), m_opener(std::move(opener)), m_buffer(decoder.outputBuffer()) {
    if (m_buffer.size() < OutputBufferSize) m_buffer.resize(OutputBufferSize);
}

PartAssembler::~PartAssembler() {
    closeOutput();
}

PartAssembler::Step PartAssembler::feed(std::string_view line) {
    if (line.empty()) return Step::Continue;
    switch (m_state) {
        case State::LookingForBegin:
            return lookForBegin(line);
        case State::Waiting:
            if (line[0] == 'M' && m_fullLength != 0 && line.size() == m_fullLength) {
                m_state = State::InData;
                return inData(line);
            }
            if (startsWith(line, "BEGIN")) m_state = State::InData;
            return Step::Continue;
        case State::InData:
            return inData(line);
        case State::AfterLastLine:
            m_state = line[0] == ' ' || line[0] == '`' ? State::ExpectingEnd : State::Waiting;
            return Step::Continue;
        case State::ExpectingEnd:
            if (line.size() > 3 && startsWith(line, "end") && isSpace(line[3])) {
                decodeLine(m_lastLine);
                closeOutput();
                return Step::Finished;
            }
            m_state = State::Waiting;
            return Step::Continue;
        case State::BinHex:
            return startsWith(line, "---") ? Step::SkipPart : Step::Continue;
    }
    return Step::Continue;
}

void PartAssembler::endPart() {
    // Still without a "begin" line, a later part may bring it.
    if (m_state != State::BinHex && m_state != State::LookingForBegin) m_state = State::Waiting;
}

PartAssembler::Step PartAssembler::lookForBegin(std::string_view line) {
    if (isBinHexNote(line)) {
        m_state = State::BinHex;
        return Step::SkipPart;
    }
    if (!startsWith(line, "begin ")) return Step::Continue;
    // Without a name the file gets a generated one.
    std::string_view name = beginLineName(line);
    closeOutput();
    m_writeFailed = false;
    m_output = m_opener(name, contentTypeForName(name));
    if (!m_output.stream()) {
        m_outputFailed = true;  // reported by the opener
        return Step::Failed;
    }
    m_state = State::InData;
    return Step::Continue;
}

size_t PartAssembler::feedFullLines(std::string_view text) {
    if (m_state != State::InData || m_fullLength == 0 || !m_output.stream()) return 0;
    const size_t length = m_fullLength;
    const char* const start = text.data();
    size_t used = 0;
    while (text.size() - used >= length) {
        const char* line = start + used;
        // What feed() would get: the line up to its first line end, which has to be the
        // last of the full length.
        if (line[0] != 'M' || line[length - 1] != '\n' ||
            std::memchr(line, '\n', length - 1) != nullptr) {
            break;
        }
        if (m_buffer.size() - m_filled < UuMaxLineBytes) flush();
        m_filled += uuDecodeLine(
            std::string_view(line, length),
            std::span<char, UuMaxLineBytes>(m_buffer.data() + m_filled, UuMaxLineBytes));
        used += length;
    }
    return used;
}

PartAssembler::Step PartAssembler::inData(std::string_view line) {
    if (m_fullLength == 0) m_fullLength = line.size();
    if (line[0] == 'M' && line.size() == m_fullLength) {
        decodeLine(line);
    } else if (line.size() <= m_fullLength) {
        m_lastLine.assign(line);
        bool lastMark = line[0] == ' ' || line[0] == '`';
        m_state = lastMark ? State::ExpectingEnd : State::AfterLastLine;
    } else {
        m_state = State::Waiting;
    }
    return Step::Continue;
}

void PartAssembler::decodeLine(std::string_view line) {
    if (!m_output.stream()) return;  // data before any "begin" line is dropped
    if (m_buffer.size() - m_filled < UuMaxLineBytes) flush();
    m_filled += uuDecodeLine(
        line, std::span<char, UuMaxLineBytes>(m_buffer.data() + m_filled, UuMaxLineBytes));
}

void PartAssembler::flush() {
    if (m_output.stream() && m_filled > 0 && !m_writeFailed &&
        std::fwrite(m_buffer.data(), 1, m_filled, m_output.stream()) != m_filled) {
        m_writeFailed = true;
        m_outputFailed = true;
        m_decoder.outputFailed(m_output.path);
    }
    m_filled = 0;
}

void PartAssembler::closeOutput() {
    if (!m_output.stream()) return;
    flush();
    if (m_output.named) {
        if (m_writeFailed) {
            m_output.named = OutputFile();  // not kept under any name: it is not whole
        } else if (!m_decoder.finishOutputFile(m_output.named)) {
            m_outputFailed = true;
        }
        // What was decoded whole is kept, complete post or not; only now has it its name.
        return;
    }
    if (std::fclose(m_output.file.release()) != 0 && !m_writeFailed) {
        m_writeFailed = true;
        m_outputFailed = true;
        m_decoder.outputFailed(m_output.path);
    }
}

std::string_view beginLineName(std::string_view line) {
    if (!startsWith(line, "begin ")) return {};
    size_t i = 6;
    while (i < line.size() && !isSpace(line[i])) ++i;  // the mode
    while (i < line.size() && isSpace(line[i])) ++i;
    std::string_view name = line.substr(i);
    while (!name.empty() && isSpace(name.back())) name.remove_suffix(1);
    return name;
}

bool isEndLine(std::string_view line) {
    return line == "end\n" || line == "end\r\n";
}

int assembleParts(Decoder& decoder, const std::string& dir, int count) {
    return assemble(decoder, dir, count, nullptr);
}

int assembleParts(Decoder& decoder, const std::string& dir, int count, StreamedPart& streamed) {
    return assemble(decoder, dir, count, &streamed);
}

std::optional<int> decodeSinglePost(Decoder& decoder, const std::string& dir, bool setExists,
                                    std::string_view beginLine, PartReader& reader) {
    std::optional<std::string> news = decoder.newsDirectory();
    if (!news) return std::nullopt;
    std::string temporary = joinPath(*news, TemporaryOutputPrefix + std::string("XXXXXX"));
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) return std::nullopt;
    ::fchmod(fd.get(), 0644);  // as a file the user saves, not mkostemp's 0600
    FilePtr file(::fdopen(fd.get(), "wb"));
    if (!file) {
        std::remove(temporary.c_str());
        return std::nullopt;
    }
    fd.release();
    // The assembler writes in large blocks of its own: straight through, without a copy.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    std::string name;
    std::string type;
    PartAssembler machine(decoder, [&](std::string_view n, std::string_view t) {
        name.assign(n);
        type.assign(t);
        // Errors name the file that was wanted, not the hidden one.
        std::string safe = safeOutputName(n);
        return PartAssembler::Output{
            std::move(file), {}, joinPath(*news, safe.empty() ? std::string("part") : safe)};
    });
    if (machine.feed(beginLine) != PartAssembler::Step::Continue || machine.lookingForBegin()) {
        std::remove(temporary.c_str());
        return std::nullopt;
    }
    bool finished = false;
    bool complete = false;
    std::string line;
    for (;;) {
        // The body's full data lines straight from the read buffer; line by line at the
        // edges, where the state machine decides.
        if (!finished) reader.consume(machine.feedFullLines(reader.peek()));
        if (!reader.readLine(line, LineLimit)) break;
        if (!finished) finished = machine.feed(line) == PartAssembler::Step::Finished;
        if (isEndLine(line)) {
            complete = true;
            break;
        }
    }
    machine.closeOutput();
    // Storing the part would have replaced an older part 1 of this set, and the assembly
    // would have removed it.
    if (setExists) removeParts(decoder, dir, 1, 1);
    if (machine.outputFailed()) {
        // Reported; nothing of it is kept, and the article has to be decoded again.
        std::remove(temporary.c_str());
        if (setExists) decoder.removePartDirectory(dir);
        return 1;
    }
    if (!complete) {
        // Cut before its "end" line: it never becomes a file.
        std::remove(temporary.c_str());
        if (setExists) decoder.removePartDirectory(dir);
        return 0;
    }
    if (setExists) takeDescription(decoder, dir);
    std::optional<std::string> path = decoder.outputPath(name, type);
    if (!path) {
        std::remove(temporary.c_str());
        returnDescription(decoder, dir);
        return 1;
    }
    decoder.keepOutput(temporary, *path, type);
    if (setExists) clearSet(decoder, dir, 1);
    return 0;
}

}  // namespace qm
