// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/quitsignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace qm {
namespace {

// A signal handler can reach nothing but a global; it only writes the signal's number to this
// pipe, which the window thread reads (the self-pipe pattern).
std::atomic<int> signalPipe{-1};

extern "C" void onQuitSignal(int signalNumber) {
    const int saved = errno;
    const int fd = signalPipe.load();
    const auto byte = static_cast<unsigned char>(signalNumber);
    if (fd >= 0) (void)!::write(fd, &byte, 1);
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(QObject* parent) : QObject(parent) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;  // no pipe: signals act as before
    m_readEnd.reset(fds[0]);
    m_writeEnd.reset(fds[1]);
    signalPipe.store(m_writeEnd.get());
    m_notifier = std::make_unique<QSocketNotifier>(m_readEnd.get(), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignals::readSignals);
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (size_t i = 0; i < Signals.size(); ++i) ::sigaction(Signals[i], &action, &m_previous[i]);
}

QuitSignals::~QuitSignals() {
    if (!m_readEnd) return;
    for (size_t i = 0; i < Signals.size(); ++i) ::sigaction(Signals[i], &m_previous[i], nullptr);
    signalPipe.store(-1);
}

void QuitSignals::readSignals() {
    unsigned char byte = 0;
    while (::read(m_readEnd.get(), &byte, 1) == 1) emit quitRequested(byte);
}

}  // namespace qm
