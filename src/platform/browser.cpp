// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/browser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file.h"
#include "platform/paths.h"

extern char** environ;

namespace qm {
namespace {

// Desktop entries are small; anything beyond this is not one.
constexpr size_t MaxDesktopEntryBytes = 256 * 1024;
constexpr size_t MaxCommandOutput = 4096;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

// Runs argv (searched on PATH) and returns the first line of its standard output; empty when
// it cannot be started or fails.
std::string firstOutputLine(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (rc != 0) return {};
    std::string output;
    char buffer[1024];
    for (;;) {
        ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        // Keep draining past the limit so the child never blocks on a full pipe.
        if (output.size() < MaxCommandOutput) output.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return std::string(trimmed(output.substr(0, output.find('\n'))));
}

std::string environment(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool isExecutableFile(const std::string& path) {
    return access(path.c_str(), X_OK) == 0 && !isDirectory(path);
}

// The first word of an Exec= value: a quoted word loses its quotes and escapes.
std::string firstWord(std::string_view value) {
    value = trimmed(value);
    std::string word;
    if (!value.empty() && value.front() == '"') {
        for (size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            word += value[i];
        }
        return word;
    }
    size_t end = value.find_first_of(" \t");
    return std::string(value.substr(0, end));
}

}  // namespace

std::vector<std::string> applicationDirectories() {
    std::vector<std::string> dirs;
    std::string dataHome = environment("XDG_DATA_HOME");
    if (dataHome.empty() || dataHome.front() != '/') {
        std::string home = environment("HOME");
        if (!home.empty()) dataHome = joinPath(home, ".local/share");
    }
    if (!dataHome.empty()) dirs.push_back(joinPath(dataHome, "applications"));
    std::string dataDirs = environment("XDG_DATA_DIRS");
    if (dataDirs.empty()) dataDirs = "/usr/local/share:/usr/share";
    std::string_view rest(dataDirs);
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string_view dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (!dir.empty() && dir.front() == '/') dirs.push_back(joinPath(dir, "applications"));
    }
    return dirs;
}

std::string findDesktopFile(std::string_view desktopId, const std::vector<std::string>& dirs) {
    // The id comes from another program's output: it must name a file in the folder itself.
    if (desktopId.empty() || desktopId.front() == '.' ||
        desktopId.find('/') != std::string_view::npos) {
        return {};
    }
    for (const std::string& dir : dirs) {
        std::string candidate = joinPath(dir, desktopId);
        if (fileExists(candidate) && !isDirectory(candidate)) return candidate;
    }
    return {};
}

std::string execProgram(std::string_view entry) {
    bool inMainGroup = false;
    while (!entry.empty()) {
        size_t end = entry.find('\n');
        std::string_view line = trimmed(entry.substr(0, end));
        entry = end == std::string_view::npos ? std::string_view() : entry.substr(end + 1);
        if (!line.empty() && line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup || line.substr(0, 5) != "Exec=") continue;
        std::string program = firstWord(line.substr(5));
        // A lone field code (%u, %f...) is no program.
        if (program.size() == 2 && program.front() == '%') return {};
        return program;
    }
    return {};
}

std::string resolveProgram(std::string_view program, std::string_view path) {
    if (program.empty()) return {};
    if (program.find('/') != std::string_view::npos) {
        std::string p(program);
        return p.front() == '/' && isExecutableFile(p) ? p : std::string();
    }
    while (!path.empty()) {
        size_t colon = path.find(':');
        std::string_view dir = path.substr(0, colon);
        path = colon == std::string_view::npos ? std::string_view() : path.substr(colon + 1);
        if (dir.empty() || dir.front() != '/') continue;  // relative PATH entries are unsafe
        std::string candidate = joinPath(dir, program);
        if (isExecutableFile(candidate)) return candidate;
    }
    return {};
}

std::string findDefaultBrowser() {
    std::string id = firstOutputLine({"xdg-mime", "query", "default", "text/html"});
    std::string file = findDesktopFile(id, applicationDirectories());
    if (file.empty()) return {};
    auto content = readWholeFile(file);
    if (!content || content->size() > MaxDesktopEntryBytes) return {};
    return resolveProgram(execProgram(*content), environment("PATH"));
}

}  // namespace qm
