// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The last step of a split post: a line-by-line uudecoder over the stored parts of a set, in
// order, that finds the "begin" line, decodes the data lines to the output file and clears
// the collection away. Also the two quicker roads for the part that completes a set: decode
// it straight from the article instead of storing and re-reading it.
//
// Runs inside Decoder::decodeArticle with DecodeLock held, on the thread that decodes. The
// collection directories are the decoder's (below the data directory's "tmp").
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decoder.h"
#include "platform/file.h"

namespace qm {

class Decoder;
class PartReader;

// The most parts a set may have; larger numbers from the input are refused.
inline constexpr int MaxParts = 100000;

// The state machine of one assembly: feed it the lines of parts 1 to n in order and call
// endPart() between parts. Owns the output file while decoding; flushes it in large writes.
class PartAssembler {
  public:
    enum class Step {
        Continue,  // go on with the next line
        SkipPart,  // the rest of this part goes to the BinHex handler: skip it
        Finished,  // the "end" line was decoded and the output closed
        Failed,    // the output of a "begin" line could not be created
    };
    struct Output {
        FilePtr file;      // a file whose naming the opener's caller sees to
        OutputFile named;  // or one that closing gives its name (Decoder::finishOutputFile)
        std::string path;  // for error messages
        std::FILE* stream() const { return file ? file.get() : named.get(); }
    };
    using OutputOpener = std::function<Output(std::string_view name, std::string_view type)>;

    // Outputs are created with Decoder::openOutputFile.
    explicit PartAssembler(Decoder& decoder);
    PartAssembler(Decoder& decoder, OutputOpener opener);
    PartAssembler(const PartAssembler&) = delete;
    PartAssembler& operator=(const PartAssembler&) = delete;
    ~PartAssembler();

    Step feed(std::string_view line);
    // Feeds the whole lines at the front of text for as long as each would only be decoded
    // as a full data line; returns the number of bytes used. The lines must be as read
    // with a 1024-byte line buffer would give them; the rest goes to feed() line by line.
    size_t feedFullLines(std::string_view text);
    void endPart();
    // Writes what is buffered and closes the output. An output that could not be written
    // whole is not kept under a name (one made by OutputOpener is the caller's to remove).
    void closeOutput();
    // True once an output could not be created, written, closed or named (reported to the
    // decoder as an output failure).
    bool outputFailed() const { return m_outputFailed; }

    bool lookingForBegin() const { return m_state == State::LookingForBegin; }
    bool inBinHex() const { return m_state == State::BinHex; }

  private:
    enum class State { LookingForBegin, Waiting, InData, AfterLastLine, ExpectingEnd, BinHex };

    Step lookForBegin(std::string_view line);
    Step inData(std::string_view line);
    void decodeLine(std::string_view line);
    void flush();

    Decoder& m_decoder;
    OutputOpener m_opener;
    State m_state = State::LookingForBegin;
    size_t m_fullLength = 0;
    std::string m_lastLine;
    Output m_output;
    std::vector<char>& m_buffer;
    size_t m_filled = 0;
    bool m_writeFailed = false;  // of the current output
    bool m_outputFailed = false;
};

// The file name of a "begin " line: after the mode and the white space, to the end of the
// line (trailing white space dropped). Empty when the line has none (the file then gets a
// generated name).
std::string_view beginLineName(std::string_view line);
// A line that is exactly "end" with its line end ("\n" or "\r\n").
bool isEndLine(std::string_view line);

// Decodes the set in dir (ending with "/") of count parts from its part files; the
// description ("0") becomes the pending description first. 0 when done, 1 on an error. The
// part files are removed only when the output was written whole.
int assembleParts(Decoder& decoder, const std::string& dir, int count);

// The part being saved, taken from the article instead of its part file: firstLine (when
// given) and then the rest of reader.
struct StreamedPart {
    int number;
    std::optional<std::string_view> firstLine;
    PartReader& reader;
    // False for a set of one whose folder was never made: nothing of it is on disk to take
    // over or remove.
    bool setExists = true;
};
// assembleParts for a set that the streamed part completes. Leaves the same files as
// storing the part and assembling: on an error, the streamed part is stored in its file.
int assembleParts(Decoder& decoder, const std::string& dir, int count, StreamedPart& streamed);

// A part 1 of an unknown count that starts with beginLine (which has a name) and is the
// whole set once its "end" line is read: decoded into a temporary file in "news.dat" and
// made the output file when the "end" line arrives; without it nothing is kept. Nothing when
// the temporary file cannot be made (then store the part instead); else 0, or 1 on an error.
// setExists false: the caller found no folder dir, so there is nothing of the set to take
// over or remove (no removal that can only fail per article).
std::optional<int> decodeSinglePost(Decoder& decoder, const std::string& dir, bool setExists,
                                    std::string_view beginLine, PartReader& reader);

}  // namespace qm
