// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as a desktop program: launches of the browser and xdg-open that fail are
// said in the log; a notification when a run ends while the user looks elsewhere, on a
// private session bus with a stand-in notification service.
#include <QDir>
#include <QFile>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QSet>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "app/windowstate.h"
#include "catalog/pictureview.h"
#include "guiprogram.h"
#include "model/locks.h"

namespace qm::test {

namespace {

// A session bus of the test's own (dbus-daemon, no services to start on demand), named by
// DBUS_SESSION_BUS_ADDRESS while it lives.
class PrivateBus {
  public:
    PrivateBus() : m_oldAddress(qgetenv("DBUS_SESSION_BUS_ADDRESS")) {
        const QString config = m_dir.filePath("bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(QStringLiteral(
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                       "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                       "busconfig.dtd\"><busconfig><type>session</type>"
                       "<listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                       "<policy context=\"default\"><allow send_destination=\"*\" "
                       "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                       "</policy></busconfig>")
                       .arg(m_dir.path())
                       .toUtf8());
        file.close();
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address")});
        if (!m_daemon.waitForStarted(5000)) return;
        while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(5000)) {
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    }
    ~PrivateBus() {
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_oldAddress);
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }
    bool up() const { return !m_address.isEmpty(); }

  private:
    QTemporaryDir m_dir;
    QByteArray m_oldAddress;
    QProcess m_daemon;
    QString m_address;
};

// The stand-in notification service on the current bus; what it was sent, a line each.
class FakeNotifications {
  public:
    FakeNotifications() {
        m_process.start(QStringLiteral(QM_FAKE_NOTIFICATIONS), {m_dir.filePath("sent")});
        m_process.waitForReadyRead(10000);
        m_ready = m_process.readLine().trimmed() == "ready";
    }
    ~FakeNotifications() { stop(); }
    void stop() {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    bool ready() const { return m_ready; }
    QStringList sent() const {
        QFile file(m_dir.filePath("sent"));
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

  private:
    QTemporaryDir m_dir;
    QProcess m_process;
    bool m_ready = false;
};

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT
  private:
    // Runs the window over one group to the end, with the window active or not.
    static void runGroup(GuiProgram& p, const char* name, bool active) {
        GroupEntry* g = p.settings.allGroups.find(name);
        if (!g) {
            g = &p.settings.newGroup(name);
            p.settings.allGroups.add(*g);
        }
        p.window->addToSelected(*g);
        p.settings.select(*g);
        QWidget other;  // takes the focus away from the window
        if (active) {
            p.window->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(p.window.get()));
        } else {
            other.show();
            other.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&other));
        }
        p.window->getPictures();
        QVERIFY(
            waitUntil([&] { return p.window->runState() == RunController::State::Idle; }, 60000));
    }

    static QStringList logLines(GuiProgram& p, const QString& prefix) {
        QCoreApplication::processEvents();  // the log takes its lines in batches
        QStringList lines;
        QAbstractItemModel* log = p.window->findChild<QListView*>("logList")->model();
        for (int row = 0; row < log->rowCount(); ++row)
            if (log->index(row, 0).data().toString().startsWith(prefix))
                lines << log->index(row, 0).data().toString();
        return lines;
    }

  private slots:
    void init() { ProgramExiting.store(false); }

    void menusHaveMnemonicsAndTheUsualShortcuts() {
        ModalCatcher catcher;
        GuiProgram p;
        const QList<QPair<QString, QStringList>> expected{
            {"File", {"Manual decode", "Open NZB…", "Exit"}},
            {"News groups",
             {"Show all groups", "Show subscribed groups", "Search groups", "Add group", "Stop"}},
            {"Config", {"News servers", "Options"}},
            {"Admin", {"File management", "Group monitor"}},
            {"Help", {"About", "Help", "Tips"}}};
        // Each entry shows its own text, with one letter of its own in its menu for Alt.
        auto mnemonic = [](const QString& text) {
            const qsizetype at = text.indexOf('&');
            return at >= 0 && at + 1 < text.size() ? text[at + 1].toLower() : QChar();
        };
        const QList<QAction*> menus = p.window->menuBar()->actions();
        QCOMPARE(menus.size(), expected.size());
        QSet<QChar> menuKeys;
        for (int m = 0; m < expected.size(); ++m) {
            QCOMPARE(QString(menus[m]->text()).remove('&'), expected[m].first);
            QVERIFY2(!mnemonic(menus[m]->text()).isNull(), qPrintable(expected[m].first));
            menuKeys.insert(mnemonic(menus[m]->text()));
            QStringList texts;
            QSet<QChar> keys;
            for (QAction* a : menus[m]->menu()->actions()) {
                if (a->isSeparator()) continue;
                texts << QString(a->text()).remove('&');
                QVERIFY2(!mnemonic(a->text()).isNull(), qPrintable(a->text()));
                keys.insert(mnemonic(a->text()));
            }
            QCOMPARE(texts, expected[m].second);
            QCOMPARE(keys.size(), texts.size());
        }
        QCOMPARE(menuKeys.size(), expected.size());

        p.window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(p.window.get()));
        QTest::keyClick(p.window.get(), Qt::Key_F1);
        QCOMPARE(p.opened, QStringList{QString::fromStdString(fileUrl(helpFilePath()))});
        p.chooseServer();
        p.window->commitServerBox();
        GroupEntry* demo = &p.settings.newGroup("alt.pictures.demo");
        p.window->addToSelected(*demo);
        p.settings.select(*demo);
        QTest::keyClick(p.window.get(), Qt::Key_F5);
        QVERIFY(p.window->runState() != RunController::State::Idle);
        QVERIFY(
            waitUntil([&] { return p.window->runState() == RunController::State::Idle; }, 60000));
        QTest::keyClick(p.window.get(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(ProgramExiting.load());
        QVERIFY(!p.window->isVisible());
        QVERIFY(catcher.texts().isEmpty());
    }

    void theWindowComesBackAsItWasLeft() {
        GuiProgram p;
        auto sizes = [](MainWindow& w) {
            auto* selected = w.findChild<QTreeWidget*>("selectedList");
            return QList<QList<int>>{
                w.findChild<QSplitter*>("mainSplitter")->sizes(),
                w.findChild<QSplitter*>("listsSplitter")->sizes(),
                {selected->columnWidth(0), selected->columnWidth(1), selected->columnWidth(2)}};
        };
        p.window->resize(1000, 700);
        QTest::qWait(50);
        QSplitter* lists = p.window->findChild<QSplitter*>("listsSplitter");
        QVERIFY(lists);
        p.window->findChild<QSplitter*>("mainSplitter")->setSizes({420, 180});
        QList<int> widths = lists->sizes();
        lists->setSizes({widths[0] + widths[2] - 600, widths[1], 600});
        auto* columns = p.window->findChild<QTreeWidget*>("selectedList");
        columns->setColumnWidth(0, 260);
        columns->setColumnWidth(1, 95);
        p.window->exitProgram();
        // What was left is in the profile (the window may have been laid out anew meanwhile).
        const WindowState left = loadWindowState(p.profile);
        QCOMPARE(left.size, QSize(1000, 700));
        QCOMPARE(left.groupColumns.mid(0, 2), (QList<int>{260, 95}));

        // A restart: a new window on the same profile.
        ProgramExiting.store(false);
        p.window = std::make_unique<MainWindow>(p.session, p.frontend);
        p.window->show();
        QTest::qWait(50);
        QCOMPARE(p.window->size(), QSize(1000, 700));
        QCOMPARE(sizes(*p.window),
                 (QList<QList<int>>{left.mainSplitter, left.listsSplitter, left.groupColumns}));
        QVERIFY(!p.window->isMaximized());
        p.window->showMaximized();
        QTest::qWait(50);
        p.window->exitProgram();

        ProgramExiting.store(false);
        p.window = std::make_unique<MainWindow>(p.session, p.frontend);
        p.window->show();
        QTest::qWait(50);
        QVERIFY(p.window->isMaximized());
        QCOMPARE(p.window->normalGeometry().size(), QSize(1000, 700));
        p.window->exitProgram();
    }

    void aLongGroupNameIsNotCutOffWhileTheFolderColumnHasRoom() {
        GuiProgram p;
        p.window->resize(1000, 700);
        QTest::qWait(20);
        const QString name = QStringLiteral("alt.binaries.pictures.a.group.with.a.very.long.name");
        GroupEntry& g = p.settings.newGroup(name.toStdString());
        p.window->addToSelected(g);
        auto* list = p.window->findChild<QTreeWidget*>("selectedList");
        QVERIFY(list->columnWidth(0) >
                list->fontMetrics().horizontalAdvance(name) + list->iconSize().width());
        QVERIFY(list->columnWidth(0) + list->columnWidth(1) < list->viewport()->width());
        p.window->exitProgram();
    }

    void launchesThatFailAreSaidInTheLogWithTheirCommand() {
        ModalCatcher catcher;
        GuiProgram p;
        p.window->setOpener({});  // the real browser and xdg-open
        GroupEntry& g = p.settings.newGroup("alt.pictures.demo");
        p.window->addToSelected(g);
        p.window->findChild<QTreeWidget*>("selectedList")->topLevelItem(0)->setSelected(true);
        const QString page =
            QString::fromStdString(fileUrl(p.session.groupFolder(g).file("index.html")));

        p.settings.browser = "/nonexistent/browser";
        p.window->browseGroup();
        QCOMPARE(logLines(p, "Could not start"),
                 QStringList{"Could not start /nonexistent/browser " + page +
                             ": No such file or directory"});
        p.settings.browser = "/bin/false";
        p.window->browseGroup();
        QVERIFY(waitUntil([&] { return !logLines(p, "/bin/false").isEmpty(); }, 10000));
        QCOMPARE(logLines(p, "/bin/false"),
                 QStringList{"/bin/false " + page + " failed (exit status 1)"});

        // xdg-open that cannot do it (a stand-in on PATH), and none at all.
        QTemporaryDir bin;
        QFile fake(bin.filePath("xdg-open"));
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write("#!/bin/sh\nexit 4\n");
        fake.close();
        fake.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.path().toUtf8());
        const QString folder = QString::fromStdString(p.session.groupFolder(g).path());
        p.window->exploreGroup();
        QVERIFY(waitUntil([&] { return !logLines(p, "xdg-open").isEmpty(); }, 10000));
        QVERIFY(fake.remove());
        p.window->exploreGroup();
        qputenv("PATH", path);
        QCOMPARE(logLines(p, "xdg-open"),
                 QStringList{"xdg-open " + folder + " failed (exit status 4)"});
        QCOMPARE(logLines(p, "Could not start xdg-open"),
                 QStringList{"Could not start xdg-open " + folder + ": No such file or directory"});
        QVERIFY(catcher.texts().isEmpty());
        p.window->exitProgram();
    }

    void aRunThatEndsUnseenIsAnnouncedOnTheDesktop() {
        PrivateBus bus;
        QVERIFY(bus.up());
        FakeNotifications service;
        QVERIFY(service.ready());
        ModalCatcher catcher;
        GuiProgram p;
        p.chooseServer();
        p.window->commitServerBox();
        runGroup(p, "alt.binaries.pictures.test", true);  // watched: nothing to announce
        runGroup(p, "alt.pictures.demo", false);          // the first group again, and this one
        const int pictures = p.settings.allGroups.find("alt.pictures.demo")->stats()->decoded;
        QVERIFY(pictures > 0);
        const QString expected =
            QStringLiteral("Quillmere\tRun finished\t%1 pictures came in from 2 groups.")
                .arg(pictures);
        QVERIFY(waitUntil([&] { return !service.sent().isEmpty(); }, 10000));
        QCOMPARE(service.sent(), QStringList{expected});
        QVERIFY(catcher.texts().isEmpty());
        p.window->exitProgram();
    }

    void noServiceAndNoBusAreNoError() {
        ModalCatcher catcher;
        {
            PrivateBus bus;  // a bus, but nobody there to show notifications
            QVERIFY(bus.up());
            GuiProgram p;
            p.chooseServer();
            p.window->commitServerBox();
            runGroup(p, "alt.pictures.demo", false);
            p.window->exitProgram();
        }
        const QByteArray old = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/qmere-test-bus");
        {
            GuiProgram p;
            p.chooseServer();
            p.window->commitServerBox();
            runGroup(p, "alt.pictures.demo", false);
            p.window->exitProgram();
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", old);
        QVERIFY(catcher.texts().isEmpty());
    }
};

static RegisterGuiTest registerDesktop("DesktopTest",
                                       [] { return std::make_unique<DesktopTest>(); });

}  // namespace qm::test

#include "desktop_test.moc"
