// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The About box "About qmere": program name, version and copyright; nothing beyond OK.
// Created and run modally by the main window on the window thread.
#include <QDialog>

namespace qm {

class AboutBox : public QDialog {
    Q_OBJECT
  public:
    explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace qm
