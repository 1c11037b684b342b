// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures of the main window and each dialog at their default sizes, written to the build
// folder's "screenshots" for review.
#include <QDir>
#include <QLabel>
#include <QTest>

#include "dialogs/aboutbox.h"
#include "dialogs/addgroupdialog.h"
#include "dialogs/authdialog.h"
#include "dialogs/configdialog.h"
#include "dialogs/directoryselection.h"
#include "dialogs/searchdialog.h"
#include "dialogs/serversdialog.h"
#include "guiprogram.h"

namespace qm::test {

class ScreenshotsTest : public QObject {
    Q_OBJECT
  private:
    static void shoot(QWidget& widget, const QString& name) {
        widget.show();
        QTest::qWait(50);
        QDir().mkpath(QM_SCREENSHOT_DIR);
        const QString path = QStringLiteral(QM_SCREENSHOT_DIR "/%1.png").arg(name);
        QVERIFY(widget.grab().save(path));
        QVERIFY(QFileInfo(path).size() > 0);
        widget.hide();
    }

  private slots:
    void everyWindowIsPictured() {
        GuiProgram p;
        p.chooseServer();
        p.window->showAllGroups();
        QVERIFY(waitUntil([&] { return !p.window->groupListBusy(); }, 20000));
        // After a run, so that the log and the status bar's totals have something to show.
        GroupEntry* demo = p.settings.allGroups.find("alt.pictures.demo");
        QVERIFY(demo);
        p.window->addToSelected(*demo);
        p.settings.select(*demo);
        p.window->getPictures();
        QVERIFY(
            waitUntil([&] { return p.window->runState() == RunController::State::Idle; }, 60000));
        QTest::qWait(100);
        auto* totals = p.window->findChild<QLabel*>("runTotals");
        QVERIFY(totals && totals->isVisible() && totals->text().startsWith("Articles: "));
        shoot(*p.window, "mainwindow");
        ConfigDialog config(p.session.configuration(), p.settings.freeSpaceProbe);
        shoot(config, "configuration");
        ServersDialog servers(p.session);
        shoot(servers, "servers");
        AuthDialog auth("127.0.0.1", {"-", "-"});
        shoot(auth, "authentication");
        SearchDialog search("pictures", true);
        shoot(search, "search");
        AddGroupDialog add;
        shoot(add, "addgroup");
        DirectorySelection narrow(QDir::tempPath());
        shoot(narrow, "directory-narrow");
        DirectorySelection wide(QDir::tempPath());
        wide.browse();
        shoot(wide, "directory-wide");
        AboutBox about;
        shoot(about, "about");
        p.window->exitProgram();
    }
};

static RegisterGuiTest registerScreenshots("ScreenshotsTest",
                                           [] { return std::make_unique<ScreenshotsTest>(); });

}  // namespace qm::test

#include "screenshots_test.moc"
