// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The desktop program as main() builds it, on a throw-away home, with a fixture news server
// serving a sample spool; for the GUI tests.
#include <QComboBox>
#include <functional>
#include <memory>

#include "app/mainwindow.h"
#include "app/qtfrontend.h"
#include "config/appsettings.h"
#include "guitests.h"
#include "newsserver/newsserver.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "session/session.h"

namespace qm::test {

struct GuiProgram {
    // moreArticles adds to the spool before the server reads it.
    explicit GuiProgram(newsd::NewsServerOptions options = {}, int pictures = 3,
                        const std::function<void(const std::string& spool)>& moreArticles = {}) {
        options.spool = (home.path() + "/spool").toStdString();
        writeSampleSpool(options.spool, pictures);
        if (moreArticles) moreArticles(options.spool);
        server = std::make_unique<newsd::NewsServer>(options);
        server->start();
        settings.browserLookup = [] { return std::string("/bin/true"); };
        settings.freeSpaceProbe = [](const std::string&) { return std::int64_t{1} << 40; };
        window = std::make_unique<MainWindow>(session, frontend);
        window->setOpener([this](const QString& target, bool) { opened << target; });
        window->show();
    }

    QString serverLine() const { return QStringLiteral("127.0.0.1 %1").arg(server->port()); }
    void chooseServer() { window->findChild<QComboBox*>("serverBox")->setEditText(serverLine()); }

    ThrowAwayHome home;
    Profile profile{profilePath()};
    QtFrontend frontend;
    Session session{frontend, profile};
    AppSettings& settings = SessionTestAccess::settings(session);
    std::unique_ptr<newsd::NewsServer> server;
    std::unique_ptr<MainWindow> window;
    QStringList opened;
};

}  // namespace qm::test
