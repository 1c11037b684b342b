// SPDX-License-Identifier: GPL-3.0-or-later
// The banner plug-in host: inert without a plug-in or with an incomplete one, forwarding to
// the sample plug-in, and the banner area of the main window.
#include <dlfcn.h>
#include <QDir>
#include <QFile>
#include <QTest>

#include "advert/aimdll.h"
#include "advert/bannerarea.h"
#include "guiprogram.h"

namespace qm::test {

namespace {

// Points QMERE_BANNER_TRACE at a fresh file for its lifetime; calls() lists the entry
// points the plug-in saw.
class Trace {
  public:
    Trace() : m_path(m_dir.path() + "/trace.txt") {
        qputenv("QMERE_BANNER_TRACE", m_path.toLocal8Bit());
    }
    ~Trace() { qunsetenv("QMERE_BANNER_TRACE"); }
    QStringList calls() const {
        QFile f(m_path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

  private:
    QTemporaryDir m_dir;
    QString m_path;
};

bool stillLoaded(const char* path) {
    void* handle = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle) ::dlclose(handle);
    return handle != nullptr;
}

}  // namespace

class BannerTest : public QObject {
    Q_OBJECT
  private slots:
    void withoutThePlugInTheHostIsInert() {
        AimDll host(81, nullptr, 1, 0, "libqmere-no-such-banner.so");
        QVERIFY(!host.isOkay());
        QCOMPARE(host.status(), AimDll::StatusMissing);
        QmBannerCanvas canvas{nullptr, 0, 0, 0};
        QVERIFY(!host.Paint(&canvas, 15, 10));
        QVERIFY(!host.OnClick());
        QVERIFY(!host.SetCallback(nullptr, nullptr));
        QVERIFY(!host.debugTriggerEvent(1));
    }

    void aPlugInMissingOneEntryPointIsUnloadedAtOnceAndNeverStarted() {
        Trace trace;
        QVERIFY(!stillLoaded(QM_BANNER_INCOMPLETE));
        {
            AimDll host(81, nullptr, 1, 0, QM_BANNER_INCOMPLETE);
            QVERIFY(!host.isOkay());
            QCOMPARE(host.status(), AimDll::StatusMissing);
            QVERIFY(!stillLoaded(QM_BANNER_INCOMPLETE));
            QVERIFY(!host.OnClick());
        }
        QCOMPARE(trace.calls(), QStringList{});
    }

    void theSamplePlugInIsStartedPaintsAndIsShutDown() {
        Trace trace;
        {
            AimDll host(81, nullptr, 1, 0, QM_BANNER_SAMPLE);
            QVERIFY(host.isOkay());
            QCOMPARE(host.status(), 0u);
            QImage image(QM_BANNER_WIDTH, QM_BANNER_HEIGHT, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QmBannerCanvas canvas{reinterpret_cast<std::uint32_t*>(image.bits()), image.width(),
                                  image.height(), int(image.bytesPerLine() / 4)};
            QVERIFY(host.Paint(&canvas, 15, 10));
            QCOMPARE(qAlpha(image.pixel(0, 0)), 255);
            QCOMPARE(qAlpha(image.pixel(467, 59)), 255);
            int called = 0;
            QVERIFY(host.SetCallback([](void* data) { ++*static_cast<int*>(data); }, &called));
            QVERIFY(host.OnClick());
            QCOMPARE(called, 1);
            QVERIFY(host.debugTriggerEvent(3));
        }
        QCOMPARE(trace.calls(), (QStringList{"_Startup", "_Paint", "_SetCallback", "_OnClick",
                                             "_debugTriggerEvent", "_Shutdown"}));
    }

    void theBannerRectangleLeavesOutItsRightAndBottomEdges() {
        QVERIFY(AimDll::inBanner(15, 10));
        QVERIFY(AimDll::inBanner(482, 69));
        QVERIFY(!AimDll::inBanner(483, 70));
        QVERIFY(!AimDll::inBanner(483, 40));
        QVERIFY(!AimDll::inBanner(100, 70));
        QVERIFY(!AimDll::inBanner(14, 10));
        QVERIFY(!AimDll::inBanner(15, 9));
    }

    void mainWindowShowsTheBannerAndForwardsClicksInsideIt() {
        Trace trace;
        GuiProgram p;
        auto* banner = p.window->findChild<BannerArea*>("bannerArea");
        QVERIFY(banner);
        banner->setLibrary(QM_BANNER_SAMPLE);
        QVERIFY(waitUntil([&] { return banner->host() != nullptr; }, 5000));
        QVERIFY(banner->host()->isOkay());
        QTest::qWait(100);
        // The host asks for the first paint of the banner itself.
        QVERIFY(trace.calls().contains("_Paint"));
        const QImage shot = banner->grab().toImage();
        QCOMPARE(shot.pixel(AimDll::Left, AimDll::Top), qRgb(0xf1, 0xc4, 0x0f));  // its frame

        QTest::mouseClick(banner, Qt::LeftButton, {}, QPoint(483, 70));
        QCOMPARE(banner->clicksForwarded(), 0);
        QVERIFY(!trace.calls().contains("_OnClick"));
        QTest::mouseClick(banner, Qt::LeftButton, {}, QPoint(15, 10));
        QCOMPARE(banner->clicksForwarded(), 1);
        QCOMPARE(trace.calls().count("_OnClick"), 1);

        QDir().mkpath(QM_SCREENSHOT_DIR);
        QVERIFY(p.window->grab().save(QM_SCREENSHOT_DIR "/mainwindow-banner.png"));
        p.window->exitProgram();
    }

    void withoutThePlugInTheMainWindowShowsNoBanner() {
        GuiProgram p;
        auto* banner = p.window->findChild<BannerArea*>("bannerArea");
        banner->setLibrary("libqmere-no-such-banner.so");
        QVERIFY(waitUntil([&] { return banner->host() != nullptr; }, 5000));
        QVERIFY(!banner->host()->isOkay());
        QVERIFY(waitUntil([&] { return !banner->isVisible(); }, 5000));
        QTest::mouseClick(banner, Qt::LeftButton, {}, QPoint(15, 10));  // no crash, no call
        p.window->exitProgram();
    }
};

static RegisterGuiTest registerBanner("BannerTest", [] { return std::make_unique<BannerTest>(); });

}  // namespace qm::test

#include "banner_test.moc"
