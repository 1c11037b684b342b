// SPDX-License-Identifier: GPL-3.0-or-later
// The group monitor against hand-set counters, its "<<Set", the embossed caption, and a
// monitor opened from the main window during a real run against the fixture server.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include "decode/savedarticle.h"
#include "dialogs/embossedbutton.h"
#include "dialogs/filemanager.h"
#include "dialogs/groupmonitor.h"
#include "dialogs/sortablelist.h"
#include "guiprogram.h"
#include "model/grouptable.h"
#include "model/locks.h"

namespace qm::test {

class GroupMonitorTest : public QObject {
    Q_OBJECT
  private:
    static QString field(const QWidget& w, const char* name) {
        return w.findChild<QLineEdit*>(QLatin1String(name))->text();
    }
    static QString caption(const QWidget& w) {
        return w.findChild<QPushButton*>(QStringLiteral("statusButton"))->text();
    }
    static int progress(const QWidget& w) {
        return w.findChild<QProgressBar*>(QStringLiteral("progressBar"))->value();
    }

    struct Groups {
        GroupEntry a{"alt.pictures.demo"};
        GroupEntry b{"alt.binaries.pictures.test"};
        GroupTable table;
        SavedArticle article;
        Groups() {
            table.add(a);
            table.add(b);  // the front of the table
            GroupStats& s = a.ensureStats();
            s.first = 100;
            s.last = 480;
            s.current = 140;
            s.retrieved = 41;
            s.decoded = 7;
            s.assembled = 2;
            s.bytes = 5 * 1024 + 1023;
            article.setSubject("holiday.jpg (1/2)");
            article.lines = 480;
            article.lineCount = 120;
            s.articleInProgress = &article;
        }
    };

  private slots:
    void init() { ProgramExiting.store(false); }

    void showsTheCountersAndTheLineProgress() {
        Groups g;
        GroupMonitor monitor(g.table, {}, QStringLiteral("alt.pictures.demo"));
        QCOMPARE(monitor.windowTitle(), QStringLiteral("News group monitor"));
        QCOMPARE(field(monitor, "linesEdit"), QStringLiteral("120/480 (25%)"));
        QCOMPARE(progress(monitor), 25);
        QCOMPARE(field(monitor, "currentEdit"), QStringLiteral("holiday.jpg (1/2)"));
        QCOMPARE(field(monitor, "nextEdit"), QStringLiteral("141"));
        QCOMPARE(field(monitor, "firstEdit"), QStringLiteral("100"));
        QCOMPARE(field(monitor, "finalEdit"), QStringLiteral("480"));
        QCOMPARE(field(monitor, "retrievedEdit"), QStringLiteral("41"));
        QCOMPARE(field(monitor, "decodedEdit"), QStringLiteral("7"));
        QCOMPARE(field(monitor, "assembledEdit"), QStringLiteral("2"));
        QCOMPARE(field(monitor, "kbytesEdit"), QStringLiteral("5"));  // truncated
        QCOMPARE(caption(monitor), QString());
        QVERIFY(monitor.refreshing());

        // A Lines header of 0: the count, a slash, 0, and no progress.
        g.article.lines = 0;
        g.article.lineCount = 7;
        monitor.refresh();
        QCOMPARE(field(monitor, "linesEdit"), QStringLiteral("7/0 (0%)"));
        QCOMPARE(progress(monitor), 0);

        // More lines than the header announced: never more done than known.
        g.article.lines = 970;
        g.article.lineCount = 971;
        monitor.refresh();
        QCOMPARE(field(monitor, "linesEdit"), QStringLiteral("970/970 (100%)"));
        QCOMPARE(progress(monitor), 100);

        // Several readers on the group: the position, not one reader's article.
        g.a.stats()->readers = 3;
        monitor.refresh();
        QCOMPARE(field(monitor, "currentEdit"), QStringLiteral("Last 140 (3 readers)"));
        QCOMPARE(field(monitor, "readersEdit"), QStringLiteral("3"));
        g.a.stats()->readers = 1;

        // Between articles the texts are empty.
        g.a.stats()->articleInProgress = nullptr;
        monitor.refresh();
        QCOMPARE(field(monitor, "linesEdit"), QString());
        QCOMPARE(field(monitor, "currentEdit"), QString());
    }

