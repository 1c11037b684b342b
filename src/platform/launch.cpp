// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string_view>

extern char** environ;

namespace qm {

namespace {

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

bool plainWord(const std::string& word) {
    if (word.empty()) return false;
    for (char c : word)
        if (!(std::isalnum(static_cast<unsigned char>(c)) ||
              std::string_view("/._-:=+,%@").find(c) != std::string_view::npos))
            return false;
    return true;
}

}  // namespace

LaunchedProgram launchProgram(const std::vector<std::string>& args) {
    LaunchedProgram program;
    if (args.empty()) {
        program.error = EINVAL;
        return program;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&program.pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        program.error = rc;
        program.pid = -1;
        return program;
    }
    program.pidfd.reset(openPidfd(program.pid));
    return program;
}

std::optional<ProgramEnd> collectExit(LaunchedProgram& program) {
    if (program.pid < 0) return std::nullopt;
    int status = 0;
    pid_t ended = 0;
    do {
        ended = ::waitpid(program.pid, &status, WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0) return std::nullopt;  // still running
    program.pid = -1;
    program.pidfd.reset();
    if (ended < 0) return std::nullopt;  // collected elsewhere: nothing to say
    if (WIFEXITED(status)) return ProgramEnd{WEXITSTATUS(status), 0};
    return ProgramEnd{0, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

std::string commandText(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& a : args) {
        if (!text.empty()) text += ' ';
        if (plainWord(a)) {
            text += a;
            continue;
        }
        text += '\'';
        for (char c : a) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
        text += '\'';
    }
    return text;
}

}  // namespace qm
