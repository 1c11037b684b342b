// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/lockfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <string>
#include <thread>

namespace qm {
namespace {

// The holder writes its id right after taking the lock; a reader that comes in between finds
// the file empty for a moment.
constexpr int HolderReadTries = 20;
constexpr auto HolderReadPause = std::chrono::milliseconds(5);

pid_t readHolder(int fd) {
    char buffer[32];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return 0;
    std::string_view text(buffer, static_cast<std::size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0) return 0;
    return static_cast<pid_t>(value);
}

}  // namespace

LockFile& LockFile::operator=(LockFile&& other) noexcept {
    if (this != &other) {
        release();
        m_fd = std::move(other.m_fd);
        m_path = std::move(other.m_path);
        m_holder = other.m_holder;
        m_error = other.m_error;
    }
    return *this;
}

LockFile::Status LockFile::acquire(const std::string& path) {
    release();
    m_path = path;
    m_holder = 0;
    m_error = 0;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) {
        m_error = errno;
        return Status::Failed;
    }
    int locked;
    do {
        locked = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        if (errno != EWOULDBLOCK) {
            m_error = errno;
            return Status::Failed;
        }
        for (int i = 0; i < HolderReadTries && m_holder == 0; ++i) {
            if (i > 0) std::this_thread::sleep_for(HolderReadPause);
            m_holder = readHolder(fd.get());
        }
        return Status::InUse;
    }
    // The id first, then the length: a reader never sees a mix of an old id and this one.
    const std::string id = std::to_string(::getpid()) + "\n";
    if (::pwrite(fd.get(), id.data(), id.size(), 0) != static_cast<ssize_t>(id.size()) ||
        ::ftruncate(fd.get(), static_cast<off_t>(id.size())) != 0) {
        // Held all the same: only the message of a second program lacks the id.
        m_error = errno;
    }
    m_fd = std::move(fd);
    return Status::Held;
}

void LockFile::release() {
    if (!m_fd) return;
    // Emptied, not removed: a file removed while another process waits to open it would let
    // two processes lock two different files of one name.
    (void)::ftruncate(m_fd.get(), 0);
    m_fd.reset();  // closing the last descriptor releases the lock
}

}  // namespace qm
