// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/consolefrontend.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "config/serverentry.h"

namespace qm::cli {
namespace {

// Carriage return and "erase to the end of the line" (ECMA-48 EL).
constexpr std::string_view EraseLine = "\r\x1b[K";

std::string readLineFromTerminal(bool echo) {
    termios old{};
    bool restore = false;
    if (!echo && tcgetattr(STDIN_FILENO, &old) == 0) {
        termios silent = old;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        restore = tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) == 0;
    }
    std::string line;
    std::getline(std::cin, line);
    if (restore) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        std::fputs("\n", stderr);
    }
    return line;
}

}  // namespace

ConsoleFrontend::~ConsoleFrontend() {
    if (m_savedOutput < 0) return;
    std::fflush(m_out);
    std::fflush(stdout);
    ::dup2(m_savedOutput, STDOUT_FILENO);
    std::fclose(m_out);  // closes m_savedOutput
}

bool ConsoleFrontend::divertTraces() {
    std::lock_guard lock(m_mutex);
    if (m_savedOutput >= 0) return true;
    std::fflush(stdout);
    const int copy = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return false;
    FILE* out = ::fdopen(copy, "w");
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (!out || null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
        if (null >= 0) ::close(null);
        if (out)
            std::fclose(out);
        else
            ::close(copy);
        return false;
    }
    ::close(null);
    m_out = out;
    m_savedOutput = copy;
    return true;
}

int ConsoleFrontend::outputDescriptor() const {
    std::lock_guard lock(m_mutex);
    return ::fileno(m_out);
}

bool ConsoleFrontend::canRewrite(int descriptor) {
    if (!::isatty(descriptor)) return false;
    const char* term = std::getenv("TERM");
    return term && *term && std::string_view(term) != "dumb";
}

void ConsoleFrontend::eraseStatus() {
    if (m_status.empty()) return;
    FILE* out = m_statusOut ? m_statusOut : m_out;
    std::fwrite(EraseLine.data(), 1, EraseLine.size(), out);
    std::fflush(out);
}

void ConsoleFrontend::drawStatus() {
    if (m_statusSource) m_status = m_statusSource();
    if (m_status.empty()) return;
    FILE* out = m_statusOut ? m_statusOut : m_out;
    std::fwrite(EraseLine.data(), 1, EraseLine.size(), out);
    std::fwrite(m_status.data(), 1, m_status.size(), out);
    std::fflush(out);
}

void ConsoleFrontend::writeLine(FILE* stream, std::string_view line) {
    eraseStatus();
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    drawStatus();
}

void ConsoleFrontend::appendLog(std::string_view line) {
    std::lock_guard lock(m_mutex);
    if (!m_quiet) writeLine(m_out, line);
}

void ConsoleFrontend::messageBox(std::string_view text, MessageIcon) {
    std::lock_guard lock(m_mutex);
    ++m_messages;
    std::fflush(m_out);  // what came before it is shown before it
    writeLine(stderr, text);
}

void ConsoleFrontend::setStatusLine(std::string line) {
    std::lock_guard lock(m_mutex);
    m_status = std::move(line);
    drawStatus();
}

void ConsoleFrontend::setStatusSource(std::function<std::string()> source) {
    std::lock_guard lock(m_mutex);
    m_statusSource = std::move(source);
    drawStatus();
}

void ConsoleFrontend::refreshStatus() {
    std::lock_guard lock(m_mutex);
    drawStatus();
}

void ConsoleFrontend::clearStatusLine() {
    std::lock_guard lock(m_mutex);
    eraseStatus();
    m_status.clear();
    m_statusSource = nullptr;
}

void ConsoleFrontend::printAlways(std::string_view line) {
    std::lock_guard lock(m_mutex);
    writeLine(m_out, line);
}

void ConsoleFrontend::printError(std::string_view line) {
    std::lock_guard lock(m_mutex);
    std::fflush(m_out);
    writeLine(stderr, line);
}

void ConsoleFrontend::setStatusStream(FILE* stream) {
    std::lock_guard lock(m_mutex);
    eraseStatus();
    m_statusOut = stream;
    drawStatus();
}

std::optional<Credentials> ConsoleFrontend::askCredentials(std::string_view host,
                                                           const Credentials& prefill) {
    std::lock_guard lock(m_mutex);
    // The prompt takes the terminal's last line; the next update draws the status again.
    eraseStatus();
    std::fflush(m_out);
    // A login at hand was sent and refused; the command says so at its end.
    const bool refused = ServerEntry::hasCredentials(prefill);
    if (!isatty(STDIN_FILENO)) {
        if (!refused)
            std::fprintf(stderr, "%.*s requires authentication (give --user and --password)\n",
                         static_cast<int>(host.size()), host.data());
        return std::nullopt;
    }
    if (refused)
        std::fprintf(stderr, "%.*s refused the user name or password.\n",
                     static_cast<int>(host.size()), host.data());
    // "-" is how an empty field is stored, not a user name to offer.
    const bool known = prefill.user != ServerEntry::NoValue;
    std::fprintf(stderr, "This NNTP server requires authentication!\n%.*s user name%s%s%s: ",
                 static_cast<int>(host.size()), host.data(), known ? " [" : "",
                 known ? prefill.user.c_str() : "", known ? "]" : "");
    Credentials answer;
    answer.user = readLineFromTerminal(true);
    if (answer.user.empty()) answer.user = prefill.user;
    std::fputs("Password: ", stderr);
    answer.password = readLineFromTerminal(false);
    if (!std::cin) return std::nullopt;
    if (answer.password.empty()) answer.password = std::string(ServerEntry::NoValue);
    return answer;
}

void ConsoleFrontend::offerAvailableGroup(GroupEntry& group) {
    std::function<void(GroupEntry&)> handler;
    {
        std::lock_guard lock(m_mutex);
        handler = m_groupHandler;
    }
    if (handler) handler(group);
}

void ConsoleFrontend::updateGroupRow(GroupEntry&) {}

void ConsoleFrontend::runFinished() {
    std::lock_guard lock(m_mutex);
    m_runFinished = true;
    m_finished.notify_all();
}

void ConsoleFrontend::groupListFinished() {
    std::lock_guard lock(m_mutex);
    m_groupListFinished = true;
    m_finished.notify_all();
}

void ConsoleFrontend::openConfiguration() {
    std::lock_guard lock(m_mutex);
    std::fputs("Choose another data directory with: qmere-cli config \"Data=DIR\"\n", stderr);
}

void ConsoleFrontend::setGroupHandler(std::function<void(GroupEntry&)> handler) {
    std::lock_guard lock(m_mutex);
    m_groupHandler = std::move(handler);
}

void ConsoleFrontend::setQuiet(bool quiet) {
    std::lock_guard lock(m_mutex);
    m_quiet = quiet;
}

void ConsoleFrontend::waitRunFinished() {
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [this] { return m_runFinished; });
}

void ConsoleFrontend::waitGroupListFinished() {
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [this] { return m_groupListFinished; });
}

bool ConsoleFrontend::runHasFinished() const {
    std::lock_guard lock(m_mutex);
    return m_runFinished;
}

void ConsoleFrontend::resetFinished() {
    std::lock_guard lock(m_mutex);
    m_runFinished = false;
    m_groupListFinished = false;
}

int ConsoleFrontend::messageCount() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

}  // namespace qm::cli
