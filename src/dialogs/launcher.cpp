// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/launcher.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "platform/launch.h"

namespace qm {

namespace {

// Without a pidfd the program's end is looked for this often.
constexpr int PollMs = 500;

}  // namespace

struct Launcher::Watch {
    LaunchedProgram program;
    QString command;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> poll;
};

Launcher::Launcher(std::function<void(const QString&)> report, QObject* parent)
    : QObject(parent), m_report(std::move(report)) {}

Launcher::~Launcher() = default;

bool Launcher::start(const QStringList& command) {
    std::vector<std::string> args;
    for (const QString& a : command) args.push_back(a.toStdString());
    auto watch = std::make_unique<Watch>();
    watch->command = QString::fromStdString(commandText(args));
    watch->program = launchProgram(args);
    if (watch->program.error != 0) {
        m_report(
            QStringLiteral("Could not start %1: %2")
                .arg(watch->command, QString::fromLocal8Bit(std::strerror(watch->program.error))));
        return false;
    }
    Watch& w = *watch;
    if (w.program.pidfd) {
        w.notifier =
            std::make_unique<QSocketNotifier>(w.program.pidfd.get(), QSocketNotifier::Read);
        connect(w.notifier.get(), &QSocketNotifier::activated, this, [this, &w] { ended(w); });
    } else {
        w.poll = std::make_unique<QTimer>();
        connect(w.poll.get(), &QTimer::timeout, this, [this, &w] { ended(w); });
        w.poll->start(PollMs);
    }
    m_watches.push_back(std::move(watch));
    return true;
}

void Launcher::ended(Watch& watch) {
    const std::optional<ProgramEnd> end = collectExit(watch.program);
    if (watch.program.pid >= 0) return;  // still running
    if (end && end->signal != 0)
        m_report(QStringLiteral("%1 was ended by signal %2").arg(watch.command).arg(end->signal));
    else if (end && end->exitStatus != 0)
        m_report(
            QStringLiteral("%1 failed (exit status %2)").arg(watch.command).arg(end->exitStatus));
    // Not from inside its own notifier's signal: the watch goes once the event loop is back.
    if (watch.notifier) watch.notifier->setEnabled(false);
    if (watch.poll) watch.poll->stop();
    QTimer::singleShot(0, this, [this, &watch] {
        std::erase_if(m_watches, [&watch](const auto& w) { return w.get() == &watch; });
    });
}

}  // namespace qm
