// SPDX-License-Identifier: GPL-3.0-or-later
// The main window during runs: never frozen by a worker's message box, responsive through a
// full-speed run of large groups (with the monitor open and a stop in the middle), and
// telling what a run brought in.
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include "guiprogram.h"
#include "model/locks.h"
#include "newsserver/spool.h"
#include "newsserver/spoolmaker.h"
#include "nntp/readerpool.h"

namespace qm::test {

namespace {

using Clock = std::chrono::steady_clock;

qint64 msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The gaps between the ticks of a 50 ms timer on the window thread while measuring() holds.
// A plain thread of the process wakes every 20 ms beside it: a window gap during which that
// thread was kept from running as long is the machine's doing (a loaded, shared machine), not
// the window's, and is excused.
class TickGaps : public QObject {
  public:
    explicit TickGaps(std::function<bool()> measuring)
        : m_measuring(std::move(measuring)), m_start(Clock::now()) {
        connect(&m_timer, &QTimer::timeout, this, &TickGaps::tick);
        m_timer.start(50);
        m_control = std::thread([this] {
            qint64 last = msSince(m_start);
            while (!m_done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                const qint64 now = msSince(m_start);
                if (now - last > 150) {
                    std::lock_guard lock(m_mutex);
                    m_stalls.emplace_back(last, now);
                }
                last = now;
            }
        });
    }
    ~TickGaps() override {
        m_done = true;
        m_control.join();
    }
    // Gaps longer than ms that the control thread does not excuse.
    int over(qint64 ms) const {
        std::lock_guard lock(m_mutex);
        int count = 0;
        for (auto [from, to] : m_gaps) {
            const bool excused = std::any_of(m_stalls.begin(), m_stalls.end(), [&](auto stall) {
                return stall.first < to && stall.second > from;
            });
            if (to - from > ms && !excused) ++count;
        }
        return count;
    }
    qint64 longest() const {
        qint64 longest = 0;
        for (auto [from, to] : m_gaps) longest = std::max(longest, to - from);
        return longest;
    }
    std::size_t ticks() const { return m_gaps.size(); }
    std::size_t stalls() const {
        std::lock_guard lock(m_mutex);
        return m_stalls.size();
    }

  private:
    void tick() {
        const qint64 now = msSince(m_start);
        const bool measuring = m_measuring();
        if (measuring && m_last >= 0) m_gaps.emplace_back(m_last, now);
        m_last = measuring ? now : -1;
    }

    std::function<bool()> m_measuring;
    const Clock::time_point m_start;
    QTimer m_timer;
    qint64 m_last = -1;
    std::vector<std::pair<qint64, qint64>> m_gaps;  // window thread only
    mutable std::mutex m_mutex;
    std::vector<std::pair<qint64, qint64>> m_stalls;  // guarded by m_mutex
    std::atomic<bool> m_done{false};
    std::thread m_control;
};

// Notices a window thread that stops turning its event loop for 5 s, and then sets
// ProgramExiting: a reader that waits for the window gives up at that, so a deadlock of the
// window with a reader ends (and the test fails) instead of hanging the test.
class FreezeWatch : public QObject {
  public:
    FreezeWatch() : m_beat(now()) {
        connect(&m_timer, &QTimer::timeout, this, [this] { m_beat = now(); });
        m_timer.start(50);
        m_thread = std::thread([this] {
            while (!m_done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (now() - m_beat.load() > 5000 && !m_froze.exchange(true))
                    ProgramExiting.store(true);
            }
        });
    }
    ~FreezeWatch() override {
        m_done = true;
        m_thread.join();
    }
    bool froze() const { return m_froze; }

  private:
    static qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }
    QTimer m_timer;
    std::atomic<qint64> m_beat;
    std::atomic<bool> m_froze{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

}  // namespace

class MainWindowRunTest : public QObject {
    Q_OBJECT
  private:
    static QPushButton* getButton(GuiProgram& p) {
        return p.window->findChild<QPushButton*>("getPicturesButton");
    }
    static void select(GuiProgram& p, const std::string& name) {
        GroupEntry* g = p.settings.allGroups.find(name);
        if (!g) {
            g = &p.settings.newGroup(name);
            p.settings.allGroups.add(*g);
        }
        p.window->addToSelected(*g);
        p.settings.select(*g);
    }
    static bool idle(GuiProgram& p) { return p.window->runState() == RunController::State::Idle; }
    static long long retrieved(GuiProgram& p) {
        long long total = 0;
        for (const GroupEntry* g : p.settings.selectedGroups.entries())
            if (const GroupStats* stats = g->stats()) total += stats->retrieved.load();
        return total;
    }

