#include "cli/interruptguard.h"

#include <poll.h>
#include <unistd.h>

namespace qm::cli {
namespace {

std::atomic<bool> Interrupted{false};
int InterruptPipe[2] = {-1, -1};

extern "C" void onInterrupt(int) {
    Interrupted.store(true);
    if (InterruptPipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(InterruptPipe[1], &byte, 1);
    }
}

}  // namespace

InterruptGuard::InterruptGuard() {
    Interrupted = false;
    if (::pipe(InterruptPipe) != 0) InterruptPipe[0] = InterruptPipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &m_old);
}

InterruptGuard::~InterruptGuard() {
    ::sigaction(SIGINT, &m_old, nullptr);
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

}  // namespace qm::cli
