// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/decoder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <utility>

#include "decode/mimedecoder.h"
#include "decode/mimeheader.h"
#include "decode/outputnames.h"
#include "decode/partreader.h"
#include "platform/logfile.h"
#include "platform/paths.h"

namespace qm {
namespace {

// Beside a collection's parts: one line "part bytes message-id" per part stored.
constexpr char PartNotesName[] = "ids";

// The notes of a collection by part; a line that is not whole (a kill while it was appended)
// or not as notePart writes it is left out: it costs only the export of that part's id.
std::map<int, ArticleSegment> parsePartNotes(std::string_view text) {
    std::map<int, ArticleSegment> parts;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) break;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::size_t first = line.find(' ');
        const std::size_t second = line.find(' ', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) continue;
        int part = 0;
        std::int64_t bytes = 0;
        const std::string_view id = line.substr(second + 1);
        auto [p, e1] = std::from_chars(line.data(), line.data() + first, part);
        auto [b, e2] = std::from_chars(line.data() + first + 1, line.data() + second, bytes);
        if (e1 != std::errc() || p != line.data() + first || e2 != std::errc() ||
            b != line.data() + second || part < 1 || bytes < 0 || id.empty() ||
            id.find(' ') != std::string_view::npos)
            continue;
        parts[part] = {std::string(id), bytes};
    }
    return parts;
}

// Numbered and "part<N>" names are tried up to this; past it the directory is not sane.
constexpr int MaxNameNumber = 1000000;

// Copies from to a new file to; nothing is left at to when it fails.
bool copyFile(const std::string& from, const std::string& to) {
    FilePtr in = openFile(from, "rb");
    if (!in) return false;
    FilePtr out = openFile(to, "wb");
    if (!out) return false;
    char buffer[65536];
    size_t n;
    bool ok = true;
    while (ok && (n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0)
        ok = std::fwrite(buffer, 1, n, out.get()) == n;
    ok = ok && !std::ferror(in.get());
    if (std::fclose(out.release()) != 0 || !ok) {
        int error = errno;
        std::remove(to.c_str());
        errno = error;
        return false;
    }
    return true;
}

// The extension a generated name gets for contentType, so that a nameless picture is still
// shown as one.
std::string_view extensionFor(std::string_view contentType) {
    if (equalsNoCase(contentType, "image/gif")) return ".gif";
    if (equalsNoCase(contentType, "image/jpeg")) return ".jpg";
    if (equalsNoCase(contentType, "video/mpeg")) return ".mpg";
    return {};
}

}  // namespace

DecodeResult Decoder::decodeArticle(FilePtr in, const DecodeInputs& inputs, bool quiet,
                                    bool overwrite, bool keepText) {
    m_inputs = inputs;
    m_found = false;
    m_quiet = quiet;
    m_overwrite = overwrite;
    m_lastOutputPath.clear();
    m_result = DecodeResult();
    discard(m_outputs);  // left by steps called on their own, never committed
    m_outputs = ArticleOutputs();
    m_descriptionWork.clear();
    // The pending description lives in tmp: it has to exist before a description is kept.
    if (makeDirectories(tmpDirectory()) != 0) errorOutput(tmpDirectory());
    startDescriptionWork();
    if (in) {
        try {
            PartReader reader(std::move(in));
            handleMessage(*this, reader, "text/plain", false, keepText);
        } catch (const std::bad_alloc&) {
            std::fputs("Memory exhausted\n", stderr);
            std::exit(1);
        }
    }
    if (!m_found) warning("Did not find anything to unpack...\n");
    commit();
    return m_result;
}

void Decoder::startDescriptionWork() {
    // Unique in this process; a killed process's copies are removed at the next start.
    const std::string work = joinPath(
        tmpDirectory(), TemporaryOutputPrefix + std::string("description-") +
                            std::to_string(::getpid()) + "-" + std::to_string(++m_articles));
    const std::string committed = committedDescriptionPath();
    m_describedBefore = fileExists(committed);
    if (m_describedBefore && !copyFile(committed, work)) {
        // Without a copy the article works on the description itself, as it always could.
        errorOutput(work);
        return;
    }
    m_descriptionWork = work;
}

