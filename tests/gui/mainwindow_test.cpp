// SPDX-License-Identifier: GPL-3.0-or-later
// The main window driven like a user would, against the fixture news server.
#include <QAbstractItemModel>
#include <QDialog>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTreeView>
#include <QTreeWidget>
#include <csignal>
#include <thread>

#include "app/quitsignals.h"
#include "catalog/pictureview.h"
#include "guiprogram.h"
#include "model/locks.h"

namespace qm::test {

class MainWindowTest : public QObject {
    Q_OBJECT
  private:
    static QAbstractItemModel* available(GuiProgram& p) {
        return p.window->findChild<QTreeView*>("availableList")->model();
    }
    static QTreeWidget* selected(GuiProgram& p) {
        return p.window->findChild<QTreeWidget*>("selectedList");
    }
    static QPushButton* getButton(GuiProgram& p) {
        return p.window->findChild<QPushButton*>("getPicturesButton");
    }
    static bool logHas(GuiProgram& p, const QString& prefix) {
        QCoreApplication::processEvents();  // the log takes its lines in batches
        QAbstractItemModel* log = p.window->findChild<QListView*>("logList")->model();
        for (int row = 0; row < log->rowCount(); ++row)
            if (log->index(row, 0).data().toString().startsWith(prefix)) return true;
        return false;
    }
    static void selectAvailable(GuiProgram& p, const QString& name) {
        auto* view = p.window->findChild<QTreeView*>("availableList");
        QAbstractItemModel* model = view->model();
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->index(row, 0).data().toString() == name)
                view->selectionModel()->select(model->index(row, 0), QItemSelectionModel::Select);
    }
    static void showAllGroups(GuiProgram& p, int expected) {
        p.chooseServer();
        p.window->showAllGroups();
        QVERIFY(waitUntil([&] { return !p.window->groupListBusy(); }, 20000));
        QVERIFY(waitUntil([&] { return available(p)->rowCount() == expected; }, 5000));
    }

  private slots:
    void init() { ProgramExiting.store(false); }

    void retrievesPicturesFromChosenGroupsAndSavesOnExit() {
        ModalCatcher catcher;
        GuiProgram p;
        showAllGroups(p, 3);
        QCOMPARE(available(p)->headerData(0, Qt::Horizontal).toString(),
                 QStringLiteral("Available news groups (3)"));

        // Search over all groups, then narrow the shown ones.
        p.window->runSearch(QStringLiteral("pictures"), false);
        QVERIFY(waitUntil([&] { return !p.window->groupListBusy(); }, 20000));
        QVERIFY(waitUntil([&] { return available(p)->rowCount() == 2; }, 5000));
        p.window->runSearch(QStringLiteral("demo"), true);
        QCOMPARE(available(p)->rowCount(), 1);
        p.window->runSearch(QStringLiteral("pictures"), false);
        QVERIFY(waitUntil(
            [&] { return available(p)->rowCount() == 2 && !p.window->groupListBusy(); }, 20000));

        selectAvailable(p, "alt.pictures.demo");
        selectAvailable(p, "alt.binaries.pictures.test");
        p.window->subscribeSelected();
        QVERIFY(p.settings.subscribedGroups.find("alt.pictures.demo"));
        p.window->selectSelected();
        QCOMPARE(selected(p)->topLevelItemCount(), 2);

        QTest::mouseClick(getButton(p), Qt::LeftButton);
        QVERIFY(p.window->running() || logHas(p, "Decoded file "));
        // The run ends by itself; both groups' "Images" counts have grown meanwhile.
        QVERIFY(waitUntil([&] { return !p.window->running(); }, 60000));
        for (int i = 0; i < selected(p)->topLevelItemCount(); ++i)
            QVERIFY2(!selected(p)->topLevelItem(i)->text(1).startsWith("0/"),
                     qPrintable(selected(p)->topLevelItem(i)->text(1)));
        QCOMPARE(getButton(p)->text(), QStringLiteral("Get pictures!"));
        QVERIFY(logHas(p, "Decoded file "));
        QVERIFY(
            fileExists(joinPath(p.settings.dataDirectory, "alt.pictures.demo/news.dat/demo0.png")));
        QVERIFY(fileExists(
            joinPath(p.settings.dataDirectory, "alt.binaries.pictures.test/news.dat/mime0.png")));

        // A "Decoded file " line opens its file; others do nothing.
        p.window->openLogLine(QStringLiteral("Decoded file /tmp/x.png"));
        p.window->openLogLine(QStringLiteral("Connection to NNTP server closed..."));
        QCOMPARE(p.opened, QStringList{QStringLiteral("/tmp/x.png")});

        // The pictures got their thumbnails, and "Gallery" opens the group's page of them.
        const std::string demo = p.session.groupFolder("alt.pictures.demo").path();
        // The worker takes the processor time left over: on a busy machine that is little.
        QVERIFY(
            waitUntil([&] { return fileExists(joinPath(demo, "thumbs/demo0.png.jpg")); }, 120000));
        selected(p)->setCurrentItem(
            selected(p)->findItems(QStringLiteral("alt.pictures.demo"), Qt::MatchExactly)[0]);
        p.opened.clear();
        p.window->findChild<QPushButton*>("galleryButton")->click();
        QCOMPARE(p.opened,
                 QStringList{QString::fromStdString(fileUrl(joinPath(demo, "gallery.html")))});

        QVERIFY(catcher.texts().isEmpty());
        p.window->exitProgram();
        QVERIFY(!p.window->isVisible());
        QVERIFY(ProgramExiting.load());
        const std::string lists = p.settings.groupListDirectory();
        QVERIFY(fileExists(joinPath(lists, "Groups.fet")));
        QVERIFY(fileExists(joinPath(lists, "Groups.sub")));
        QVERIFY(fileExists(profilePath()));
    }

