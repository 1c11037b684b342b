// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line's front end and the one writer of its terminal: log lines on standard
// output, message boxes and the commands' own failures on standard error, credential prompts
// on the terminal. Calls from any thread; one mutex keeps lines whole and in order. On a
// terminal that takes escape codes a status line may stand below the other lines: every line,
// on either stream, is written over it and the status line drawn again beneath.
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "config/frontend.h"

namespace qm::cli {

class ConsoleFrontend : public Frontend {
  public:
    void appendLog(std::string_view line) override;
    void messageBox(std::string_view text, MessageIcon icon) override;
    std::optional<Credentials> askCredentials(std::string_view host,
                                              const Credentials& prefill) override;
    void offerAvailableGroup(GroupEntry& group) override;
    void updateGroupRow(GroupEntry& group) override;
    void runFinished() override;
    void groupListFinished() override;
    void openConfiguration() override;

    // What an offered group does (the groups command prints it); nothing by default.
    void setGroupHandler(std::function<void(GroupEntry&)> handler);
    // Quiet: log lines are not printed (message boxes still are).
    void setQuiet(bool quiet);
    // Draws line in place of the status line ("\r", erase to the end, the line; no newline).
    void setStatusLine(std::string line);
    // From now on the status line is source's text, asked for whenever it is drawn (below
    // every line written, and at refreshStatus), so that it is never older than the last
    // line. source is called with this front end's mutex held, from any thread that writes:
    // it must not call back into the front end. Until clearStatusLine.
    void setStatusSource(std::function<std::string()> source);
    // Draws the status line again (with the source's text now).
    void refreshStatus();
    // Erases the status line and forgets its source; log lines are plain lines again.
    void clearStatusLine();
    // A line on standard output even when quiet (the closing summary).
    void printAlways(std::string_view line);
    // A line on standard error (a command's failure or usage message), even when quiet.
    void printError(std::string_view line);
    // Where the status line is drawn: standard output (the default) or standard error.
    void setStatusStream(FILE* stream);
    // Whether a status line may be drawn on the descriptor: a terminal that takes the
    // carriage return and "erase line" codes (not TERM=dumb, nor without TERM).
    static bool canRewrite(int descriptor);
    // The core writes traces to the process's standard output itself (the decoder's
    // "path (type)" lines); below a status line, or when quiet, they must not reach the
    // terminal. From now on this front end writes to its own copy of standard output and
    // the process's goes to /dev/null, until destruction. False when that failed (nothing
    // changed).
    bool divertTraces();
    // Where this front end's lines go (standard output, or its copy).
    int outputDescriptor() const;

    ConsoleFrontend() = default;
    ~ConsoleFrontend() override;
    ConsoleFrontend(const ConsoleFrontend&) = delete;
    ConsoleFrontend& operator=(const ConsoleFrontend&) = delete;

    // Waits until runFinished (or groupListFinished) has been called since the last reset.
    void waitRunFinished();
    void waitGroupListFinished();
    bool runHasFinished() const;
    void resetFinished();

    int messageCount() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    std::function<void(GroupEntry&)> m_groupHandler;
    // Erases the status line from the terminal; it stays set and is drawn again by
    // drawStatus. Under m_mutex.
    void eraseStatus();
    void drawStatus();

    // Under m_mutex: a line written to stream, over the status line.
    void writeLine(FILE* stream, std::string_view line);

    FILE* m_out = stdout;
    FILE* m_statusOut = nullptr;  // null: m_out
    int m_savedOutput = -1;       // the terminal's descriptor while traces are diverted
    bool m_quiet = false;
    std::string m_status;  // empty: none shown
    std::function<std::string()> m_statusSource;
    bool m_runFinished = false;
    bool m_groupListFinished = false;
    int m_messages = 0;
};

}  // namespace qm::cli
