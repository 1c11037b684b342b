// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/splashscreen.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <random>

#include "platform/paths.h"

namespace qm {

SlideFrame slideFrame(int width, int height, int steps, int step, int direction) {
    const int left = steps - step;
    const int d = (direction & SlideHorizontal) ? (width / steps) * left : 0;
    const int e = (direction & SlideVertical) ? left * (height / steps) : 0;
    SlideFrame f;
    f.width = width - d;
    f.height = height - e;
    if (direction & FromRight)
        f.targetX = d;  // its left part, entering at the right edge
    else
        f.sourceX = d;  // its right part, entering at the left edge
    if (direction & FromBottom)
        f.targetY = e;
    else
        f.sourceY = e;
    return f;
}

int slideDirection(unsigned a, unsigned b) {
    return (a % 2 == 0 ? FromRight : FromBottom) | (b % 2 == 0 ? SlideHorizontal : SlideVertical);
}

std::unique_ptr<SplashScreen> SplashScreen::create(const QString& frontPath,
                                                   const QString& backPath, int direction) {
    PaletteBitmap front, back;
    if (!front.load(frontPath)) return nullptr;
    back.load(backPath);  // an unusable back picture is simply not drawn
    if (direction < 0) {
        std::random_device seed;
        std::minstd_rand random(seed());
        const unsigned a = unsigned(random());
        direction = slideDirection(a, unsigned(random()));
    }
    return std::unique_ptr<SplashScreen>(
        new SplashScreen(std::move(front), std::move(back), direction));
}

std::unique_ptr<SplashScreen> SplashScreen::createDefault() {
    const QString dir = QString::fromStdString(resourceDirectory());
    return create(dir + QStringLiteral("setup.bmp"), dir + QStringLiteral("fantasy.bmp"));
}

SplashScreen::SplashScreen(PaletteBitmap front, PaletteBitmap back, int direction)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint),
      m_front(std::move(front)),
      m_back(std::move(back)),
      m_direction(direction) {
    setObjectName(QStringLiteral("splashScreen"));
    setWindowTitle(QStringLiteral("Quillmere"));
    setCursor(Qt::ArrowCursor);
    setFixedSize(m_front.width(), m_front.height());
    setAttribute(Qt::WA_OpaquePaintEvent);
    connect(&m_timer, &QTimer::timeout, this, &SplashScreen::tick);
}

void SplashScreen::start() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    m_timer.start(FirstPeriodMs);
}

void SplashScreen::requestClose() {
    m_mayClose = true;
    close();
}

void SplashScreen::tick() {
    if (m_step == SwitchStep) m_timer.start(StepPeriodMs);
    if (m_step < Steps) ++m_step;
    if (m_step >= Steps) m_timer.stop();
    update();
}

void SplashScreen::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // Qt keeps no window contents between paints, so the back picture is drawn every time;
    // the uncovered part shows it as before.
    if (m_back.usable())
        m_back.drawCovering(painter, *this);
    else
        painter.fillRect(rect(), palette().window());
    const SlideFrame f = slideFrame(width(), height(), Steps, m_step, m_direction);
    m_front.drawPart(painter, QRect(f.sourceX, f.sourceY, f.width, f.height),
                     QRect(f.targetX, f.targetY, f.width, f.height));
}

void SplashScreen::closeEvent(QCloseEvent* event) {
    if (!m_mayClose) {
        event->ignore();
        return;
    }
    m_timer.stop();
    event->accept();
}

void SplashScreen::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void SplashScreen::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) move(event->globalPosition().toPoint() - m_dragOffset);
}

}  // namespace qm
