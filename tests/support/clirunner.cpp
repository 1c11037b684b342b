// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/clirunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>

#include "platform/file.h"

extern char** environ;

namespace qm::test {

const char* cliPath() {
    return std::getenv("QM_CLI");
}

CliRun runCli(const TempDir& dir, const std::vector<std::string>& args) {
    return finishCli(startCli(dir, args, "cli"));
}

CliChild startCli(const TempDir& dir, const std::vector<std::string>& args, std::string_view tag,
                  const std::string& workingDirectory) {
    CliChild child;
    const char* cli = cliPath();
    if (!cli) return child;
    std::vector<std::string> all{cli};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    child.out = dir.file(std::string(tag) + ".stdout");
    child.err = dir.file(std::string(tag) + ".stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (!workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

bool cliRunning(const CliChild& child) {
    siginfo_t info{};
    return child.pid > 0 &&
           waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

CliRun finishCli(const CliChild& child) {
    CliRun result;
    if (child.pid <= 0) return result;
    int status = 0;
    waitpid(child.pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readWholeFile(child.out).value_or("");
    result.err = readWholeFile(child.err).value_or("");
    return result;
}

}  // namespace qm::test
