// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/palettebitmap.h"

#include <QPainter>
#include <QWidget>

#include "platform/bmpheader.h"

namespace qm {

bool PaletteBitmap::load(const QString& path) {
    m_image = QImage();
    const auto bytes = readBoundedFile(path.toStdString());
    const auto decoded = decodePaletteBmp(bytes);
    if (!decoded) return false;
    QImage image(decoded->width, decoded->height, QImage::Format_Indexed8);
    if (image.isNull()) return false;
    QList<QRgb> table(decoded->colours.begin(), decoded->colours.end());
    image.setColorTable(table);
    for (int y = 0; y < decoded->height; ++y)
        std::copy_n(decoded->indices.data() + std::size_t(y) * std::size_t(decoded->width),
                    decoded->width, image.scanLine(y));
    m_image = std::move(image);
    return true;
}

void PaletteBitmap::drawPart(QPainter& painter, const QRect& source, const QRect& target) const {
    if (!usable() || source.isEmpty() || target.isEmpty()) return;
    if (source.size() == target.size())
        painter.drawImage(target.topLeft(), m_image, source);
    else
        painter.drawImage(target, m_image, source);
}

void PaletteBitmap::drawCovering(QPainter& painter, const QWidget& widget) const {
    if (!usable()) return;
    const double scale =
        std::max(double(widget.width()) / width(), double(widget.height()) / height());
    const QRect target(0, 0, int(width() * scale + 0.5), int(height() * scale + 0.5));
    painter.save();
    painter.setClipRect(widget.rect());
    painter.drawImage(target, m_image);
    painter.restore();
}

}  // namespace qm
