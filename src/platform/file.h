// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Owning handles for C streams and descriptors, and whole-file helpers.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
// An open C stream, closed when the handle goes.
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen with close-on-exec; an empty handle when it fails (errno is kept).
FilePtr openFile(const std::string& path, const char* mode);

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// True when path is a regular file holding exactly content. Reads it only when its size
// matches, so a file that changed size costs one stat.
bool fileHolds(const std::string& path, std::string_view content);

// Permissions of a state file anyone may read, and of one that holds a credential.
constexpr unsigned PublicFileMode = 0644;
constexpr unsigned PrivateFileMode = 0600;

// Replaces path with content atomically: writes a temporary file in the same folder and
// renames it over path, so a crash or a full disk never leaves a truncated file. The old
// file stays untouched on any failure. Returns false on failure (errno set).
// The file gets mode, or the existing file's mode where that is stricter (a file the user
// made private stays private). A path that is a symbolic link is written through: the file
// it points to is replaced, and the link stays.
[[nodiscard]] bool writeFileAtomic(const std::string& path, std::string_view content,
                                   unsigned mode = PublicFileMode);

// Where path leads through symbolic links (of its last component, as often as they chain):
// path itself when it is no link. A dangling link gives the path it points to.
std::string symlinkTarget(const std::string& path);

// Owns a descriptor; closes it when it goes.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int m_fd = -1;
};

}  // namespace qm