void Decoder::commit() {
    ArticleOutputs outputs = std::exchange(m_outputs, ArticleOutputs());
    if (!m_descriptionWork.empty()) {
        using Description = ArticleOutputs::Description;
        const bool describedAfter = fileExists(m_descriptionWork);
        outputs.description = describedAfter      ? Description::Kept
                              : m_describedBefore ? Description::Dropped
                                                  : Description::Unchanged;
        outputs.descriptionWork = std::exchange(m_descriptionWork, std::string());
    }
    if (m_result.outputFailed()) {
        // Not stored whole: the article is decoded again when it is fetched again, and finds
        // the collections as they were.
        discard(outputs);
        return;
    }
    if (m_sink) {
        DecodeResult recorded = m_sink->commitArticle(m_inputs, outputs);
        if (recorded.outputFailed()) {
            outputFailed(recorded.path, recorded.error);
            discard(outputs);
            return;
        }
    }
    publish(outputs);
}

void Decoder::publish(ArticleOutputs& outputs) {
    std::vector<const PendingOutput*> named;
    for (PendingOutput& file : outputs.files) {
        if (std::rename(file.temporaryPath.c_str(), file.path.c_str()) != 0) {
            // Recorded already: the record's replay at the next start names it.
            errorOutput(file.path);
            continue;
        }
        if (!file.descriptionTemporaryPath.empty() &&
            std::rename(file.descriptionTemporaryPath.c_str(), file.descriptionPath.c_str()) != 0) {
            errorOutput(file.descriptionPath);
            file.descriptionPath.clear();
        }
        named.push_back(&file);
    }
    for (const std::string& path : outputs.removedFiles) std::remove(path.c_str());
    // A folder that still holds parts of another post stays; that is no error.
    for (const std::string& directory : outputs.removedDirectories) ::rmdir(directory.c_str());
    if (outputs.description == ArticleOutputs::Description::Kept &&
        std::rename(outputs.descriptionWork.c_str(), committedDescriptionPath().c_str()) != 0)
        errorOutput(committedDescriptionPath());
    if (outputs.description == ArticleOutputs::Description::Dropped)
        std::remove(committedDescriptionPath().c_str());
    for (const PendingOutput* file : named) {
        if (m_sink) m_sink->onFileDecoded(m_inputs, file->path, file->descriptionPath, file->start);
        std::printf("%s (%s)\n", file->path.c_str(), file->contentType.c_str());
    }
    for (int i = 0; i < outputs.assembled; ++i)
        if (m_sink) m_sink->countAssembled(m_inputs);
}

void Decoder::discard(ArticleOutputs& outputs) {
    for (const PendingOutput& file : outputs.files) {
        std::remove(file.temporaryPath.c_str());
        if (!file.descriptionTemporaryPath.empty())
            std::remove(file.descriptionTemporaryPath.c_str());
    }
    // "tempdesc.txt" stays as it was before the article.
    if (!outputs.descriptionWork.empty()) std::remove(outputs.descriptionWork.c_str());
    outputs = ArticleOutputs();
}

void Decoder::information(std::string_view text) {
    m_found = true;
    if (m_quiet) return;
    std::string line(text);
    line += '\n';
    if (m_inputs.log) m_inputs.log->write(line);
}

void Decoder::warning(std::string_view text) {
    std::string line = "Warning: ";
    line += text;
    line += '\n';
    if (m_inputs.log) m_inputs.log->write(line);
}

void Decoder::corruptionWarning() {
    warning(m_lastOutputPath + " was corrupted in transit");
}

void Decoder::errorOutput(std::string_view path) {
    int error = errno;
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(path.size()), path.data(),
                 std::strerror(error));
}

