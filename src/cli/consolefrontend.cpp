#include "cli/consolefrontend.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "config/serverentry.h"

namespace qm::cli {
namespace {

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

void ConsoleFrontend::appendLog(std::string_view line) {
    std::lock_guard lock(m_mutex);
    if (m_quiet) return;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ConsoleFrontend::messageBox(std::string_view text, MessageIcon) {
    std::lock_guard lock(m_mutex);
    ++m_messages;
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
}

std::optional<Credentials> ConsoleFrontend::askCredentials(std::string_view host,
                                                           const Credentials& prefill) {
    std::lock_guard lock(m_mutex);
    if (!isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "%.*s requires authentication (give --user and --password)\n",
                     static_cast<int>(host.size()), host.data());
        return std::nullopt;
    }
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
