// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Termination signals as a request to quit: SIGTERM (a logout, a service manager, kill),
// SIGINT (Ctrl-C in the terminal the program was started from) and SIGHUP (that terminal
// closed) make the window thread emit quitRequested, so that the program can end as its
// "Exit" command ends it, with the workers stopped and everything saved, instead of dying
// with its state unsaved. Each handler is reset by its first signal: a second one of the same
// kind while the program is ending ends the process at once, as without this class.
//
// One at a time, on the window thread; its handlers are in place while it lives and the
// previous ones come back when it is destroyed.
#include <QObject>
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <memory>

#include "platform/file.h"

namespace qm {

class QuitSignals : public QObject {
    Q_OBJECT
  public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

    static constexpr std::array<int, 3> Signals{SIGTERM, SIGINT, SIGHUP};

  signals:
    void quitRequested(int signalNumber);

  private:
    void readSignals();

    UniqueFd m_readEnd;
    UniqueFd m_writeEnd;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::array<struct sigaction, Signals.size()> m_previous{};
};

}  // namespace qm