void Decoder::outputFailed(std::string_view path, int error) {
    errno = error;
    errorOutput(path);
    if (m_result.outputFailed()) return;
    m_result.error = error != 0 ? error : EIO;
    m_result.path.assign(path);
}

std::optional<std::string> Decoder::partDirectory(std::string_view name) {
    std::string tmp = tmpDirectory();
    std::string dir = joinPath(tmp, collectionName(name));
    bool made = makeDirectories(tmp) == 0 &&
                (::mkdir(dir.c_str(), 0777) == 0 || (errno == EEXIST && isDirectory(dir)));
    if (!made) {
        int error = errno;
        warning("fail create dir for " + std::string(name));
        outputFailed(dir, error);
        return std::nullopt;
    }
    return dir + "/";
}

std::string Decoder::partDirectoryPath(std::string_view name) const {
    return joinPath(tmpDirectory(), collectionName(name)) + "/";
}

void Decoder::removePartDirectory(std::string_view directory) {
    std::string path(directory);
    if (!path.empty() && path.back() == '/') path.pop_back();
    m_outputs.removedDirectories.push_back(std::move(path));
}

void Decoder::removeAtCommit(std::string path) {
    m_outputs.removedFiles.push_back(std::move(path));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : m_file(std::move(other.m_file)),
      m_temporaryPath(std::move(other.m_temporaryPath)),
      m_wantedPath(std::move(other.m_wantedPath)),
      m_name(std::move(other.m_name)),
      m_contentType(std::move(other.m_contentType)) {
    other.m_temporaryPath.clear();  // the file is this one's to remove now
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        m_file = std::move(other.m_file);
        m_temporaryPath = std::move(other.m_temporaryPath);
        m_wantedPath = std::move(other.m_wantedPath);
        m_name = std::move(other.m_name);
        m_contentType = std::move(other.m_contentType);
        other.m_temporaryPath.clear();
    }
    return *this;
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() {
    m_file.reset();
    if (!m_temporaryPath.empty()) std::remove(m_temporaryPath.c_str());
    m_temporaryPath.clear();
}

OutputFile Decoder::openOutputFile(std::optional<std::string_view> name,
                                   std::string_view contentType) {
    OutputFile output;
    std::optional<std::string> news = newsDirectory();
    if (!news) return output;
    std::string safe = name ? safeOutputName(*name) : std::string();
    std::string wanted = joinPath(*news, safe.empty() ? std::string("part") : safe);
    std::string temporary = joinPath(*news, TemporaryOutputPrefix + std::string("XXXXXX"));
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    FilePtr file;
    if (fd) {
        ::fchmod(fd.get(), 0644);  // as a file the user saves, not mkostemp's 0600
        file.reset(::fdopen(fd.get(), "wb"));
        if (file) {
            fd.release();
        } else {
            std::remove(temporary.c_str());
        }
    }
    if (!file) {
        // Nothing was created: the pending description waits for the next file, and
        // nothing is reported to the catalogue. The error names the file that was wanted.
        outputFailed(wanted);
        return output;
    }
    output.m_file = std::move(file);
    output.m_temporaryPath = std::move(temporary);
    output.m_wantedPath = std::move(wanted);
    if (name) output.m_name.emplace(*name);
    output.m_contentType.assign(contentType);
    return output;
}

bool Decoder::finishOutputFile(OutputFile& output) {
    if (!output) return false;
    // A flush or close that fails (the last buffered bytes could not be written) loses data
    // too. A failed flush drops the buffer, so the close after it would succeed: both count.
    const bool flushed = std::fflush(output.m_file.get()) == 0;
    const int flushError = flushed ? 0 : errno;
    FileStart start;
    if (flushed && m_sink && m_sink->wantsFileStart())
        start = FileStart::of(::fileno(output.m_file.get()));
    if (std::fclose(output.m_file.release()) != 0 || !flushed) {
        outputFailed(output.m_wantedPath, flushed ? errno : flushError);
        output.discard();
        return false;
    }
    std::optional<std::string_view> name;
    if (output.m_name) name = *output.m_name;
    std::optional<std::string> path = outputPath(name, output.m_contentType);
    if (!path) {
        output.discard();
        return false;
    }
    keepOutput(std::exchange(output.m_temporaryPath, std::string()), std::move(*path),
               output.m_contentType, std::move(start));
    return true;
}

void Decoder::keepOutput(std::string temporaryPath, std::string path, std::string_view contentType,
                         FileStart start) {
    PendingOutput file;
    file.start = std::move(start);
    file.temporaryPath = std::move(temporaryPath);
    file.path = std::move(path);
    file.contentType.assign(contentType);
    takePendingDescription(file);
    m_lastOutputPath = file.path;
    m_found = true;
    m_outputs.files.push_back(std::move(file));
}

std::optional<std::string> Decoder::hiddenFile() {
    std::optional<std::string> news = newsDirectory();
    if (!news) return std::nullopt;
    std::string path = joinPath(*news, TemporaryOutputPrefix + std::string("XXXXXX"));
    UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
    if (!fd) return std::nullopt;
    ::fchmod(fd.get(), 0644);  // as a file the user saves, not mkostemp's 0600
    return path;
}

std::optional<std::string> Decoder::stageFile(const std::string& from, const std::string& path) {
    std::optional<std::string> hidden = hiddenFile();
    if (hidden) {
        // A second name for the same bytes: nothing is copied, and from stays whole until the
        // commit, for a next try when the article is not committed.
        std::remove(hidden->c_str());
        if (::link(from.c_str(), hidden->c_str()) == 0) return hidden;
        // Another file system, or one without hard links.
        if (copyFile(from, *hidden)) return hidden;
    }
    outputFailed(path);
    return std::nullopt;
}

bool Decoder::taken(const std::string& path) const {
    for (const PendingOutput& file : m_outputs.files)
        if (file.path == path || file.descriptionPath == path) return true;
    return fileExists(path);
}

std::optional<std::string> Decoder::outputPath(std::optional<std::string_view> name,
                                               std::string_view contentType) {
    std::optional<std::string> news = newsDirectory();
    if (!news) return std::nullopt;
    // Only the part below the output directory is made safe: the data directory is the
    // user's choice and may hold blanks or other excluded characters. Cut to what its file
    // system takes (some take fewer than 255 bytes), the name keeps its extension.
    const size_t limit = fileNameLimit(*news);
    std::string safe = name ? safeOutputName(*name, limit) : std::string();
    if (safe.empty()) {
        // Inside "news.dat" like every decoded file, where the catalogue and the file
        // manager find it.
        const std::string_view extension = extensionFor(contentType);
        for (int n = 1; n <= MaxNameNumber; ++n) {
            std::string path = joinPath(*news, "part" + std::to_string(n));
            path += extension;
            if (!taken(path)) return path;
        }
    } else {
        std::string path = joinPath(*news, safe);
        if (m_overwrite && isDirectory(path)) {
            // Known now, not first when the file is given its name at the commit.
            outputFailed(path, EISDIR);
            return std::nullopt;
        }
        if (m_overwrite || !taken(path)) return path;
        for (int n = 1; n <= MaxNameNumber; ++n) {
            std::string numbered =
                joinPath(*news, fitFileName(std::to_string(n) + "_" + safe, limit));
            if (!taken(numbered)) return numbered;
        }
    }
    outputFailed(joinPath(*news, safe.empty() ? std::string("part") : safe), EEXIST);
    return std::nullopt;
}

int removeAbandonedOutputs(const std::string& newsDirectory) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(newsDirectory.c_str()), ::closedir);
    if (!dir) return 0;
    const std::string_view prefix = TemporaryOutputPrefix;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string_view name = entry->d_name;
        if (name.substr(0, prefix.size()) != prefix) continue;
        // Relative to the open folder: a name read from it can never point elsewhere.
        if (::unlinkat(::dirfd(dir.get()), entry->d_name, 0) == 0) ++removed;
    }
    return removed;
}

