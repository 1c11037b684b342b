// SPDX-License-Identifier: GPL-3.0-or-later
// The splash window: which pictures give one, the slide arithmetic, what each step shows,
// dragging and closing; and PaletteBitmap drawing.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <functional>

#include "dialogs/palettebitmap.h"
#include "dialogs/splashscreen.h"
#include "guitests.h"
#include "platform/paths.h"

namespace qm::test {

namespace {

void put32(QByteArray& b, int at, quint32 v) {
    for (int i = 0; i < 4; ++i) b[at + i] = char(v >> (8 * i));
}

// An 8-bit bitmap file with the colour table and pixel indices given (index(x, y), y from
// the top).
QString writePaletteBmp(const QString& path, int width, int height, const QList<QRgb>& colours,
                        const std::function<int(int, int)>& index) {
    const int rowBytes = (width + 3) / 4 * 4;
    const int table = 4 * int(colours.size());
    QByteArray b(14 + 40 + table + rowBytes * height, '\0');
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, quint32(b.size()));
    put32(b, 10, quint32(14 + 40 + table));
    put32(b, 14, 40);
    put32(b, 18, quint32(width));
    put32(b, 22, quint32(height));
    b[26] = 1;
    b[28] = 8;
    put32(b, 46, quint32(colours.size()));
    for (int i = 0; i < colours.size(); ++i) {
        b[54 + 4 * i] = char(qBlue(colours[i]));
        b[55 + 4 * i] = char(qGreen(colours[i]));
        b[56 + 4 * i] = char(qRed(colours[i]));
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            b[14 + 40 + table + (height - 1 - y) * rowBytes + x] = char(index(x, y));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(b);
    return path;
}

// A one-colour bitmap file: 8 bits per pixel, or a true-colour one of 24.
QString writeBmp(const QString& path, int width, int height, QRgb colour, int bpp = 8) {
    if (bpp == 8) return writePaletteBmp(path, width, height, {colour}, [](int, int) { return 0; });
    const int rowBytes = (width * 3 + 3) / 4 * 4;
    QByteArray b(14 + 40 + rowBytes * height, '\0');
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, quint32(b.size()));
    put32(b, 10, 54);
    put32(b, 14, 40);
    put32(b, 18, quint32(width));
    put32(b, 22, quint32(height));
    b[26] = 1;
    b[28] = 24;
    for (int i = 54; i + 2 < b.size(); i += 3) {
        b[i] = char(qBlue(colour));
        b[i + 1] = char(qGreen(colour));
        b[i + 2] = char(qRed(colour));
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(b);
    return path;
}

constexpr QRgb Front = 0xffc02020;
constexpr QRgb Back = 0xff2040c0;

}  // namespace

class SplashTest : public QObject {
    Q_OBJECT
  private slots:
    void slideOf487PixelsShowsSevenThenFiftyFiveThenFortyEightMore() {
        const int dir = SlideHorizontal | FromRight;
        QCOMPARE(slideFrame(487, 100, 10, 0, dir).width, 7);
        QCOMPARE(slideFrame(487, 100, 10, 0, dir).targetX, 480);
        QCOMPARE(slideFrame(487, 100, 10, 1, dir).width, 55);
        for (int k = 2; k <= 10; ++k)
            QCOMPARE(slideFrame(487, 100, 10, k, dir).width,
                     slideFrame(487, 100, 10, k - 1, dir).width + 48);
        const SlideFrame done = slideFrame(487, 100, 10, 10, dir);
        QCOMPARE(done.width, 487);
        QCOMPARE(done.targetX, 0);
        QCOMPARE(done.height, 100);

        // From the left: the picture's right part, drawn at the left edge.
        const SlideFrame left = slideFrame(487, 100, 10, 1, SlideHorizontal);
        QCOMPARE(left.sourceX, 432);
        QCOMPARE(left.targetX, 0);
        // Vertically: the whole width, a growing band of rows.
        const SlideFrame up = slideFrame(200, 95, 10, 3, SlideVertical | FromBottom);
        QCOMPARE(up.width, 200);
        QCOMPARE(up.height, 95 - 7 * 9);
        QCOMPARE(up.targetY, 63);
        QCOMPARE(up.sourceY, 0);
        const SlideFrame down = slideFrame(200, 95, 10, 3, SlideVertical);
        QCOMPARE(down.sourceY, 63);
        QCOMPARE(down.targetY, 0);

        QCOMPARE(slideDirection(2, 4), FromRight | SlideHorizontal);
        QCOMPARE(slideDirection(3, 5), FromBottom | SlideVertical);
    }

    void onlyAPaletteFrontPictureGivesASplash() {
        QTemporaryDir dir;
        const QString back = writeBmp(dir.path() + "/back.bmp", 40, 30, Back);
        QVERIFY(!SplashScreen::create(writeBmp(dir.path() + "/true.bmp", 40, 30, Front, 24), back));
        QVERIFY(!SplashScreen::create(dir.path() + "/missing.bmp", back));
        QVERIFY(SplashScreen::create(writeBmp(dir.path() + "/ok.bmp", 40, 30, Front), back));
        // No back picture: still a splash.
        QVERIFY(SplashScreen::create(dir.path() + "/ok.bmp", dir.path() + "/missing.bmp"));
        // The shipped pictures are usable palette bitmaps.
        QVERIFY(SplashScreen::createDefault());
        PaletteBitmap bulb;
        QVERIFY(bulb.load(QString::fromStdString(resourceDirectory()) + "bulb.bmp"));
    }