  private slots:
    void init() { ProgramExiting.store(false); }

    void aReadersMessageBoxNeverFreezesTheWindow() {
        ModalCatcher catcher;
        FreezeWatch watch;
        GuiProgram p;
        p.server->stop();  // nobody listens on its port now: every reader's connect fails
        p.chooseServer();
        p.window->commitServerBox();
        for (const char* g : {"alt.pictures.demo", "alt.binaries.pictures.test", "comp.misc.talk"})
            select(p, g);
        // While the reader's box is up the window thread goes on with its work, such as the
        // run controller's count of the readers.
        catcher.onBox = [&](const QString&) { (void)p.session.runningReaders(); };
        p.window->getPictures();
        QVERIFY(waitUntil([&] { return idle(p); }, 20000));
        QVERIFY2(!watch.froze(), "the window thread waited for a reader that waited for it");
        QCOMPARE(catcher.texts(),
                 QStringList{QStringLiteral("Connection to server %1(%2) failed (e=%3)\r\n"
                                            "Cannot connect to %1 port %2: connection refused.")
                                 .arg("127.0.0.1")
                                 .arg(p.server->port())
                                 .arg(ECONNREFUSED)});
        p.window->exitProgram();
    }

    void aRunEndsWithOneSummaryLineAndItsTotalsInTheStatusBar() {
        // Beside the pictures, a text file: decoded, but no picture.
        GuiProgram p({}, 3, [](const std::string& spool) {
            newsd::writeSpoolArticle(
                spool, "alt.binaries.pictures.test", 4,
                "Subject: notes.txt\nMessage-ID: <notes@demo>",
                "begin 644 notes.txt\n8:G5S=\"!A(&YO=&4L(&YO(\'!I8W1U<F4*\n`\nend\n");
        });
        p.chooseServer();
        p.window->commitServerBox();
        for (const char* g : {"alt.pictures.demo", "alt.binaries.pictures.test"}) select(p, g);
        auto* totals = p.window->findChild<QLabel*>("runTotals");
        QVERIFY(totals && p.window->statusBar()->isVisible());
        p.window->getPictures();
        QVERIFY(waitUntil([&] { return idle(p); }, 60000));
        QCoreApplication::processEvents();  // the log takes its lines in batches
        // The groups' own counters, summed: 8 articles (a split post is two).
        long long bytes = 0, pictures = 0, decoded = 0;
        for (const char* name : {"alt.pictures.demo", "alt.binaries.pictures.test"}) {
            const GroupStats* stats = p.settings.selectedGroups.find(name)->stats();
            bytes += stats->bytes;
            pictures += stats->pictureFiles;
            decoded += stats->decoded;
        }
        QVERIFY(bytes > 0 && pictures > 0);
        QCOMPARE(decoded, pictures + 1);  // the text file is no picture
        QStringList summaries;
        QAbstractItemModel* log = p.window->findChild<QListView*>("logList")->model();
        for (int row = 0; row < log->rowCount(); ++row)
            if (log->index(row, 0).data().toString().startsWith("Run ended: "))
                summaries << log->index(row, 0).data().toString();
        QCOMPARE(summaries.size(), 1);
        const QString expected =
            QStringLiteral("Run ended: 2 groups, 8 articles, %1 pictures, %2 bytes in ")
                .arg(pictures)
                .arg(bytes);
        QVERIFY2(summaries[0].startsWith(expected), qPrintable(summaries[0]));
        QVERIFY2(totals->text().startsWith(
                     QStringLiteral("Articles: 8   Pictures: %1   ").arg(pictures)),
                 qPrintable(totals->text()));

        // A second run counts only what it brings in: nothing new here.
        p.window->getPictures();
        QVERIFY(waitUntil([&] { return idle(p); }, 60000));
        QVERIFY2(totals->text().startsWith("Articles: 0   Pictures: 0   0.0 MB"),
                 qPrintable(totals->text()));
        auto images = [](MainWindow& w) {
            QStringList texts;
            auto* list = w.findChild<QTreeWidget*>("selectedList");
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                texts << list->topLevelItem(i)->text(1);
            texts.sort();
            return texts;
        };
        const QStringList counted = images(*p.window);
        QVERIFY(!counted.contains("0/0"));
        p.window->exitProgram();

        // The next start shows every group's counts as they were, not "0/0".
        ProgramExiting.store(false);
        QtFrontend frontend;
        Session session(frontend, p.profile);
        MainWindow again(session, frontend);
        QCOMPARE(images(again), counted);
        again.exitProgram();
    }

