// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Starts programs for the user (the web browser, xdg-open) and says so in the log when one
// cannot be started or ends with an error, naming the command. Never waits: a program's end
// is noticed by the event loop. Programs still running when the launcher goes keep running.
//
// Owned by a window; window thread only.
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace qm {

class Launcher : public QObject {
    Q_OBJECT
  public:
    // report: a line for the log.
    explicit Launcher(std::function<void(const QString&)> report, QObject* parent = nullptr);
    ~Launcher() override;

    // Starts command[0] with the rest as its arguments; false when it could not be started
    // (already reported).
    bool start(const QStringList& command);

  private:
    struct Watch;
    void ended(Watch& watch);

    std::function<void(const QString&)> m_report;
    std::vector<std::unique_ptr<Watch>> m_watches;
};

}  // namespace qm
