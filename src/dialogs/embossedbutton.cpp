// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/embossedbutton.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

namespace qm {

namespace {
constexpr int DefaultPixelHeight = 20;
constexpr int Inset = 3;  // the room the layers need around the caption
}  // namespace

EmbossedButton::EmbossedButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    // The painting covers the whole rectangle, so nothing needs erasing first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void EmbossedButton::set3D(bool on) {
    m_3d = on;
    update();
}

std::vector<EmbossedButton::Layer> EmbossedButton::layers(bool pressed) {
    const int d = pressed ? -1 : 1;
    return {
        {QPalette::Shadow, -2 * d, 2 * d},
        {QPalette::Shadow, 2 * d, -2 * d},
        {QPalette::Shadow, 2 * d, 2 * d},
        {QPalette::Light, d, -2 * d},
        {QPalette::Light, -2 * d, d},
        {QPalette::Light, -2 * d, -2 * d},
        {QPalette::Dark, -d, d},
        {QPalette::Dark, d, -d},
        {QPalette::Dark, d, d},
        {QPalette::Midlight, 0, -d},
        {QPalette::Midlight, -d, 0},
        {QPalette::Midlight, -d, -d},
    };
}

int EmbossedButton::fittedPixelHeight(int height, const QSize& textSize, const QSize& box) {
    // An empty caption has nothing to measure; scaling by it would divide by zero.
    if (textSize.width() <= 0 || textSize.height() <= 0) return height;
    const long long byHeight = static_cast<long long>(height) * box.height() / textSize.height();
    const long long byWidth = static_cast<long long>(height) * box.width() / textSize.width();
    return static_cast<int>(std::max(1LL, std::min(byHeight, byWidth) - 1));
}

void EmbossedButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QRect box = rect();
    p.fillRect(box, palette().color(QPalette::Window));

    QFont f = font();
    int height = f.pixelSize() > 0 ? f.pixelSize() : QFontMetrics(f).height();
    if (height <= 0) height = DefaultPixelHeight;
    f.setPixelSize(height);
    f.setWeight(QFont::Black);

    if (m_3d) box.adjust(Inset, Inset, -Inset, -Inset);
    const QString caption = text();
    const QSize textSize = QFontMetrics(f).size(Qt::TextSingleLine, caption);
    f.setPixelSize(fittedPixelHeight(height, textSize, box.size()));
    if (m_3d) box.adjust(-Inset, -Inset, Inset, Inset);

    const QFontMetrics metrics(f);
    const QSize scaled = metrics.size(Qt::TextSingleLine, caption);
    QPoint origin(box.left() + (box.width() - scaled.width()) / 2,
                  box.top() + (box.height() - scaled.height()) / 2 + metrics.ascent());
    p.setFont(f);
    const QColor textColour = hasFocus() ? palette().color(QPalette::Disabled, QPalette::Text)
                                         : palette().color(QPalette::ButtonText);
    if (m_3d) {
        origin += QPoint(Inset, Inset);
        for (const Layer& layer : layers(isDown())) {
            p.setPen(palette().color(layer.role));
            p.drawText(origin + QPoint(layer.dx, layer.dy), caption);
        }
    }
    p.setPen(textColour);
    p.drawText(origin, caption);
}

}  // namespace qm
