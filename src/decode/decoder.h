#pragma once
// The article decoder's entry and its boundary with the rest of the program: where decoded
// files and part collections are created, how their names are made safe and unique, how a
// pending description becomes a ".desc" file, how new files reach the catalogue, and the
// decoder's three output channels (information and warnings to the "Log" file, errors to
// standard error).
//
// One per program, owned by the session. Not re-entrant: every call runs with DecodeLock held
// (reader threads and manual decoding alike). Everything a decode needs besides the article
// comes with the call (DecodeInputs): decoded files go below its output directory in
// "news.dat", part collections below its data directory's "tmp". No name from the input ever
// leads outside those two.
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace qm {

class GroupEntry;
class LogFile;

// What one article's decoding needs besides its text: handed to decodeArticle and on to the
// sink with every file, so nothing is read from the calling thread or from shared settings.
struct DecodeInputs {
    // The data directory (empty: the program directory): its "tmp" holds part collections
    // and the pending description.
    std::string dataDirectory;
    // Decoded files go to its "news.dat": the group's folder for a reader, the data directory
    // for manual decoding (empty: the data directory).
    std::string outputDirectory;
    // The group the catalogue records decoded files for; null for manual decoding.
    GroupEntry* group = nullptr;
    // The article's subject: the description of its files in the picture list.
    std::string subject;
    // Where information and warning lines go; null drops them.
    LogFile* log = nullptr;
    // The article's message-id, recorded with its pictures; empty when not known.
    std::string messageId;
};

// The name with which decoded bodies start in "news.dat" (followed by six characters that
// make it unique): hidden, and never reported, so one left by a crash is never taken for a
// decoded file.
inline constexpr char TemporaryOutputPrefix[] = ".qmere-decoding-";

// Removes the hidden decoding files in newsDirectory that a process killed while writing
// left behind; the number removed. Every such file is finished or removed before DecodeLock
// is released, so the caller holds DecodeLock and none of them is in use.
int removeAbandonedOutputs(const std::string& newsDirectory);

// What decodeArticle tells its caller about the files the article's content had to go to.
struct DecodeResult {
    // 0 when every such file was written whole. Otherwise the errno of the first that could
    // not be created, written, closed or named (ENOSPC when the disk is full), and its path.
    // The file that failed is not kept under its name nor as a hidden temporary, was not
    // reported to the sink (so not logged as "Decoded file" nor catalogued) and got no
    // description; parts of split posts that were stored before stay stored. The article
    // was not stored whole: it has to be fetched and decoded again later, so its message-id
    // must not go into the index. Files of the same article that were finished before the
    // failure are kept and reported as usual.
    int error = 0;
    std::string path;

    bool outputFailed() const { return error != 0; }
};

// What the catalogue does with decoded files; installed by the catalogue.
class DecodeSink {
  public:
    virtual ~DecodeSink() = default;
    // A named file was created at path for the article of inputs; its description (if any)
    // is at descriptionPath, else descriptionPath is empty.
    virtual void onFileDecoded(const DecodeInputs& inputs, const std::string& path,
                               const std::string& descriptionPath) = 0;
    // A multi-part file was assembled: counts it for the group of inputs.
    virtual void countAssembled(const DecodeInputs& inputs) = 0;
};

// A decoded body on its way to its output file: written under a hidden temporary name in
// "news.dat" and given its final name by Decoder::finishOutputFile once complete, so that a
// process that dies while writing never leaves a cut-short file under a name the catalogue
// or the numbering would take for a decoded one. Removes the temporary file unless finished.
class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    ~OutputFile();

    explicit operator bool() const { return static_cast<bool>(m_file); }
    std::FILE* get() const { return m_file.get(); }
    // Where the body is written until it is finished.
    const std::string& temporaryPath() const { return m_temporaryPath; }
    // The path the file is meant to get (before numbering), for error messages.
    const std::string& wantedPath() const { return m_wantedPath; }

  private:
    friend class Decoder;
    void discard();

    FilePtr m_file;
    std::string m_temporaryPath;
    std::string m_wantedPath;
    std::optional<std::string> m_name;
    std::string m_contentType;
};

class Decoder {
  public:
    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    void setSink(DecodeSink* sink) { m_sink = sink; }

