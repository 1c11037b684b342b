// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs the built qmere-cli (its path in the environment variable QM_CLI, set by CTest) as a
// child process with standard output and error captured through files of a TempDir.
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/tempdir.h"

namespace qm::test {

struct CliRun {
    int status = -1;  // the exit status; 128 + signal when killed; -1 when it did not start
    std::string out;
    std::string err;
};

// The qmere-cli to run, or null when QM_CLI is not set.
const char* cliPath();

// Runs qmere-cli with args in the current environment (point XDG_* at a TempDir first).
CliRun runCli(const TempDir& dir, const std::vector<std::string>& args);

// A qmere-cli started and not waited for; its output goes to files named by its tag.
struct CliChild {
    pid_t pid = -1;  // -1: it did not start
    std::string out, err;
};
// Starts qmere-cli with args, in workingDirectory when one is given.
CliChild startCli(const TempDir& dir, const std::vector<std::string>& args, std::string_view tag,
                  const std::string& workingDirectory = {});
// True while the child has not ended.
bool cliRunning(const CliChild& child);
// Waits for the child's end.
CliRun finishCli(const CliChild& child);

}  // namespace qm::test
