// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>

namespace qm {

FilePtr openFile(const std::string& path, const char* mode) {
    std::string m(mode);
    m += 'e';  // O_CLOEXEC: no stream leaks into the programs we start
    return FilePtr(std::fopen(path.c_str(), m.c_str()));
}

std::optional<std::string> readWholeFile(const std::string& path) {
    FilePtr f = openFile(path, "rb");
    if (!f) return std::nullopt;
    std::string content;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) content.append(buffer, n);
    if (std::ferror(f.get())) return std::nullopt;
    return content;
}

bool fileHolds(const std::string& path, std::string_view content) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) != content.size())
        return false;
    const std::optional<std::string> held = readWholeFile(path);
    return held && *held == content;
}

std::string symlinkTarget(const std::string& path) {
    // As many hops as the kernel itself follows; a loop ends there.
    constexpr int MaxHops = 40;
    std::string current = path;
    for (int hop = 0; hop < MaxHops; ++hop) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return current;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0) return current;
        target.resize(static_cast<size_t>(n));
        if (target.front() != '/') {
            const auto slash = current.rfind('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = std::move(target);
    }
    return current;
}

bool writeFileAtomic(const std::string& path, std::string_view content, unsigned mode) {
    // A link the user made (a profile kept elsewhere) must go on pointing there.
    const std::string target = symlinkTarget(path);
    struct stat link {};
    if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        errno = ELOOP;  // links in a loop: replacing one of them would break the chain
        return false;
    }
    auto slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = (slash == std::string::npos ? std::string() : dir) + "." + base + ".XXXXXX";
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        mode &= static_cast<unsigned>(existing.st_mode);
    mode &= 0777U;
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return false;
    const char* data = content.data();
    size_t left = content.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd.get(), data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    // mkostemp makes 0600; the mode is set explicitly rather than through the umask, which
    // cannot be read without changing it for every thread for a moment.
    if (ok) ok = fchmod(fd.get(), static_cast<mode_t>(mode)) == 0;
    int savedErrno = errno;
    if (::close(fd.release()) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = savedErrno;
    }
    return ok;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

}  // namespace qm