std::optional<std::string> Decoder::newsDirectory() {
    std::string news = joinPath(outputDirectory(), "news.dat");
    if (makeDirectories(news) != 0) {
        outputFailed(news);
        return std::nullopt;
    }
    return news;
}

std::string Decoder::pendingDescriptionPath() const {
    return m_descriptionWork.empty() ? committedDescriptionPath() : m_descriptionWork;
}

std::string Decoder::committedDescriptionPath() const {
    return joinPath(tmpDirectory(), "tempdesc.txt");
}

void Decoder::takeSetDescription(const std::string& description) {
    std::optional<std::string> text = readWholeFile(description);
    if (!text) return;
    const std::string pending = pendingDescriptionPath();
    if (!writeFileAtomic(pending, *text)) {
        errorOutput(pending);
        return;
    }
    removeAtCommit(description);
}

void Decoder::countAssembled() {
    ++m_outputs.assembled;
}

void Decoder::notePart(const std::string& dir, int part) {
    const std::string& id = m_inputs.messageId;
    if (id.empty() || part < 1 || id.find_first_of(" \r\n") != std::string::npos) return;
    const std::string line = std::to_string(part) + " " +
                             std::to_string(std::max<std::int64_t>(m_inputs.articleBytes, 0)) +
                             " " + id + "\n";
    // One write appended: cheaper than rewriting the list, and a kill cuts one line at most.
    UniqueFd fd(
        ::open((dir + PartNotesName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    // Without the note only the set's export misses the part's id: no reason to fail the part.
    if (fd) (void)!::write(fd.get(), line.data(), line.size());
}

void Decoder::takeParts(const std::string& dir, int part, std::size_t first) {
    const std::string notes = dir + PartNotesName;
    std::map<int, ArticleSegment> parts = parsePartNotes(readWholeFile(notes).value_or(""));
    if (part >= 1 && !m_inputs.messageId.empty())
        parts[part] = {m_inputs.messageId, m_inputs.articleBytes};
    removeAtCommit(notes);
    std::vector<ArticleSegment> segments;
    segments.reserve(parts.size());
    for (auto& [number, segment] : parts) segments.push_back(std::move(segment));
    for (std::size_t i = first; i < m_outputs.files.size(); ++i)
        m_outputs.files[i].segments = segments;
}

std::string Decoder::dataDirectory() const {
    return m_inputs.dataDirectory.empty() ? programDirectory() : m_inputs.dataDirectory;
}

std::string Decoder::outputDirectory() const {
    return m_inputs.outputDirectory.empty() ? dataDirectory() : m_inputs.outputDirectory;
}

std::string Decoder::tmpDirectory() const {
    return joinPath(dataDirectory(), "tmp");
}

void Decoder::takePendingDescription(PendingOutput& file) {
    const std::string pending = pendingDescriptionPath();
    if (!fileExists(pending)) return;
    const std::string descriptionPath =
        descriptionPathFor(file.path, fileNameLimit(file.path.substr(0, file.path.rfind('/') + 1)));
    if (descriptionPath == file.path || taken(descriptionPath)) {
        // A decoded file of that name, or an earlier file's description: it stays, and this
        // description, which belongs to no other file, goes.
        warning("description not kept: " + descriptionPath + " exists");
        std::remove(pending.c_str());
        return;
    }
    std::optional<std::string> hidden = hiddenFile();
    if (!hidden) {
        errorOutput(descriptionPath);
        return;
    }
    if (std::rename(pending.c_str(), hidden->c_str()) != 0) {
        const int error = errno;
        // The group directory may be on another file system than the data directory.
        if (error != EXDEV || !copyFile(pending, *hidden)) {
            if (error != ENOENT) errorOutput(descriptionPath);
            std::remove(hidden->c_str());
            return;
        }
        std::remove(pending.c_str());
    }
    file.descriptionTemporaryPath = std::move(*hidden);
    file.descriptionPath = descriptionPath;
}

}  // namespace qm