    void aFinishedGroupIsAllDone() {
        Groups g;
        GroupMonitor monitor(g.table, {}, QStringLiteral("alt.pictures.demo"));
        g.a.set(Finished);
        monitor.refresh();
        QCOMPARE(caption(monitor), QStringLiteral("All done!"));
        QCOMPARE(field(monitor, "currentEdit"), QString());
        QCOMPARE(field(monitor, "linesEdit"), QString());
        QCOMPARE(progress(monitor), 0);
        QCOMPARE(field(monitor, "retrievedEdit"), QStringLiteral("41"));  // counters stay

        // A group without stats still gets its caption, and nothing else.
        auto* combo = monitor.findChild<QComboBox*>(QStringLiteral("groupBox"));
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QStringLiteral("alt.binaries.pictures.test"));
        combo->setCurrentIndex(0);
        emit combo->activated(0);
        QCOMPARE(monitor.groupName(), QStringLiteral("alt.binaries.pictures.test"));
        QCOMPARE(caption(monitor), QString());
        QCOMPARE(field(monitor, "retrievedEdit"), QStringLiteral("41"));
    }

    void setMovesTheReadingPosition() {
        Groups g;
        ModalCatcher catcher;
        GroupMonitor monitor(g.table, {}, QStringLiteral("alt.pictures.demo"));
        auto* next = monitor.findChild<QLineEdit*>(QStringLiteral("nextEdit"));
        next->setText(QStringLiteral("1000"));
        QTest::mouseClick(monitor.findChild<QPushButton*>(QStringLiteral("setButton")),
                          Qt::LeftButton);
        QCOMPARE(g.a.stats()->current.load(), 999);
        QVERIFY(catcher.texts().isEmpty());
        monitor.refresh();
        QCOMPARE(next->text(), QStringLiteral("1000"));

        // Not a number: the standard message, and the position stays.
        next->setText(QStringLiteral("12x"));
        QTimer::singleShot(0, &monitor, [&] { monitor.applyNextArticle(); });
        QVERIFY(waitUntil([&] { return !catcher.texts().isEmpty(); }, 5000));
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("Please enter an integer.")});
        QCOMPARE(g.a.stats()->current.load(), 999);
    }

    void theRateIsReadAtEveryRefresh() {
        // The status bar's figure, not a sample of its own kept for three refreshes: the two
        // agree whenever both are looked at.
        Groups g;
        int samples = 0;
        GroupMonitor monitor(
            g.table, [&] { return ++samples * 1000; }, QStringLiteral("alt.pictures.demo"));
        QCOMPARE(field(monitor, "rateEdit"), QStringLiteral("1000"));
        monitor.refresh();
        QCOMPARE(field(monitor, "rateEdit"), QStringLiteral("2000"));
    }

    void anUnknownGroupChangesNothing() {
        Groups g;
        int samples = 0;
        GroupMonitor monitor(
            g.table, [&] { return ++samples; }, QStringLiteral("alt.gone"));
        QCOMPARE(samples, 0);  // the phase does not advance either
        QCOMPARE(field(monitor, "nextEdit"), QString());
        monitor.findChild<QLineEdit*>(QStringLiteral("nextEdit"))->setText("5");
        monitor.applyNextArticle();
        QCOMPARE(g.a.stats()->current.load(), 140);

        GroupTable empty;
        GroupMonitor none(empty, {}, QString());
        QVERIFY(!none.refreshing());
        QCOMPARE(none.findChild<QComboBox*>(QStringLiteral("groupBox"))->count(), 0);
    }

    void theEmbossingLayers() {
        const auto up = EmbossedButton::layers(false);
        QCOMPARE(up.size(), std::size_t{12});
        QCOMPARE(up[0].role, QPalette::Shadow);
        QCOMPARE(QPoint(up[0].dx, up[0].dy), QPoint(-2, 2));
        QCOMPARE(up[3].role, QPalette::Light);
        QCOMPARE(QPoint(up[3].dx, up[3].dy), QPoint(1, -2));
        QCOMPARE(up[8].role, QPalette::Dark);
        QCOMPARE(QPoint(up[8].dx, up[8].dy), QPoint(1, 1));
        QCOMPARE(up[11].role, QPalette::Midlight);
        QCOMPARE(QPoint(up[11].dx, up[11].dy), QPoint(-1, -1));
        const auto down = EmbossedButton::layers(true);
        for (std::size_t i = 0; i < up.size(); ++i) {
            QCOMPARE(down[i].role, up[i].role);
            QCOMPARE(QPoint(down[i].dx, down[i].dy), -QPoint(up[i].dx, up[i].dy));
        }
        // The font follows the tighter of the two ratios, less one.
        QCOMPARE(EmbossedButton::fittedPixelHeight(20, {100, 20}, {50, 40}), 9);
        QCOMPARE(EmbossedButton::fittedPixelHeight(20, {10, 20}, {500, 40}), 39);
        QCOMPARE(EmbossedButton::fittedPixelHeight(20, {0, 0}, {50, 40}), 20);
        // An empty caption (the monitor's while fetching) paints without dividing by zero.
        EmbossedButton empty{QString()};
        empty.resize(120, 40);
        QVERIFY(!empty.grab().isNull());
    }

    void theMainWindowOpensIt() {
        ModalCatcher catcher;
        GuiProgram p;
        QVERIFY(p.settings.selectedGroups.empty());
        p.window->findChild<QPushButton*>(QStringLiteral("monitorButton"))->click();
        QVERIFY(waitUntil([&] { return !catcher.texts().isEmpty(); }, 5000));
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("No news group selected!")});
        QCOMPARE(catcher.dialogsSeen(), 0);
        p.window->exitProgram();
    }

    void followsARealRun() {
        newsd::NewsServerOptions options;
        options.lineDelayMs = 10;  // long enough a run to watch, with every reader on the group
        GuiProgram p(options, 60);
        p.chooseServer();
        p.window->showAllGroups();
        QVERIFY(waitUntil([&] { return !p.window->groupListBusy(); }, 20000));
        auto* view = p.window->findChild<QTreeView*>(QStringLiteral("availableList"));
        QVERIFY(waitUntil([&] { return view->model()->rowCount() == 3; }, 5000));
        for (int row = 0; row < 3; ++row)
            if (view->model()->index(row, 0).data().toString() == "alt.pictures.demo")
                view->selectionModel()->select(view->model()->index(row, 0),
                                               QItemSelectionModel::Select);
        p.window->selectSelected();
        GroupEntry* demo = p.settings.selectedGroups.find("alt.pictures.demo");
        QVERIFY(demo);
        p.window->getPictures();
        QVERIFY(waitUntil([&] { return demo->stats() && demo->stats()->retrieved > 0; }, 30000));

        // A window beside the main one, not modal: Stop can be pressed while it is open.
        p.window->groupMonitor();
        auto* monitor = p.window->findChild<GroupMonitor*>();
        QVERIFY(monitor && monitor->isVisible());
        QVERIFY(!monitor->isModal());
        QVERIFY(!QApplication::activeModalWidget());
        const QString firstRetrieved = field(*monitor, "retrievedEdit");
        QVERIFY(
            waitUntil([&] { return field(*monitor, "retrievedEdit") != firstRetrieved; }, 20000));
        QVERIFY(field(*monitor, "retrievedEdit").toInt() > firstRetrieved.toInt());
        // Its rate is the status bar's.
        QVERIFY(waitUntil([&] { return p.window->receiveRate() > 0; }, 20000));
        monitor->refresh();
        QCOMPARE(field(*monitor, "rateEdit"),
                 QString::number(static_cast<int>(p.window->receiveRate())));
        // Opened again, it is the same window.
        p.window->groupMonitor();
        QCOMPARE(p.window->findChildren<GroupMonitor*>().size(), 1);
        auto* get = p.window->findChild<QPushButton*>(QStringLiteral("getPicturesButton"));
        QVERIFY(get && get->isEnabled());
        QTest::mouseClick(get, Qt::LeftButton);
        QVERIFY(waitUntil([&] { return !p.window->running(); }, 60000));

        // A double-click on the group's row opens its decoded files.
        auto* selected = p.window->findChild<QTreeWidget*>(QStringLiteral("selectedList"));
        QTreeWidgetItem* row = selected->topLevelItem(0);
        QVERIFY(row);
        const QPoint centre = selected->visualItemRect(row).center();
        QTest::mouseClick(selected->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(selected->viewport(), Qt::LeftButton, {}, centre);
        const auto managers = p.window->findChildren<FileManager*>();
        QCOMPARE(managers.size(), 1);
        QCOMPARE(managers.front()->groupName(), QStringLiteral("alt.pictures.demo"));
        QVERIFY(managers.front()->list()->topLevelItemCount() > 0);
        p.window->exitProgram();
    }
};

static RegisterGuiTest registerGroupMonitor("GroupMonitorTest",
                                            [] { return std::make_unique<GroupMonitorTest>(); });

}  // namespace qm::test

#include "groupmonitor_test.moc"
