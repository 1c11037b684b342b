// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/interruptguard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace qm::cli {
namespace {

// A signal handler reaches nothing but globals: the flag, the signal, and the write end of
// the pipe that wakes wait() (the self-pipe pattern).
std::atomic<bool> Interrupted{false};
std::atomic<int> Caught{0};
int InterruptPipe[2] = {-1, -1};

extern "C" void onInterrupt(int signalNumber) {
    const int saved = errno;
    int none = 0;
    Caught.compare_exchange_strong(none, signalNumber);  // the first one decides the status
    Interrupted.store(true);
    if (InterruptPipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(InterruptPipe[1], &byte, 1);
    }
    errno = saved;
}

}  // namespace

InterruptGuard::InterruptGuard() {
    Interrupted = false;
    Caught = 0;
    // Non-blocking: a flood of signals fills the pipe, never blocks the handler.
    if (::pipe2(InterruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        InterruptPipe[0] = InterruptPipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < Signals.size(); ++i) ::sigaction(Signals[i], &action, &m_old[i]);
}

InterruptGuard::~InterruptGuard() {
    for (std::size_t i = 0; i < Signals.size(); ++i) ::sigaction(Signals[i], &m_old[i], nullptr);
    for (int& fd : InterruptPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool InterruptGuard::wait(int timeoutMs) const {
    if (Interrupted) return true;
    pollfd fd{InterruptPipe[0], POLLIN, 0};
    if (fd.fd >= 0) ::poll(&fd, 1, timeoutMs);
    return Interrupted.load();
}

const std::atomic<bool>& InterruptGuard::flag() {
    return Interrupted;
}

int InterruptGuard::exitStatus() {
    const int signalNumber = Caught.load();
    return 128 + (signalNumber > 0 ? signalNumber : SIGINT);
}

}  // namespace qm::cli
