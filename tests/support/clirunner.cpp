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
    CliRun result;
    const char* cli = cliPath();
    if (!cli) return result;
    std::vector<std::string> all{cli};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::string out = dir.file("cli.stdout");
    std::string err = dir.file("cli.stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = readWholeFile(out).value_or("");
    result.err = readWholeFile(err).value_or("");
    return result;
}

}  // namespace qm::test
