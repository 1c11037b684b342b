// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A short exclusive lock around one read-merge-write of a settings file (the profile,
// "server.lst", the group lists), so that two programs sharing the settings (the window and
// qmere-cli) never interleave: a change another program writes between this one's read and
// its rename would be lost. The kernel's flock on a lock file, so a killed holder leaves
// nothing in the way; held for the milliseconds of one update.
//
// Scoped, one per update, on the writing thread; never nested. Two locks of one process on
// one file exclude each other too, so threads with Profile objects of their own take turns.
#include <chrono>
#include <string>

#include "platform/file.h"

namespace qm {

class SettingsLock {
  public:
    // Longest wait for another holder: a holder that keeps it longer is stuck (stopped in a
    // debugger, say), and the update fails rather than hang the program.
    static constexpr std::chrono::milliseconds MaxWait{5000};

    enum class Status {
        Held,
        Busy,         // another holder kept it past MaxWait
        Unavailable,  // the lock file could not be made: the update goes on without it
    };

    // Waits for the lock on path (created, with its folder, when missing).
    explicit SettingsLock(const std::string& path);
    SettingsLock(const SettingsLock&) = delete;
    SettingsLock& operator=(const SettingsLock&) = delete;

    Status status() const { return m_status; }

  private:
    UniqueFd m_fd;  // closing it releases the lock
    Status m_status = Status::Unavailable;
};

// The lock file that guards the settings file at path: ".NAME.lock" beside it.
std::string settingsLockPath(const std::string& path);

}  // namespace qm
