// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the readers of one retrieval run share. Guarded by DecodeLock, but for the login,
// which AuthLock guards.
#include <atomic>

#include "nntp/runlogin.h"

namespace qm {

class FillServers;

struct ReaderRunState {
    int ConnectFailureReported = 0;  // the connection failure box was shown this run
    int runningReaders = 0;
    // The servers asked for what the main one lacks; null when the run has none. Set before
    // the readers start.
    FillServers* fill = nullptr;
    // The disk is full, or the journal cannot be written: every reader stops at its next
    // article. Read without the lock; why is stopCause (a StopCause), set first.
    std::atomic<bool> stopped{false};
    enum StopCause { DiskFull, NoJournal };
    std::atomic<int> stopCause{DiskFull};
    RunLogin login;
    void newLogin() { login.reset(); }
};

}  // namespace qm
