// SPDX-License-Identifier: GPL-3.0-or-later
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
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode/filestart.h"
#include "decode/outputnames.h"
#include "platform/file.h"

namespace qm {

class GroupEntry;
class LogFile;

// An article a decoded file came from: its message-id as the article gives it (angle brackets
// included) and the size of its text.
struct ArticleSegment {
    std::string messageId;
    std::int64_t bytes = 0;

    bool operator==(const ArticleSegment&) const = default;
};

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
    // The article the text is, for its record when it is committed: its message-id and its
    // number in group (empty and -1 for manual decoding).
    std::string messageId;
    std::int64_t articleNumber = -1;
    std::int64_t articleBytes = 0;  // the size of its text; 0 when not known
};

// The name with which decoded bodies start in "news.dat" (followed by six characters that
// make it unique): hidden, and never reported, so one left by a crash is never taken for a
// decoded file.
inline constexpr char TemporaryOutputPrefix[] = ".qmere-decoding-";
static_assert(std::string_view(TemporaryOutputPrefix).starts_with(ProgramNamePrefix),
              "a decoded file could be taken for an unfinished one");

// Removes the hidden decoding files in newsDirectory (or in "tmp": working copies of the
// pending description) that a process killed while writing left behind; the number removed. Every
// such file is committed or removed before DecodeLock is released, so the caller holds DecodeLock
// and none of them is in use. A file whose article was committed but that still has its hidden name
// is the journal's to rename: the journal is replayed before this runs.
int removeAbandonedOutputs(const std::string& newsDirectory);

// A decoded file waiting for its article's commit: written whole under a hidden temporary
// name in "news.dat", its name chosen and reserved (no other file of the article gets it).
struct PendingOutput {
    std::string temporaryPath;
    std::string path;
    std::string contentType;
    // Its description, waiting likewise; both empty when it has none.
    std::string descriptionTemporaryPath;
    std::string descriptionPath;
    FileStart start;  // known for a file written through an OutputFile
    // The articles of a file assembled from the parts of a set, in part order; empty for a
    // file of the article alone.
    std::vector<ArticleSegment> segments;
};

// What committing an article does, in this order: its files get their names, then what the
// article used up in the part collections ("tmp") is removed, then the files are reported.
// Until then the collections stay as they were, so an article that is decoded again (after a
// crash, or a failure) finds the same parts.
struct ArticleOutputs {
    std::vector<PendingOutput> files;
    std::vector<std::string> removedFiles;        // part and set files
    std::vector<std::string> removedDirectories;  // collection folders, when empty by then
    int assembled = 0;                            // multi-part files among files
    // The pending description the article leaves for the next file: its working copy
    // (descriptionWork) becomes "tempdesc.txt" (Kept), or "tempdesc.txt" goes (Dropped).
    enum class Description { Unchanged, Kept, Dropped };
    Description description = Description::Unchanged;
    std::string descriptionWork;

    bool empty() const {
        return files.empty() && removedFiles.empty() && removedDirectories.empty() &&
               description == Description::Unchanged;
    }
};

// What decodeArticle tells its caller about the files the article's content had to go to.
struct DecodeResult {
    // 0 when every such file was written whole and the article committed. Otherwise the
    // errno of the first that could not be created, written, closed or named (ENOSPC when the
    // disk is full), or of the journal record that could not be written, and its path. The
    // article is then not committed: none of its files is kept under its name nor as a
    // hidden temporary, none was reported to the sink (so not logged as "Decoded file" nor
    // catalogued), their descriptions went with them; parts of split posts stay stored as
    // they were. The article was not stored whole: it has to be fetched and decoded again
    // later, so its message-id must not go into the index.
    int error = 0;
    std::string path;

    bool outputFailed() const { return error != 0; }
};

// What the catalogue does with decoded files; installed by the catalogue.
class DecodeSink {
  public:
    virtual ~DecodeSink() = default;
    // A named file was created at path for the article of inputs; its description (if any)
    // is at descriptionPath, else descriptionPath is empty. start: its size and first bytes,
    // when the decoder knows them and the sink wants them (wantsFileStart).
    virtual void onFileDecoded(const DecodeInputs& inputs, const std::string& path,
                               const std::string& descriptionPath, const FileStart& start) = 0;
    // Whether onFileDecoded wants to know a file's start (it costs a read of every file).
    virtual bool wantsFileStart() const { return false; }
    // A multi-part file was assembled: counts it for the group of inputs.
    virtual void countAssembled(const DecodeInputs& inputs) = 0;
    // The article of inputs was decoded whole: records what its commit does, before any of
    // it is done (the commit point: from here on a crash no longer loses the article). A
    // failure (its errno and path): nothing of the article is kept. Without a record (the
    // default) the commit goes on.
    virtual DecodeResult commitArticle(const DecodeInputs& inputs, const ArticleOutputs& outputs) {
        (void)inputs;
        (void)outputs;
        return {};
    }
};

