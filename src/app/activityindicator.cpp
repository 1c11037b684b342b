// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/activityindicator.h"

#include <QPainter>
#include <cmath>

namespace qm {

namespace {
constexpr int Dots = 10;
}

ActivityIndicator::ActivityIndicator(QWidget* parent) : QWidget(parent) {
    m_timer.setInterval(90);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_frame = (m_frame + 1) % Dots;
        update();
    });
}

void ActivityIndicator::play() {
    m_timer.start();
}

void ActivityIndicator::stop() {
    m_timer.stop();
    m_frame = 0;
    update();
}

void ActivityIndicator::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = rect().center();
    const double radius = std::min(width(), height()) / 2.0 - 6;
    for (int i = 0; i < Dots; ++i) {
        const double angle = 2 * M_PI * i / Dots;
        const int age = (m_frame - i + Dots) % Dots;
        QColor colour = palette().color(QPalette::Highlight);
        colour.setAlphaF(playing() ? 1.0 - age / double(Dots) : 0.25);
        p.setBrush(colour);
        p.setPen(Qt::NoPen);
        p.drawEllipse(centre + QPointF(radius * std::cos(angle), radius * std::sin(angle)), 3, 3);
    }
}

}  // namespace qm
