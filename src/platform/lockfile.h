// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An exclusive lock on a lock file for this process, holding its process id, so that two
// programs never work in one folder at once. The lock is the kernel's (flock): it goes with
// the process, so a lock left by a killed process is free again and simply taken over.
//
// Owned by whoever works in the folder; moved, never copied. Not thread-safe: one owner
// thread. Two LockFile objects of one process on the same file exclude each other too.
#include <sys/types.h>
#include <string>

#include "platform/file.h"

namespace qm {

class LockFile {
  public:
    enum class Status {
        Held,   // this object holds the lock
        InUse,  // another holder has it; holder() says which process
        Failed  // the file could not be opened or locked (error() says why)
    };

    LockFile() = default;
    LockFile(LockFile&&) noexcept = default;
    LockFile& operator=(LockFile&& other) noexcept;
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    // Releases the lock.
    ~LockFile() { release(); }

    // Tries once, without waiting, to lock path (created if missing) and write this
    // process's id into it. A lock held before is released first.
    Status acquire(const std::string& path);
    // Empties the file (no process holds it) and releases the lock; nothing when none is held.
    void release();

    bool held() const { return static_cast<bool>(m_fd); }
    const std::string& path() const { return m_path; }
    // After InUse: the holder's process id as its file says, 0 when it could not be read.
    pid_t holder() const { return m_holder; }
    // After Failed: the errno.
    int error() const { return m_error; }

  private:
    UniqueFd m_fd;
    std::string m_path;
    pid_t m_holder = 0;
    int m_error = 0;
};

}  // namespace qm
