#include "decode/decoder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "decode/mimedecoder.h"
#include "decode/mimeheader.h"
#include "decode/outputnames.h"
#include "decode/partreader.h"
#include "platform/logfile.h"
#include "platform/paths.h"

namespace qm {
namespace {

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
    // The pending description lives in tmp: it has to exist before a description is kept.
    if (makeDirectories(tmpDirectory()) != 0) errorOutput(tmpDirectory());
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
    return m_result;
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
    // A directory that still holds parts of another post stays; that is no error.
    ::rmdir(path.c_str());
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
    // A close that fails (the last buffered bytes could not be written) loses data too.
    if (std::fclose(output.m_file.release()) != 0) {
        outputFailed(output.m_wantedPath);
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
    if (std::rename(output.m_temporaryPath.c_str(), path->c_str()) != 0) {
        outputFailed(*path);
        output.discard();
        return false;
    }
    output.m_temporaryPath.clear();
    announceOutput(*path, output.m_contentType);
    return true;
}

std::optional<std::string> Decoder::outputPath(std::optional<std::string_view> name,
                                               std::string_view contentType) {
    std::optional<std::string> news = newsDirectory();
    if (!news) return std::nullopt;
    // Only the part below the output directory is made safe: the data directory is the
    // user's choice and may hold blanks or other excluded characters.
    std::string safe = name ? safeOutputName(*name) : std::string();
    if (safe.empty()) {
        // Inside "news.dat" like every decoded file, where the catalogue and the file
        // manager find it.
        const std::string_view extension = extensionFor(contentType);
        for (int n = 1; n <= MaxNameNumber; ++n) {
            std::string path = joinPath(*news, "part" + std::to_string(n));
            path += extension;
            if (!fileExists(path)) return path;
        }
    } else {
        std::string path = joinPath(*news, safe);
        if (m_overwrite || !fileExists(path)) return path;
        for (int n = 1; n <= MaxNameNumber; ++n) {
            std::string numbered = joinPath(*news, fitFileName(std::to_string(n) + "_" + safe));
            if (!fileExists(numbered)) return numbered;
        }
    }
    outputFailed(joinPath(*news, safe.empty() ? std::string("part") : safe), EEXIST);
    return std::nullopt;
}

void Decoder::announceOutput(const std::string& path, std::string_view contentType) {
    m_lastOutputPath = path;
    std::string descriptionPath = descriptionPathFor(path);
    bool described = attachPendingDescription(descriptionPath);
    if (m_sink) m_sink->onFileDecoded(m_inputs, path, described ? descriptionPath : std::string());
    std::printf("%s (%.*s)\n", path.c_str(), static_cast<int>(contentType.size()),
                contentType.data());
    m_found = true;
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
    return joinPath(tmpDirectory(), "tempdesc.txt");
}

void Decoder::countAssembled() {
    if (m_sink) m_sink->countAssembled(m_inputs);
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

bool Decoder::attachPendingDescription(const std::string& descriptionPath) {
    std::string pending = pendingDescriptionPath();
    if (!fileExists(pending)) return false;
    if (fileExists(descriptionPath)) {
        // A decoded file of that name, or an earlier file's description: it stays, and this
        // description, which belongs to no other file, goes.
        warning("description not kept: " + descriptionPath + " exists");
        std::remove(pending.c_str());
        return false;
    }
    if (std::rename(pending.c_str(), descriptionPath.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    // The group directory may be on another file system than the data directory.
    if (errno == EXDEV && copyFile(pending, descriptionPath)) {
        std::remove(pending.c_str());
        return true;
    }
    errorOutput(descriptionPath);
    return false;
}

}  // namespace qm
