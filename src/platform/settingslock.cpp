// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settingslock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <thread>

#include "platform/paths.h"

namespace qm {
namespace {

constexpr auto RetryPause = std::chrono::milliseconds(2);

}  // namespace

SettingsLock::SettingsLock(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) (void)makeDirectories(path.substr(0, slash));
    const int savedErrno = errno;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        errno = savedErrno;  // the update's own write says what is wrong with the folder
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + MaxWait;
    for (;;) {
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            m_fd = std::move(fd);
            m_status = Status::Held;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            errno = savedErrno;
            return;  // a file system without locks
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_status = Status::Busy;
            errno = EWOULDBLOCK;
            return;
        }
        std::this_thread::sleep_for(RetryPause);
    }
}

std::string settingsLockPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return "." + path + ".lock";
    return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".lock";
}

}  // namespace qm