    // Decodes everything in an open file and closes it, with the inputs of that article.
    // Writes "Did not find anything to unpack...\n" as a warning when nothing was found.
    // Caller holds DecodeLock. The result says whether the article's content could be stored
    // (see DecodeResult).
    [[nodiscard]] DecodeResult decodeArticle(FilePtr in, const DecodeInputs& inputs, bool quiet,
                                             bool overwrite, bool keepText);

    // The inputs the services below work with: those of the article being decoded, or of
    // the last one. Caller holds DecodeLock.
    void setInputs(DecodeInputs inputs) { m_inputs = std::move(inputs); }
    const DecodeInputs& inputs() const { return m_inputs; }

    // ---- services for the decoding steps (MIME decoder, uuencode scanner)

    // found := true; unless quiet, text + "\n" to the log file.
    void information(std::string_view text);
    // "Warning: " + text + "\n" to the log file.
    void warning(std::string_view text);
    // "<path> was corrupted in transit" about the output file created last.
    void corruptionWarning();
    // path + ": " + the system's error text (errno) on standard error.
    void errorOutput(std::string_view path);
    // A file the article's content goes to could not be created, written, closed or named:
    // reported as errorOutput does, and the first such failure becomes the article's result.
    // The caller removes what it left behind.
    void outputFailed(std::string_view path, int error = errno);
    const DecodeResult& result() const { return m_result; }

    // The collection directory for name below the data directory's "tmp", created if
    // missing, ending with "/"; nothing (and a warning) when it cannot be created.
    std::optional<std::string> partDirectory(std::string_view name);
    // The path partDirectory would give, ending with "/", without creating anything: most
    // posts never store a part, and making and removing a directory costs more than they do.
    std::string partDirectoryPath(std::string_view name) const;
    // Removes a collection directory (path ending with "/") when it is empty.
    void removePartDirectory(std::string_view directory);

    // Starts the output file for a decoded body: a hidden temporary file in the output
    // directory's "news.dat". Empty on failure (an output failure, with the path the file
    // would have had).
    OutputFile openOutputFile(std::optional<std::string_view> name, std::string_view contentType);
    // Closes output and gives it its name: safe, numbered when it exists and overwrite is
    // off, "part<N>" when nameless; attaches the pending description and reports the file to
    // the sink. False (an output failure) when it could not be closed or named; nothing is
    // left then.
    bool finishOutputFile(OutputFile& output);

    // The two halves of openOutputFile, for a body decoded into a temporary file first:
    // outputPath makes the directories on the way and picks the path (empty and reported on
    // failure); a nameless file gets "part<N>" in "news.dat", with the extension of a picture
    // or video contentType. announceOutput does what follows the opening of a file at path.
    std::optional<std::string> outputPath(std::optional<std::string_view> name,
                                          std::string_view contentType = {});
    void announceOutput(const std::string& path, std::string_view contentType);
    // The output directory's "news.dat", created if missing (no trailing "/").
    std::optional<std::string> newsDirectory();

    // The pending description file ("tempdesc.txt", in the data directory's "tmp" so that
    // the decoder works whatever the working directory is).
    std::string pendingDescriptionPath() const;

    // Counts an assembled multi-part file (through the sink).
    void countAssembled();

    std::string dataDirectory() const;
    bool found() const { return m_found; }
    bool quiet() const { return m_quiet; }
    const std::string& lastOutputPath() const { return m_lastOutputPath; }
    bool overwrite() const { return m_overwrite; }

    // Scratch space reused from article to article (fresh memory is slow to touch).
    std::vector<char>& outputBuffer() { return m_outputBuffer; }
    std::vector<char>& inputBuffer() { return m_inputBuffer; }

  private:
    std::string outputDirectory() const;
    std::string tmpDirectory() const;
    // Renames the pending description to descriptionPath; false when there is none, or when
    // something is at descriptionPath already (then the description is dropped, with a
    // warning: it never replaces a file).
    bool attachPendingDescription(const std::string& descriptionPath);

    DecodeSink* m_sink = nullptr;
    DecodeInputs m_inputs;
    bool m_quiet = false;
    bool m_overwrite = false;
    bool m_found = false;
    std::string m_lastOutputPath;
    DecodeResult m_result;
    std::vector<char> m_outputBuffer;
    std::vector<char> m_inputBuffer;
};

}  // namespace qm
