#pragma once
// Runs the built qmere-cli (its path in the environment variable QM_CLI, set by CTest) as a
// child process with standard output and error captured through files of a TempDir.
#include <string>
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

}  // namespace qm::test