    void aSecondWindowOnTheSameDataFolderIsRefusedAndWritesNothing() {
        ModalCatcher catcher;
        GuiProgram p;
        const std::string lock = joinPath(p.settings.dataDirectory, ".qmere.lock");
        const std::string holder = std::to_string(QCoreApplication::applicationPid());
        QCOMPARE(readWholeFile(lock).value_or(""), holder + "\n");
        p.settings.freeAlert = 12345;  // unsaved: a second window must not save its own
        {
            Profile profile(profilePath());
            QtFrontend frontend;
            Session session(frontend, profile);
            MainWindow second(session, frontend);
            QVERIFY(second.dataFolderRefused());
            QCOMPARE(catcher.texts().size(), 1);
            QVERIFY2(catcher.texts().value(0).contains(
                         QString::fromStdString("is in use by process " + holder)),
                     qPrintable(catcher.texts().value(0)));
        }
        QCOMPARE(readWholeFile(lock).value_or(""), holder + "\n");
        QVERIFY(readWholeFile(profilePath()).value_or("").find("12345") == std::string::npos);
        p.window->exitProgram();
        QVERIFY(readWholeFile(profilePath()).value_or("").find("12345") != std::string::npos);
    }

    void commandsShowTheirMessages() {
        ModalCatcher catcher;
        GuiProgram p;
        p.window->findChild<QComboBox*>("serverBox")->setEditText("");
        p.window->newsServers();  // the "Server" setting is empty: the dialog comes first
        catcher.clear();
        p.window->getPictures();
        QVERIFY(waitUntil([&] { return !catcher.texts().isEmpty(); }, 2000));
        QCOMPARE(catcher.texts().value(0), QStringLiteral("Please provide the NNTP server name!"));

        catcher.clear();
        p.chooseServer();
        p.window->getPictures();
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("No news group is selected.")});
        QVERIFY(!p.window->running());

        catcher.clear();
        p.window->browseGroup();
        p.window->exploreGroup();
        p.window->openGallery();
        p.window->runSearch(QString(), true);
        QCOMPARE(catcher.texts(),
                 (QStringList{"No group selected.", "No group selected.", "No group selected.",
                              "No search pattern supplied!"}));
        p.window->exitProgram();
    }

    void optionsShowTheDefaultBrowserLookedUpOnlyThen() {
        ModalCatcher catcher;
        GuiProgram p;
        QVERIFY(p.settings.browser.empty());  // the window's start-up ran no lookup
        QString shown;
        catcher.onDialog = [&](QDialog& dialog) {
            if (auto* edit = dialog.findChild<QLineEdit*>("browserEdit")) shown = edit->text();
            dialog.reject();
        };
        p.window->options();
        QCOMPARE(shown, QStringLiteral("/bin/true"));
        p.window->exitProgram();
    }

    void aTerminationSignalEndsTheProgramAsExitDoesThenActsAsBefore() {
        GuiProgram p;
        struct sigaction before {};
        ::sigaction(SIGTERM, nullptr, &before);
        {
            QuitSignals quit;
            connect(&quit, &QuitSignals::quitRequested, p.window.get(),
                    [&p] { p.window->exitProgram(); });
            p.settings.maxThreads = 7;  // reaches the profile only through the exit's save
            QCOMPARE(::raise(SIGTERM), 0);
            QVERIFY(waitUntil([&] { return !p.window->isVisible(); }, 5000));
            QCOMPARE(p.profile.getInt("Config", "Max Threads", 0), 7);
        }
        struct sigaction after {};
        ::sigaction(SIGTERM, nullptr, &after);
        QVERIFY(after.sa_handler == before.sa_handler);
    }

    void lowDiskSpaceWarnsOffersOptionsAndStillRuns() {
        ModalCatcher catcher;
        GuiProgram p;
        p.settings.freeSpaceProbe = [](const std::string&) { return std::int64_t{1024}; };
        showAllGroups(p, 3);
        selectAvailable(p, "comp.misc.talk");
        p.window->selectSelected();
        p.window->getPictures();
        QVERIFY(waitUntil([&] { return catcher.dialogsSeen() == 1; }, 5000));
        QCOMPARE(catcher.texts().value(0),
                 QStringLiteral("Free disk space is below low water mark!"));
        QVERIFY(p.window->running() || logHas(p, "Connection to NNTP server closed..."));
        p.window->exitProgram();
    }

    void credentialPromptAppearsOnceForSeveralReaders() {
        ModalCatcher catcher;
        newsd::NewsServerOptions options;
        options.authUser = "demo";
        options.authPassword = "secret";
        GuiProgram p(options, 2);
        catcher.onDialog = [](QDialog& dialog) {
            if (dialog.objectName() != "authDialog") return dialog.reject();
            dialog.findChild<QLineEdit*>("userEdit")->setText("demo");
            dialog.findChild<QLineEdit*>("passwordEdit")->setText("secret");
            dialog.accept();
        };
        showAllGroups(p, 3);
        for (const char* g : {"alt.pictures.demo", "alt.binaries.pictures.test", "comp.misc.talk"})
            selectAvailable(p, g);
        p.window->selectSelected();
        p.window->getPictures();
        QVERIFY(waitUntil([&] { return !p.window->running(); }, 60000));
        // Asked once (by whichever connection met 480 first); the others used the answer.
        QCOMPARE(catcher.dialogsSeen(), 1);
        QVERIFY(logHas(p, "Decoded file "));
        p.window->exitProgram();
    }

    void stopReturnsPromptlyWhenTheServerFallsSilent() {
        ModalCatcher catcher;
        newsd::NewsServerOptions options;
        // Answers the list, then the first commands of the run (CAPABILITIES, GROUP, OVER and
        // an article): reading through the overview, a few more would finish the group.
        options.silentAfter = 4;
        GuiProgram p(options);
        showAllGroups(p, 3);
        selectAvailable(p, "alt.pictures.demo");
        p.window->selectSelected();
        p.window->getPictures();
        QVERIFY(p.window->running());
        QTest::qWait(1500);  // the readers now wait on a server that says nothing
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(getButton(p), Qt::LeftButton);
        QVERIFY(!p.window->running());
        QVERIFY2(clock.elapsed() < 10000, "Stop pictures! waited on the network");
        QCOMPARE(getButton(p)->text(), QStringLiteral("Get pictures!"));
        p.window->exitProgram();
    }

    void hundredThousandOfferedGroupsArriveInBatches() {
        GuiProgram p;
        constexpr int Count = 100000;
        std::vector<GroupEntry*> groups;
        for (int i = 0; i < Count; ++i)
            groups.push_back(&p.settings.newGroup("big.group." + std::to_string(Count - i)));
        std::thread worker([&] {
            for (GroupEntry* g : groups) p.frontend.offerAvailableGroup(*g);
        });
        worker.join();
        QVERIFY(waitUntil([&] { return available(p)->rowCount() == Count; }, 60000));
        QCOMPARE(available(p)->headerData(0, Qt::Horizontal).toString(),
                 QStringLiteral("Available news groups (100000)"));
        QCOMPARE(available(p)->index(0, 0).data().toString(), QStringLiteral("big.group.1"));
        // Offered again: shown once.
        p.frontend.offerAvailableGroup(*groups.front());
        p.frontend.flushOfferedGroups();
        QCOMPARE(available(p)->rowCount(), Count);
        p.window->exitProgram();
    }

    void unsubscribeRemovesRowsOnlyInTheSubscribedView() {
        GuiProgram p;
        showAllGroups(p, 3);
        selectAvailable(p, "alt.pictures.demo");
        selectAvailable(p, "comp.misc.talk");
        p.window->subscribeSelected();
        p.window->showSubscribedGroups();
        QCOMPARE(available(p)->rowCount(), 2);
        selectAvailable(p, "comp.misc.talk");
        p.window->unsubscribeSelected();
        QCOMPARE(available(p)->rowCount(), 1);
        p.window->showAllGroups();
        QVERIFY(waitUntil(
            [&] { return available(p)->rowCount() == 3 && !p.window->groupListBusy(); }, 20000));
        selectAvailable(p, "alt.pictures.demo");
        p.window->unsubscribeSelected();
        QCOMPARE(available(p)->rowCount(), 3);
        QVERIFY(!p.settings.subscribedGroups.find("alt.pictures.demo"));
        p.window->exitProgram();
    }

    void closingByTheTitleBarShutsDownLikeExit() {
        GuiProgram p;
        p.window->close();
        QVERIFY(ProgramExiting.load());
        QVERIFY(!p.window->isVisible());
        QVERIFY(fileExists(profilePath()));
    }
};

static RegisterGuiTest registerMainWindow("MainWindowTest",
                                          [] { return std::make_unique<MainWindowTest>(); });

}  // namespace qm::test

#include "mainwindow_test.moc"