// A decoded body on its way to its output file: written under a hidden temporary name in
// "news.dat" and handed to the article's commit by Decoder::finishOutputFile once complete,
// so that a process that dies while writing never leaves a cut-short file under a name the
// catalogue or the numbering would take for a decoded one. Removes the temporary file unless
// finished.
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

    // Decodes everything in an open file and closes it, with the inputs of that article,
    // then commits the article (commit()). Writes "Did not find anything to unpack...\n" as a
    // warning when nothing was found. Caller holds DecodeLock. The result says whether the
    // article's content could be stored (see DecodeResult).
    [[nodiscard]] DecodeResult decodeArticle(FilePtr in, const DecodeInputs& inputs, bool quiet,
                                             bool overwrite, bool keepText);

    // Commits what was decoded since the last commit: unless an output failed, the sink
    // records it (commitArticle), then the files get their names, the collections what the
    // article used up is removed, and the files are reported (onFileDecoded, the standard
    // output line, countAssembled). On a failure every file waiting is removed instead.
    // decodeArticle ends with it; the steps below, called on their own, wait for it.
    void commit();
    // What waits for the next commit.
    const ArticleOutputs& pendingOutputs() const { return m_outputs; }

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
    // Removes a collection directory (path ending with "/") at the commit, when it is empty.
    void removePartDirectory(std::string_view directory);
    // Removes a part or set file at the commit: the collection stays whole until the article
    // that used it up is committed.
    void removeAtCommit(std::string path);

    // Starts the output file for a decoded body: a hidden temporary file in the output
    // directory's "news.dat". Empty on failure (an output failure, with the path the file
    // would have had).
    OutputFile openOutputFile(std::optional<std::string_view> name, std::string_view contentType);
    // Closes output and chooses its name: safe, numbered when it exists (or another file of
    // the article has it) and overwrite is off, "part<N>" when nameless; takes the pending
    // description with it (keepOutput). False (an output failure) when it could not be
    // closed or named; nothing is left then.
    bool finishOutputFile(OutputFile& output);

    // The two halves of openOutputFile, for a body decoded into a temporary file first:
    // outputPath makes the directories on the way and picks the path (empty and reported on
    // failure); a nameless file gets "part<N>" in "news.dat", with the extension of a picture
    // or video contentType. keepOutput hands the finished hidden file temporaryPath (in
    // "news.dat") to the commit, to be named path, with the pending description.
    std::optional<std::string> outputPath(std::optional<std::string_view> name,
                                          std::string_view contentType = {});
    void keepOutput(std::string temporaryPath, std::string path, std::string_view contentType,
                    FileStart start = {});
    // A hidden file in "news.dat" with the content of from (a hard link, else a copy), which
    // stays where it is; nothing (an output failure for path, the name it is to get) when it
    // cannot be made.
    std::optional<std::string> stageFile(const std::string& from, const std::string& path);
    // The output directory's "news.dat", created if missing (no trailing "/").
    std::optional<std::string> newsDirectory();

    // The pending description file ("tempdesc.txt", in the data directory's "tmp" so that
    // the decoder works whatever the working directory is). While decodeArticle runs, the
    // article's working copy of it (hidden in "tmp"): what the article does to it counts only
    // once the article is committed.
    std::string pendingDescriptionPath() const;
    // The description of a set (its file "0") becomes the pending description; the set's
    // file is removed at the commit, so a set whose article is not committed keeps it.
    void takeSetDescription(const std::string& description);

    // Counts an assembled multi-part file (through the sink, at the commit).
    void countAssembled();

    // Notes the article being decoded as part of the collection dir (ending with "/"), so
    // that the file the set becomes knows every article it came from.
    void notePart(const std::string& dir, int part);
    // The files made since output first are the set of dir: they get the articles its parts
    // were noted for, with the article being decoded as part (0: noted already). The notes go
    // at the commit, with the set.
    void takeParts(const std::string& dir, int part, std::size_t first);
    // How many files wait for the commit: where takeParts starts.
    std::size_t outputCount() const { return m_outputs.files.size(); }

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
    // True when a file is at path, or a file of the article waits to get that name.
    bool taken(const std::string& path) const;
    // A new empty hidden file in "news.dat"; nothing when it cannot be made (errno).
    std::optional<std::string> hiddenFile();
    // Moves the pending description into a hidden file for file's description, which gets
    // its name with file; nothing happens when there is none. When something is at the
    // description's name (or waits to get it), the description is dropped with a warning:
    // it never replaces a file.
    void takePendingDescription(PendingOutput& file);
    // The commit's steps once the article is recorded.
    void publish(ArticleOutputs& outputs);
    static void discard(ArticleOutputs& outputs);
    // "tempdesc.txt" itself.
    std::string committedDescriptionPath() const;
    // Starts the article's working copy of the pending description.
    void startDescriptionWork();

    DecodeSink* m_sink = nullptr;
    DecodeInputs m_inputs;
    bool m_quiet = false;
    bool m_overwrite = false;
    bool m_found = false;
    // While decodeArticle runs: the article's working copy of the pending description, and
    // whether there was one when it started.
    std::string m_descriptionWork;
    bool m_describedBefore = false;
    unsigned long m_articles = 0;  // names the working copies
    std::string m_lastOutputPath;
    DecodeResult m_result;
    ArticleOutputs m_outputs;  // waiting for the commit
    std::vector<char> m_outputBuffer;
    std::vector<char> m_inputBuffer;
};

}  // namespace qm