    void aRunAfterARefusedConnectionReadsItsGroupsAgain() {
        ModalCatcher catcher;
        GuiProgram p;
        p.chooseServer();
        p.window->commitServerBox();
        for (const char* g : {"alt.pictures.demo", "alt.binaries.pictures.test"}) select(p, g);
        auto run = [&] {
            p.window->getPictures();
            return waitUntil([&] { return idle(p); }, 60000);
        };
        QVERIFY(run());  // every group read to its end

        // A server where nobody listens: its box is said once, and the run ends.
        const QString serverLine = p.serverLine();
        newsd::NewsServerOptions options;
        options.spool = (p.home.path() + "/spool").toStdString();
        int deadPort = 0;
        {
            newsd::NewsServer gone(options);
            gone.start();
            deadPort = gone.port();
        }
        p.window->findChild<QComboBox*>("serverBox")
            ->setEditText(QStringLiteral("127.0.0.1 %1").arg(deadPort));
        QVERIFY(run());
        QCOMPARE(catcher.texts().size(), 1);
        QVERIFY2(catcher.texts()[0].contains(QStringLiteral("failed (e=%1)").arg(ECONNREFUSED)),
                 qPrintable(catcher.texts()[0]));

        // Back on the first server, which has one article more now.
        newsd::writeSpoolArticle(options.spool, "alt.binaries.pictures.test", 100,
                                 "Subject: later news\nMessage-ID: <later@demo>", "text\n");
        p.server->clearCommands();
        p.window->findChild<QComboBox*>("serverBox")->setEditText(serverLine);
        QVERIFY(run());
        QCoreApplication::processEvents();  // the log takes its lines in batches
        QStringList groups;
        for (const std::string& command : p.server->commands())
            if (command.starts_with("GROUP ")) groups << QString::fromStdString(command);
        groups.sort();
        groups.removeDuplicates();  // readers without a group of their own help with these
        QCOMPARE(groups,
                 (QStringList{"GROUP alt.binaries.pictures.test", "GROUP alt.pictures.demo"}));
        QAbstractItemModel* log = p.window->findChild<QListView*>("logList")->model();
        QString last;
        for (int row = 0; row < log->rowCount(); ++row)
            if (log->index(row, 0).data().toString().startsWith("Run ended: "))
                last = log->index(row, 0).data().toString();
        QVERIFY2(last.startsWith("Run ended: 2 groups, 1 article, 0 pictures"), qPrintable(last));
        p.window->exitProgram();
    }

