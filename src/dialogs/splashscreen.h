// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The splash window: the back picture ("fantasy.bmp") first, then the front picture
// ("setup.bmp") sliding in over it a tenth at a time from a random side. It can be dragged
// and ignores close requests until start-up asks it to close.
//
// Qt windows live on the window thread only, so the splash is a timer-driven window there:
// it animates from the event loop while start-up goes on, and main() closes it after 2.5 s.
// Owned by main() (or a test); window thread only.
#include <QPoint>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "dialogs/palettebitmap.h"

namespace qm {

// Where the front picture comes from: one of SlideHorizontal and SlideVertical, and any of
// FromRight and FromBottom (without them it comes from the left or the top).
enum SlideDirection : int { SlideHorizontal = 1, SlideVertical = 2, FromRight = 4, FromBottom = 8 };

// The part of the front picture shown at a step, and where it goes in the window.
struct SlideFrame {
    int sourceX = 0, sourceY = 0;
    int width = 0, height = 0;
    int targetX = 0, targetY = 0;
};

// For a window of width x height, after step of steps (integer arithmetic: a picture whose
// size is not a multiple of steps shows its remainder first).
SlideFrame slideFrame(int width, int height, int steps, int step, int direction);

// The direction for two random numbers.
int slideDirection(unsigned a, unsigned b);

class SplashScreen : public QWidget {
    Q_OBJECT
  public:
    static constexpr int FirstPeriodMs = 500;
    static constexpr int StepPeriodMs = 100;
    static constexpr int Steps = 10;
    static constexpr int SwitchStep = 0;

    // The splash for the two pictures, or none when the front picture is not usable.
    // direction < 0 picks one at random.
    static std::unique_ptr<SplashScreen> create(const QString& frontPath, const QString& backPath,
                                                int direction = -1);
    // The same with "setup.bmp" and "fantasy.bmp" of the resource folder.
    static std::unique_ptr<SplashScreen> createDefault();

    // Shows the window centred on the screen and starts the animation.
    void start();
    // Start-up is done: the next close request is honoured, and this is one.
    void requestClose();

    int step() const { return m_step; }
    int direction() const { return m_direction; }
    bool animating() const { return m_timer.isActive(); }
    int timerInterval() const { return m_timer.interval(); }
    // One timer tick, as the timer gives it.
    void tick();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    SplashScreen(PaletteBitmap front, PaletteBitmap back, int direction);

    PaletteBitmap m_front;
    PaletteBitmap m_back;  // may be unusable: the front slides over a plain window
    int m_direction;
    int m_step = 0;
    bool m_mayClose = false;
    QTimer m_timer;
    QPoint m_dragOffset;
};

}  // namespace qm
