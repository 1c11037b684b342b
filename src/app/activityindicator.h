// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The moving decoration of the main window while a run is on ("Moving, moving..."): a ring
// of dots that turns on a timer. Owned by the main window (Qt parent); window thread only.
#include <QTimer>
#include <QWidget>

namespace qm {

class ActivityIndicator : public QWidget {
    Q_OBJECT
  public:
    explicit ActivityIndicator(QWidget* parent = nullptr);
    void play();
    void stop();
    bool playing() const { return m_timer.isActive(); }
    QSize sizeHint() const override { return {48, 48}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QTimer m_timer;
    int m_frame = 0;
};

}  // namespace qm
