// SPDX-License-Identifier: GPL-3.0-or-later
// qmere: the desktop program. Brings up the profile, the core session and the main window,
// in that order; the program ends when the main window has closed (after its
// shutdown has stopped the workers and saved everything).
#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

#include "app/mainwindow.h"
#include "app/qtfrontend.h"
#include "app/quitsignals.h"
#include "dialogs/splashscreen.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "session/session.h"

namespace {

// Answered before the application object exists: it needs a display, and these must work
// without one.
constexpr const char* Help =
    "usage: qmere [--help | --version] [FILE.nzb...]\n"
    "\n"
    "Opens the Quillmere window: retrieve the pictures and other files posted in newsgroups\n"
    "and browse them. NZB files given are fetched with the server in use. Without windows:\n"
    "qmere-cli --help.\n";

}  // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--version") {
            std::puts("qmere " QM_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(Help, stdout);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qmere"));
    QApplication::setOrganizationName(QStringLiteral("Corvane,LLC"));
    // Matches the window to its desktop entry (and so its icon) on Wayland.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.corvane.qmere"));

    // The splash animates from the event loop for 2.5 s; then the main window comes up.
    constexpr int SplashMs = 2500;
    if (auto splash = qm::SplashScreen::createDefault()) {
        splash->start();
        QEventLoop wait;
        QTimer::singleShot(SplashMs, &wait, &QEventLoop::quit);
        wait.exec();
        splash->requestClose();
    }
    // Started by another program as a component: no tip of the day.
    const QStringList args = QApplication::arguments();
    const bool embedded = std::any_of(args.begin() + 1, args.end(), [](QString a) {
        while (a.startsWith(QLatin1Char('-')) || a.startsWith(QLatin1Char('/'))) a.remove(0, 1);
        return a.compare(QLatin1String("Embedding"), Qt::CaseInsensitive) == 0 ||
               a.compare(QLatin1String("Automation"), Qt::CaseInsensitive) == 0;
    });

    qm::Profile profile(qm::profilePath());
    qm::QtFrontend frontend;
    qm::Session session(frontend, profile);

    auto window = std::make_unique<qm::MainWindow>(session, frontend);
    if (window->dataFolderRefused()) return 1;  // said in a message box; nothing was written
    window->setTipsAtStartup(!embedded);
    // A logout, a service manager or Ctrl-C ends the program as "Exit" does, saving its state.
    qm::QuitSignals quitSignals;
    QObject::connect(&quitSignals, &qm::QuitSignals::quitRequested, window.get(),
                     [w = window.get()] { w->exitProgram(); });
    window->show();
    // A browser or file manager hands over the NZBs it opens with the program.
    QStringList nzbs;
    for (const QString& arg : args.mid(1))
        if (arg.endsWith(QLatin1String(".nzb"), Qt::CaseInsensitive)) nzbs << arg;
    if (!nzbs.isEmpty())
        QTimer::singleShot(0, window.get(), [w = window.get(), nzbs] { w->openNzbFiles(nzbs); });
    return QApplication::exec();
}
