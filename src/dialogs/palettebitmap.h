// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One picture loaded from a palette bitmap file (at most 8 bits per pixel, with its colour
// table), and the two ways it is drawn: a part of it into a rectangle, or the whole of it
// scaled to cover a widget. Owned by the window that shows it; window thread only.
#include <QImage>
#include <QString>

class QPainter;
class QRect;
class QWidget;

namespace qm {

class PaletteBitmap {
  public:
    PaletteBitmap() = default;
    // Any file that is missing or is not an uncompressed palette bitmap leaves the picture
    // unusable.
    bool load(const QString& path);

    bool usable() const { return !m_image.isNull(); }
    int width() const { return m_image.width(); }
    int height() const { return m_image.height(); }
    const QImage& image() const { return m_image; }

    // Copies the source rectangle to the target rectangle: unscaled when both have the same
    // size, else stretched.
    void drawPart(QPainter& painter, const QRect& source, const QRect& target) const;
    // Scales the whole picture by the larger of the two ratios of the widget's size to the
    // picture's and draws it at the top left; what overhangs is cut off.
    void drawCovering(QPainter& painter, const QWidget& widget) const;

  private:
    QImage m_image;  // Format_Indexed8 with the file's colour table; null when unusable
};

}  // namespace qm