    void aLoginIsAskedOncePerRunAndItsAnswerServesEveryReader() {
        newsd::NewsServerOptions options;
        options.authUser = "joe";
        options.authPassword = "right";
        ModalCatcher catcher;
        GuiProgram p(options);
        p.chooseServer();
        p.window->commitServerBox();
        for (const char* g : {"alt.pictures.demo", "alt.binaries.pictures.test", "comp.misc.talk"})
            select(p, g);
        QVERIFY(p.settings.maxThreads >= 3);  // every group a reader of its own, all at once
        bool lockFree = true;
        auto answer = [&](std::optional<QString> password) {
            catcher.onDialog = [&, password](QDialog& d) {
                // The reader that asks holds no program-wide lock while the prompt is up (the
                // others take it for a moment now and then: a few tries).
                bool taken = false;
                for (int i = 0; i < 50 && !taken; ++i) {
                    taken = AuthLock.try_lock();
                    if (taken)
                        AuthLock.unlock();
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                lockFree = lockFree && taken;
                if (!password) return d.reject();
                d.findChild<QLineEdit*>("userEdit")->setText("joe");
                d.findChild<QLineEdit*>("passwordEdit")->setText(*password);
                d.accept();
            };
        };
        auto run = [&] {
            p.window->getPictures();
            const bool ended = waitUntil([&] { return idle(p); }, 60000);
            QCoreApplication::processEvents();  // the log takes its lines in batches
            return ended;
        };
        auto lines = [&](const QString& part) {
            QAbstractItemModel* log = p.window->findChild<QListView*>("logList")->model();
            int n = 0;
            for (int row = 0; row < log->rowCount(); ++row)
                n += log->index(row, 0).data().toString().contains(part);
            return n;
        };

        answer(std::nullopt);  // Cancel: once, not once per reader
        QVERIFY(run());
        QCOMPARE(catcher.dialogsSeen(), 1);
        QVERIFY(lines("Login required - 127.0.0.1") >= 1);

        answer(QStringLiteral("wrong"));  // asked again in the next run; said as refused
        QVERIFY(run());
        QCOMPARE(catcher.dialogsSeen(), 2);
        QVERIFY(lines("Login refused - 127.0.0.1") >= 1);
        QCOMPARE(lines("none was given"), 0);

        const int required = lines("Login required"), refused = lines("Login refused");
        answer(QStringLiteral("right"));  // every reader logs in with it and reads its group
        QVERIFY(run());
        QCOMPARE(catcher.dialogsSeen(), 3);
        QCOMPARE(lines("Login required"), required);
        QCOMPARE(lines("Login refused"), refused);
        for (const GroupEntry* g : p.settings.selectedGroups.entries())
            QVERIFY2(g->stats() && g->stats()->retrieved > 0, g->name().c_str());
        QVERIFY(lockFree);
        QVERIFY(catcher.texts().isEmpty());
        p.window->exitProgram();
    }

    void theWindowStaysResponsiveThroughAFullSpeedRunWithTheMonitorOpenAndAStop() {
        constexpr int Groups = 4;
        constexpr int Articles = 5000;  // short text, every 25th a small picture
        ModalCatcher catcher;
        GuiProgram p({}, 1, [](const std::string& spool) {
            for (int g = 0; g < Groups; ++g) {
                newsd::SpoolPlan plan;
                plan.spoolDir = spool;
                plan.group = "alt.binaries.pictures.big" + std::to_string(g);
                plan.articles = Articles;
                plan.pictureEvery = 25;
                plan.pictureBytes = 2000;
                plan.seed = static_cast<std::uint64_t>(g) + 1;
                newsd::makeSpool(plan);
            }
        });
        p.settings.firstVisit = 0;  // every article of the never-read groups, not the newest
        p.chooseServer();
        p.window->commitServerBox();  // a new server brings its own lists
        for (int g = 0; g < Groups; ++g) select(p, "alt.binaries.pictures.big" + std::to_string(g));
        TickGaps gaps([&] { return !idle(p); });

        QTest::mouseClick(getButton(p), Qt::LeftButton);
        QVERIFY(p.window->running());
        QVERIFY(waitUntil([&] { return retrieved(p) >= 2000 || idle(p); }, 60000));
        QVERIFY2(p.window->running(), "the run should still be going");
        QTest::mouseClick(getButton(p), Qt::LeftButton);
        QCOMPARE(getButton(p)->text(), QStringLiteral("Get pictures!"));  // at once
        const auto stopped = Clock::now();
        QVERIFY(waitUntil([&] { return idle(p); }, 10000));
        const qint64 stopMs = msSince(stopped);

        // On from where it stopped, to the end, with the monitor open beside the window.
        p.window->groupMonitor();
        QTest::mouseClick(getButton(p), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return idle(p); }, 120000));
        QCOMPARE(catcher.dialogsSeen(), 0);
        QCOMPARE(retrieved(p), static_cast<long long>(Groups * Articles));
        qInfo(
            "%zu ticks, longest gap %lld ms, %d over 200 ms not excused (%zu stalls of the "
            "machine); the stop took %lld ms",
            gaps.ticks(), gaps.longest(), gaps.over(200), gaps.stalls(), stopMs);
        QVERIFY(gaps.ticks() > 0);
#ifndef QM_SANITIZED  // a sanitizer slows the window thread many times over
        QCOMPARE(gaps.over(200), 0);
#endif
        QVERIFY(catcher.texts().isEmpty());
        p.window->exitProgram();
    }
};

static RegisterGuiTest registerMainWindowRun("MainWindowRunTest",
                                             [] { return std::make_unique<MainWindowRunTest>(); });

}  // namespace qm::test

#include "mainwindowrun_test.moc"
