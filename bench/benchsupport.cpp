// SPDX-License-Identifier: GPL-3.0-or-later
#include "benchsupport.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qm::bench {

namespace fs = std::filesystem;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::vector<int> parseList(const std::string& text) {
    std::vector<int> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) values.push_back(std::stoi(item));
    return values;
}

std::string toolPath(const char* relative) {
    return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / relative).string();
}

WorkFolder::~WorkFolder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
}

ToolProcess::ToolProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&m_pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    const bool ok = spawned == 0 && in && std::fscanf(in, "port %d", &m_port) == 1;
    if (in) std::fclose(in);
    if (!ok) {
        if (spawned != 0) m_pid = -1;
        stop();
        throw std::runtime_error("cannot start " + args[0]);
    }
}

double ToolProcess::cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');  // the command name may hold anything
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void ToolProcess::stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

void MedianTable::add(const std::string& row, const std::string& column, double value) {
    if (std::find(m_rows.begin(), m_rows.end(), row) == m_rows.end()) m_rows.push_back(row);
    if (std::find(m_columns.begin(), m_columns.end(), column) == m_columns.end())
        m_columns.push_back(column);
    m_values[{row, column}].push_back(value);
}

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 != 0 ? values[half] : (values[half - 1] + values[half]) / 2;
}

double MedianTable::median(const std::string& row, const std::string& column) const {
    auto it = m_values.find({row, column});
    return it == m_values.end() ? 0 : medianOf(it->second);
}

namespace {

std::string format(double v) {
    char text[32];
    std::snprintf(text, sizeof text,
                  v >= 100   ? "%.0f"
                  : v >= 1   ? "%.2f"
                  : v >= .01 ? "%.3f"
                             : "%.5f",
                  v);
    return text;
}

}  // namespace

void MedianTable::print(std::FILE* out, const std::string& corner) const {
    std::fprintf(out, "| %s |", corner.c_str());
    for (const auto& c : m_columns) std::fprintf(out, " %s |", c.c_str());
    std::fprintf(out, "\n|---|");
    for (std::size_t i = 0; i < m_columns.size(); ++i) std::fprintf(out, "---|");
    std::fprintf(out, "\n");
    for (const auto& r : m_rows) {
        std::fprintf(out, "| %s |", r.c_str());
        for (const auto& c : m_columns) {
            auto it = m_values.find({r, c});
            if (it == m_values.end()) {
                std::fprintf(out, " |");
                continue;
            }
            std::vector<double> v = it->second;
            std::sort(v.begin(), v.end());
            const double median = medianOf(v);
            if (v.size() > 1 && v.front() != v.back())
                std::fprintf(out, " %s (%s-%s) |", format(median).c_str(),
                             format(v.front()).c_str(), format(v.back()).c_str());
            else
                std::fprintf(out, " %s |", format(median).c_str());
        }
        std::fprintf(out, "\n");
    }
}

}  // namespace qm::bench