    void eachStepShowsTheFrontPictureOverTheBackOne() {
        QTemporaryDir dir;
        auto splash = SplashScreen::create(writeBmp(dir.path() + "/f.bmp", 487, 60, Front),
                                           writeBmp(dir.path() + "/b.bmp", 20, 20, Back),
                                           SlideHorizontal | FromRight);
        QVERIFY(splash);
        QCOMPARE(splash->size(), QSize(487, 60));
        splash->start();
        QCOMPARE(splash->timerInterval(), SplashScreen::FirstPeriodMs);
        auto edge = [&] {
            const QImage shot = splash->grab().toImage();
            int x = 0;
            while (x < shot.width() && shot.pixel(x, 30) == Back) ++x;
            for (int rest = x; rest < shot.width(); ++rest)
                if (shot.pixel(rest, 30) != Front) return -1;
            return x;
        };
        QCOMPARE(edge(), 480);  // a 7-pixel strip
        splash->tick();         // the first period is over
        QCOMPARE(splash->timerInterval(), SplashScreen::StepPeriodMs);
        QCOMPARE(edge(), 432);  // 55 pixels
        splash->tick();
        QCOMPARE(edge(), 384);  // 48 more
        for (int k = 0; k < 20; ++k) splash->tick();
        QCOMPARE(splash->step(), SplashScreen::Steps);
        QVERIFY(!splash->animating());
        QCOMPARE(edge(), 0);
    }

    void theTimerDrivesTheSlideToTheEnd() {
        QTemporaryDir dir;
        auto splash = SplashScreen::create(writeBmp(dir.path() + "/f.bmp", 50, 20, Front),
                                           dir.path() + "/none.bmp");
        splash->start();
        QVERIFY(waitUntil([&] { return splash->step() == SplashScreen::Steps; }, 5000));
        QVERIFY(!splash->animating());
    }

    void aClickDragsTheSplashAndOnlyStartUpClosesIt() {
        QTemporaryDir dir;
        auto splash = SplashScreen::create(writeBmp(dir.path() + "/f.bmp", 100, 80, Front),
                                           dir.path() + "/none.bmp");
        splash->start();
        const QPoint start = splash->pos();
        const QPointF local(10, 10);
        QMouseEvent press(QEvent::MouseButtonPress, local, splash->mapToGlobal(local),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(splash.get(), &press);
        const QPointF moved(40, 30);
        QMouseEvent move(QEvent::MouseMove, moved, splash->mapToGlobal(moved), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(splash.get(), &move);
        QCOMPARE(splash->pos(), start + QPoint(30, 20));
        QVERIFY(!splash->close());
        QVERIFY(splash->isVisible());
        splash->requestClose();
        QVERIFY(!splash->isVisible());
        QVERIFY(!splash->animating());
    }

    void drawCoveringScalesByTheLargerRatioAndCutsTheRest() {
        QTemporaryDir dir;
        // Left half the front colour, right half the back colour.
        const QString path = writePaletteBmp(dir.path() + "/p.bmp", 4, 2, {Front, Back},
                                             [](int x, int) { return x < 2 ? 0 : 1; });
        PaletteBitmap bitmap;
        QVERIFY(bitmap.load(path));
        QWidget widget;
        widget.resize(40, 40);  // ratios 10 and 20: scaled by 20 to 80 x 40
        QImage target(40, 40, QImage::Format_RGB32);
        target.fill(Qt::white);
        QPainter painter(&target);
        bitmap.drawCovering(painter, widget);
        painter.end();
        QCOMPARE(target.pixel(39, 39), Front);  // the blue half is cut off
        QCOMPARE(target.pixel(0, 0), Front);
    }

    void screenshotMidSlide() {
        auto splash =
            SplashScreen::create(QString::fromStdString(resourceDirectory()) + "setup.bmp",
                                 QString::fromStdString(resourceDirectory()) + "fantasy.bmp",
                                 SlideHorizontal | FromRight);
        QVERIFY(splash);
        splash->start();
        for (int k = 0; k < 5; ++k) splash->tick();
        QDir().mkpath(QM_SCREENSHOT_DIR);
        QVERIFY(splash->grab().save(QM_SCREENSHOT_DIR "/splash-mid-slide.png"));
        for (int k = 0; k < 5; ++k) splash->tick();
        QVERIFY(splash->grab().save(QM_SCREENSHOT_DIR "/splash-complete.png"));
        splash->requestClose();
    }
};

static RegisterGuiTest registerSplash("SplashTest", [] { return std::make_unique<SplashTest>(); });

}  // namespace qm::test

#include "splash_test.moc"
