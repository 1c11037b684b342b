// SPDX-License-Identifier: GPL-3.0-or-later
#include "advert/bannerarea.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

namespace qm {

namespace {

// Meaningful to the plug-in only; the sample ignores them.
constexpr std::int32_t HostValue = 81;
constexpr std::int16_t HostFlag = 1;
constexpr std::uint32_t HostExtra = 0;

}  // namespace

BannerArea::BannerArea(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("bannerArea"));
    setFixedHeight(AimDll::Bottom + AimDll::Top);
    setMinimumWidth(AimDll::Right + AimDll::Left);
}

BannerArea::~BannerArea() = default;

QSize BannerArea::sizeHint() const {
    return {AimDll::Right + AimDll::Left, AimDll::Bottom + AimDll::Top};
}

void BannerArea::paintEvent(QPaintEvent*) {
    if (!m_host) {
        m_host = std::make_unique<AimDll>(HostValue, this, HostFlag, HostExtra, m_library);
        if (!m_host->isOkay())
            QTimer::singleShot(0, this, &QWidget::hide);  // not from inside a paint
        else
            update();  // the first real paint of the banner
        return;
    }
    m_canvas = QImage(QM_BANNER_WIDTH, QM_BANNER_HEIGHT, QImage::Format_ARGB32_Premultiplied);
    m_canvas.fill(Qt::transparent);
    QmBannerCanvas canvas{reinterpret_cast<std::uint32_t*>(m_canvas.bits()), m_canvas.width(),
                          m_canvas.height(), int(m_canvas.bytesPerLine() / 4)};
    if (!m_host->Paint(&canvas, AimDll::Left, AimDll::Top)) return;
    QPainter painter(this);
    painter.drawImage(AimDll::Left, AimDll::Top, m_canvas);
}

void BannerArea::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (event->button() != Qt::LeftButton || !AimDll::inBanner(at.x(), at.y())) {
        QWidget::mousePressEvent(event);
        return;
    }
    ++m_clicks;
    if (!m_host) return;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    m_host->OnClick();
    QGuiApplication::restoreOverrideCursor();
}

}  // namespace qm
