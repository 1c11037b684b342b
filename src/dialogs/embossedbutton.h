// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A push button that paints its caption alone, embossed: the caption scaled to fill the
// button, drawn in layers of shadow and light colours around it. The group monitor uses it
// as its status display and the main window for its "EXIT" button.
//
// Owned by its parent widget; used on the window thread only.
#include <QColor>
#include <QPalette>
#include <QPushButton>
#include <vector>

namespace qm {

class EmbossedButton : public QPushButton {
    Q_OBJECT
  public:
    // One layer of the embossing: a palette role drawn at an offset from the caption origin.
    struct Layer {
        QPalette::ColorRole role;
        int dx;
        int dy;
    };

    explicit EmbossedButton(const QString& text, QWidget* parent = nullptr);

    void set3D(bool on);
    bool is3D() const { return m_3d; }

    // The layers in drawing order; pressed buttons are lit from the other side.
    static std::vector<Layer> layers(bool pressed);
    // The font pixel height that fits text into box: the font height scaled by the smaller of
    // the height and width ratios, minus 1. Unchanged for an empty text.
    static int fittedPixelHeight(int height, const QSize& textSize, const QSize& box);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool m_3d = true;
};

}  // namespace qm
