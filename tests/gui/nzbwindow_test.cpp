// SPDX-License-Identifier: GPL-3.0-or-later
// NZBs in the main window: a dropped NZB fetched on the fixture server with the server in the
// box, its row refreshed to done, its files in the data folder; "Stop pictures!" stops it.
#include <QAction>
#include <QDropEvent>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include "../support/encoders.h"
#include "guiprogram.h"
#include "model/locks.h"
#include "newsserver/spool.h"
#include "newsserver/spoolmaker.h"
#include "nzb/nzbwriter.h"
#include "platform/file.h"

namespace qm::test {

namespace {

const std::string Group = "alt.binaries.test";

// The two yEnc halves of data as articles of Group (the second first), and their NZB file.
NzbFile postHalves(const std::string& spool, const std::string& name, std::string_view data,
                   std::uint64_t number) {
    NzbFile file;
    file.poster = "poster@example";
    file.date = 1700000000;
    file.subject = "set \"" + name + "\" yEnc (1/2)";
    file.groups = {Group};
    for (int n = 2; n >= 1; --n) {
        const std::string id = name + "." + std::to_string(n) + "@test";
        file.segments.push_back({n, static_cast<std::int64_t>(data.size() / 2), id});
        newsd::writeSpoolArticle(spool, Group, number++,
                                 "Subject: " + file.subject + "\nMessage-ID: <" + id + ">",
                                 yencHalf(data, name, n));
    }
    return file;
}

bool drop(QWidget& window, const QString& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    // Without a drag under way the application drops the event: it goes to the window as the
    // drag manager would hand it on.
    static_cast<QObject&>(window).event(&event);
    return event.isAccepted();
}

}  // namespace

class NzbWindowTest : public QObject {
    Q_OBJECT
  private slots:
    // The exit of the test before has told every connection to give up.
    void init() { ProgramExiting.store(false); }

    void droppedNzbIsFetchedAndItsRowShowsItDone() {
        newsd::SpoolPlan plan;
        plan.pictureBytes = 30000;
        const std::string first = newsd::makePicture(plan, 0);
        const std::string second = newsd::makePicture(plan, 1);
        NzbDocument nzb;
        GuiProgram p({}, 3, [&](const std::string& spool) {
            nzb.files.push_back(postHalves(spool, "first.jpg", first, 10));
            nzb.files.push_back(postHalves(spool, "second.jpg", second, 20));
        });
        p.chooseServer();
        const QString path = p.home.path() + "/Two Pictures.nzb";
        QVERIFY(writeFileAtomic(path.toStdString(), formatNzb(nzb)));

        QVERIFY(drop(*p.window, path));
        auto* table = p.window->findChild<QTreeWidget*>("nzbTable");
        auto* get = p.window->findChild<QPushButton*>("getPicturesButton");
        QVERIFY(table->isVisible());
        QCOMPARE(table->topLevelItemCount(), 1);
        QVERIFY(waitUntil([&] { return !p.window->nzbBusy(); }, 30000));
        QTreeWidgetItem* row = table->topLevelItem(0);
        QCOMPARE(row->text(0), QString("Two Pictures.nzb"));
        QCOMPARE(row->text(1), QString("2/2"));
        QCOMPARE(row->text(5), QString("0"));
        QCOMPARE(row->text(6), QString("done"));  // no par2 set in it
        QCOMPARE(get->text(), QString("Get pictures!"));
        const std::string folder = p.settings.dataDirectory + "/nzb/TwoXPictures/";
        QCOMPARE(readWholeFile(folder + "first.jpg").value_or("<none>"), first);
        QCOMPARE(readWholeFile(folder + "second.jpg").value_or("<none>"), second);
        p.window->exitProgram();
    }

    void stopPicturesStopsAnNzbAndTheExitJoinsIt() {
        // A server that answers slowly keeps the fetch on long enough to stop it.
        newsd::NewsServerOptions slow;
        slow.lineDelayMs = 20;
        newsd::SpoolPlan plan;
        plan.pictureBytes = 20000;
        NzbDocument nzb;
        std::vector<std::string> pictures;
        GuiProgram p(slow, 3, [&](const std::string& spool) {
            for (int i = 0; i < 6; ++i) {
                pictures.push_back(newsd::makePicture(plan, i));
                nzb.files.push_back(postHalves(spool, "p" + std::to_string(i) + ".jpg",
                                               pictures.back(), 100 + 2 * i));
            }
        });
        p.chooseServer();
        p.settings.maxThreads = 1;
        const QString path = p.home.path() + "/slow.nzb";
        QVERIFY(writeFileAtomic(path.toStdString(), formatNzb(nzb)));
        QVERIFY(p.window->openNzbFiles({path}));
        auto* get = p.window->findChild<QPushButton*>("getPicturesButton");
        QCOMPARE(get->text(), QString("Stop pictures!"));
        auto* options = p.window->findChild<QAction*>("optionsAction");
        QVERIFY(!options->isEnabled());  // the data folder stays put under the fetch
        QTest::qWait(300);
        QVERIFY(p.window->nzbBusy());
        get->click();
        QVERIFY(waitUntil([&] { return !p.window->nzbBusy(); }, 10000));
        auto* table = p.window->findChild<QTreeWidget*>("nzbTable");
        QCOMPARE(table->topLevelItem(0)->text(6), QString("stopped"));
        QCOMPARE(get->text(), QString("Get pictures!"));
        QVERIFY(options->isEnabled());

        // Opened again while the stop of the one before is under way, it is fetched all the
        // same; the exit stops and joins it.
        QVERIFY(p.window->openNzbFiles({path}));
        QTest::qWait(200);
        get->click();
        QVERIFY(p.window->openNzbFiles({path}));
        QCOMPARE(table->topLevelItemCount(), 3);
        QVERIFY(waitUntil([&] { return table->topLevelItem(2)->text(6) == "fetching"; }, 10000));
        QCOMPARE(table->topLevelItem(1)->text(6), QString("stopped"));
        p.window->exitProgram();
        QVERIFY(!p.window->nzbBusy());
    }
};

static RegisterGuiTest registerNzbWindow("NzbWindowTest",
                                         [] { return std::make_unique<NzbWindowTest>(); });

}  // namespace qm::test

#include "nzbwindow_test.moc"
