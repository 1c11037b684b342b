// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/par2tool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

#include "platform/file.h"

extern char** environ;

namespace qm {
namespace {

struct ToolRun {
    bool started = false;
    int status = -1;
    std::string output;
};

// Runs par2 with arguments in folder, its standard output and error read into output.
ToolRun runPar2(const std::string& folder, std::vector<std::string> arguments) {
    ToolRun run;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    arguments.insert(arguments.begin(), "par2");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, "par2", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (error != 0) return run;
    char buffer[4096];
    for (ssize_t n; (n = ::read(readEnd.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        // The tool's progress lines can be long; what decides is at the end.
        if (run.output.size() < (1 << 20)) run.output.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // 127: the shell's and posix_spawnp's word for a program that could not be run.
    run.started = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::optional<int> numberAfter(std::string_view text, std::string_view prefix) {
    const std::size_t at = text.rfind(prefix);
    if (at == std::string_view::npos) return std::nullopt;
    const char* begin = text.data() + at + prefix.size();
    int value = 0;
    auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value);
    if (ec != std::errc()) return std::nullopt;
    return value;
}

bool endsWithPar2(std::string_view name) {
    if (name.size() < 5) return false;
    std::string tail(name.substr(name.size() - 5));
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return tail == ".par2";
}

// The position of ".vol" of a volume's name, followed by digits, '+', digits and ".par2".
std::optional<std::size_t> volumeAt(std::string_view name) {
    if (!endsWithPar2(name)) return std::nullopt;
    const std::string_view stem = name.substr(0, name.size() - 5);
    std::size_t at = stem.size();
    for (std::size_t i = stem.size(); i-- > 0;) {
        if (i + 4 <= stem.size() && (stem.substr(i, 4) == ".vol" || stem.substr(i, 4) == ".VOL")) {
            at = i;
            break;
        }
    }
    if (at == stem.size()) return std::nullopt;
    const std::string_view numbers = stem.substr(at + 4);
    const std::size_t plus = numbers.find('+');
    const auto digits = [](std::string_view s) {
        return !s.empty() &&
               std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (plus == std::string_view::npos || !digits(numbers.substr(0, plus)) ||
        !digits(numbers.substr(plus + 1)))
        return std::nullopt;
    return at;
}

}  // namespace

Par2Verify parsePar2Output(std::string_view output) {
    Par2Verify verify;
    verify.output = std::string(output.substr(output.size() > 4000 ? output.size() - 4000 : 0));
    verify.complete = output.find("All files are correct") != std::string_view::npos;
    verify.possible = output.find("Repair is possible") != std::string_view::npos;
    // "You have 16 out of 32 data blocks available." and "You have 3 recovery blocks
    // available.": the last of each counts.
    const std::size_t data = output.rfind(" data blocks available");
    const std::size_t from = output.rfind("You have ", data);
    if (data != std::string_view::npos && from != std::string_view::npos) {
        const std::string_view line = output.substr(from, data - from);
        const auto have = numberAfter(line, "You have ");
        const auto total = numberAfter(line, " out of ");
        if (have && total && *total >= *have) verify.missingBlocks = *total - *have;
    }
    const std::size_t blocks = output.rfind(" recovery blocks available");
    const std::size_t start = output.rfind("You have ", blocks);
    if (blocks != std::string_view::npos && start != std::string_view::npos)
        verify.recoveryBlocks =
            numberAfter(output.substr(start, blocks - start), "You have ").value_or(0);
    return verify;
}

Par2Verify par2Verify(const std::string& folder, const std::string& indexName) {
    ToolRun run = runPar2(folder, {"verify", "./" + indexName});
    if (!run.started) {
        Par2Verify missing;
        missing.toolMissing = true;
        return missing;
    }
    return parsePar2Output(run.output);
}

bool par2Repair(const std::string& folder, const std::string& indexName, bool purge,
                std::string* output) {
    std::vector<std::string> arguments{"repair"};
    if (purge) arguments.push_back("-p");
    arguments.push_back("./" + indexName);
    ToolRun run = runPar2(folder, arguments);
    if (output) *output = run.output;
    return run.started && run.status == 0 &&
           (run.output.find("Repair complete") != std::string::npos ||
            run.output.find("All files are correct") != std::string::npos);
}

std::optional<int> par2VolumeBlocks(std::string_view name) {
    const auto at = volumeAt(name);
    if (!at) return std::nullopt;
    const std::string_view numbers = name.substr(*at + 4, name.size() - 5 - *at - 4);
    const std::string_view count = numbers.substr(numbers.find('+') + 1);
    int blocks = 0;
    std::from_chars(count.data(), count.data() + count.size(), blocks);
    return blocks;
}

std::optional<std::string> par2IndexName(std::string_view name) {
    if (!endsWithPar2(name)) return std::nullopt;
    if (const auto at = volumeAt(name))
        return std::string(name.substr(0, *at)) + std::string(name.substr(name.size() - 5));
    return std::string(name);
}

}  // namespace qm
