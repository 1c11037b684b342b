// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Starting a program for the user (a web browser, xdg-open) without waiting for it. It runs in
// a session of its own, so it outlives this program and a Ctrl-C meant for this one. Its end
// can be looked for later, without blocking: through a pidfd that becomes readable when it
// ends, where the kernel offers one.
//
// Plain functions and a move-only record; any thread. A record whose program has not been
// collected leaves it to the system once this program ends.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace qm {

struct LaunchedProgram {
    int error = 0;   // the errno when the program could not be started; then nothing runs
    pid_t pid = -1;  // the program, while it has not been collected
    UniqueFd pidfd;  // readable once it has ended; none on a kernel without pidfds
};

// Starts args[0] (searched on PATH) with the other args; standard input is /dev/null.
LaunchedProgram launchProgram(const std::vector<std::string>& args);

struct ProgramEnd {
    int exitStatus = 0;
    int signal = 0;  // the signal that ended it, or 0
};
// How the program ended; nothing while it runs (or when it was collected already). Collects it
// once ended.
std::optional<ProgramEnd> collectExit(LaunchedProgram& program);

// The command as a shell would read it back, for messages.
std::string commandText(const std::vector<std::string>& args);

}  // namespace qm
