// The main window during runs: never frozen by a worker's message box, responsive through a
// full-speed run of a large group, and telling what a run brought in.
#include <QDateTime>
#include <QDialog>
#include <QElapsedTimer>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <atomic>
#include <cerrno>
#include <thread>

#include "config/locks.h"
#include "guiprogram.h"
#include "newsserver/spoolmaker.h"
#include "nntp/readerpool.h"

namespace qm::test {

namespace {

const std::string BigGroup = "alt.binaries.pictures.big";
const std::string SameIds = "alt.binaries.pictures.again";
const std::string Third = "alt.binaries.pictures.third";

// Ticks of a 50 ms timer on the window thread, and the gaps between them while a run is on.
class TickGaps : public QObject {
  public:
    explicit TickGaps(std::function<bool()> measuring) : m_measuring(std::move(measuring)) {
        connect(&m_timer, &QTimer::timeout, this, &TickGaps::tick);
        m_timer.start(50);
        m_clock.start();
    }
    int over(int ms) const {
        return static_cast<int>(
            std::count_if(m_gaps.begin(), m_gaps.end(), [ms](qint64 g) { return g > ms; }));
    }
    qint64 longest() const {
        return m_gaps.empty() ? 0 : *std::max_element(m_gaps.begin(), m_gaps.end());
    }
    std::size_t ticks() const { return m_gaps.size(); }

  private:
    void tick() {
        const qint64 now = m_clock.elapsed();
        if (m_measuring() && m_last >= 0) m_gaps.push_back(now - m_last);
        m_last = m_measuring() ? now : -1;
    }
    std::function<bool()> m_measuring;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = -1;
    std::vector<qint64> m_gaps;
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

    static void rewind(GuiProgram& p) {
        GroupEntry* g = p.settings.selectedGroups.find(BigGroup);
        g->stats()->current = -1;
        g->clear(Finished);
        std::remove(joinPath(p.session.groupFolder(*g), "Last").c_str());
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
        catcher.onBox = [&](const QString&) { (void)p.session.readerPool().runningReaders(); };
        p.window->getPictures();
        QVERIFY(
            waitUntil([&] { return p.window->runState() == RunController::State::Idle; }, 20000));
        QVERIFY2(!watch.froze(), "the window thread waited for a reader that waited for it");
        QCOMPARE(catcher.texts(),
                 QStringList{QStringLiteral("Connection to server %1(%2) failed (e=%3)")
                                 .arg("127.0.0.1")
                                 .arg(p.server->port())
                                 .arg(ECONNREFUSED)});
        p.window->exitProgram();
    }

    void theWindowKeepsTicking_DuringAFullSpeedRunOfALargeGroup() {
        ModalCatcher catcher;
        QElapsedTimer total;
        total.start();
        newsd::SpoolPlan plan;
        plan.group = BigGroup;
        plan.articles = 20000;
        plan.pictureEvery = 20;
        plan.pictureBytes = 2000;
        GuiProgram p({}, 1, [&](const std::string& spool) {
            plan.spoolDir = spool;
            newsd::makeSpool(plan);
            plan.group = SameIds;  // the same articles again: all skipped as retrieved
            newsd::makeSpool(plan);
            plan.group = Third;
            plan.seed = 2;
            newsd::makeSpool(plan);
            plan.group = BigGroup;
        });
        qInfo("program up at %lld ms", total.elapsed());
        p.settings.maxThreads = 6;
        (void)p.session.readerPool(6);
        p.chooseServer();
        p.window->commitServerBox();  // a new server brings its own lists
        select(p, BigGroup);
        TickGaps gaps([&] { return p.window->running(); });
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(getButton(p), Qt::LeftButton);
        QVERIFY(p.window->running());
        QVERIFY(
            waitUntil([&] { return p.window->runState() == RunController::State::Idle; }, 120000));
        qInfo("run of %llu articles: %lld ms, %zu ticks, longest gap %lld ms, %d over 200 ms",
              static_cast<unsigned long long>(plan.articles), clock.elapsed(), gaps.ticks(),
              gaps.longest(), gaps.over(200));
        QVERIFY(catcher.texts().isEmpty());

        // Again: now every article is one "skip retrieved" line; with the monitor open.
        p.window->findChild<QTreeWidget*>("selectedList")
            ->setCurrentItem(p.window->findChild<QTreeWidget*>("selectedList")->topLevelItem(0));
        p.window->removeSelected();
        select(p, SameIds);
        TickGaps gaps2([&] { return p.window->running(); });
        clock.restart();
        QTimer::singleShot(300, p.window.get(), [&] { p.window->groupMonitor(); });
        catcher.onDialog = [&](QDialog& d) { QTimer::singleShot(2500, &d, &QDialog::reject); };
        QTest::mouseClick(getButton(p), Qt::LeftButton);
        qInfo("state %d", int(p.window->runState()));
        QVERIFY(
            waitUntil([&] { return p.window->runState() == RunController::State::Idle; }, 120000));
        qInfo("second run: %lld ms, %zu ticks, longest gap %lld ms, %d over 200 ms",
              clock.elapsed(), gaps2.ticks(), gaps2.longest(), gaps2.over(200));

        // And a stop in the middle.
        p.window->findChild<QTreeWidget*>("selectedList")
            ->setCurrentItem(p.window->findChild<QTreeWidget*>("selectedList")->topLevelItem(0));
        p.window->removeSelected();
        select(p, Third);
        TickGaps gaps3([&] { return p.window->runState() != RunController::State::Idle; });
        clock.restart();
        QTest::mouseClick(getButton(p), Qt::LeftButton);
        QTest::qWait(1000);
        QElapsedTimer stopClock;
        stopClock.start();
        QTest::mouseClick(getButton(p), Qt::LeftButton);
        qInfo("text after stop click: %s after %lld ms", qPrintable(getButton(p)->text()),
              stopClock.elapsed());
        QVERIFY(
            waitUntil([&] { return p.window->runState() == RunController::State::Idle; }, 120000));
        qInfo("stop took %lld ms; gaps: %zu ticks, longest %lld ms, %d over 200 ms",
              stopClock.elapsed(), gaps3.ticks(), gaps3.longest(), gaps3.over(200));
        QCOMPARE(gaps.over(200), 0);
        QCOMPARE(gaps2.over(200), 0);
        qInfo("before exit at %lld ms", total.elapsed());
        p.window->exitProgram();
        qInfo("after exit at %lld ms", total.elapsed());
    }
};

static RegisterGuiTest registerMainWindowRun("MainWindowRunTest",
                                             [] { return std::make_unique<MainWindowRunTest>(); });

}  // namespace qm::test

#include "mainwindowrun_test.moc"
