// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The strip at the top of the main window where the banner plug-in draws: 80 pixels high,
// the banner at (15, 10), 468 x 60. It creates its AimDll on its first paint (and draws no
// banner that time), then has the plug-in paint into a pixel canvas that it shows, and hands
// left clicks inside the banner to the plug-in. Without a working plug-in it hides itself.
//
// A child of the main window (Qt parent ownership); it owns the host. Window thread only.
#include <QImage>
#include <QWidget>
#include <memory>
#include <string>

#include "advert/aimdll.h"

namespace qm {

class BannerArea : public QWidget {
    Q_OBJECT
  public:
    explicit BannerArea(QWidget* parent = nullptr);
    ~BannerArea() override;

    // The plug-in to load instead of QM_BANNER_LIBRARY; only before the first paint.
    void setLibrary(std::string library) { m_library = std::move(library); }
    // The host, once the first paint has created it.
    AimDll* host() const { return m_host.get(); }
    int clicksForwarded() const { return m_clicks; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    std::string m_library = QM_BANNER_LIBRARY;
    std::unique_ptr<AimDll> m_host;
    QImage m_canvas;
    int m_clicks = 0;
};

}  // namespace qm
