// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the benchmark programs share: clocks, the machine's load, tools of tools/ run as
// processes, a work folder that goes with the run, and a table of medians over rounds.
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qm::bench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);
// The process's user and system time so far.
double cpuSeconds();
// The three load averages of /proc/loadavg, as "1.23 1.55 2.24".
std::string loadAverage();
// "1,4,8" as {1, 4, 8}.
std::vector<int> parseList(const std::string& text);
// A program of the build, by its path relative to the build folder (this program's parent's).
std::string toolPath(const char* relative);

// Removes the work folder whatever way the bench ends normally.
struct WorkFolder {
    std::string path;
    ~WorkFolder();
};

// A tool of tools/ in a process of its own, which prints "port N" first; stopped with
// SIGTERM and reaped when it goes.
class ToolProcess {
  public:
    explicit ToolProcess(std::vector<std::string> args);
    ~ToolProcess() { stop(); }
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;
    int port() const { return m_port; }
    // Its user and system time so far, in seconds.
    double cpuSeconds() const;

  private:
    void stop();
    pid_t m_pid = -1;
    int m_port = 0;
};

// The median of values (not empty): of an even count, the mean of the middle two.
double medianOf(std::vector<double> values);

// Every figure of a row over the rounds, reported as the median (with the range).
class MedianTable {
  public:
    void add(const std::string& row, const std::string& column, double value);
    double median(const std::string& row, const std::string& column) const;
    void print(std::FILE* out, const std::string& corner) const;

  private:
    std::vector<std::string> m_rows, m_columns;
    std::map<std::pair<std::string, std::string>, std::vector<double>> m_values;
};

}  // namespace qm::bench
