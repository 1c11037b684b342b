// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Tip of the Day": one tip at a time from "tips.txt", continuing where the last opening
// stopped (profile section "Tip": "FilePos", "TimeStamp"), and the "&Show Tips on StartUp"
// choice ("StartUp": 0 shows tips at start-up, 1 does not).
//
// Created and run modally by the main window on the window thread; destruction stores the
// reading position. The profile outlives it.
#include <QDialog>
#include <QString>
#include <cstdio>

#include "platform/file.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace qm {

class Profile;

class TipDialog : public QDialog {
    Q_OBJECT
  public:
    // Reads the profile and the tips file at tipsPath and shows the next tip. A failure to
    // reach the stored position shows a message box at once.
    TipDialog(Profile& profile, const QString& tipsPath, QWidget* parent = nullptr);
    // As above with "tips.txt" of the resource folder.
    explicit TipDialog(Profile& profile, QWidget* parent = nullptr);
    ~TipDialog() override;

    // Whether the user wants tips at start-up, as the profile says.
    static bool wantedAtStartup(const Profile& profile);
    // The file's time stamp as the profile keeps it: the 24-character date text of its
    // modification time, trailing white space removed; empty when it has none.
    static QString fileTimeStamp(std::FILE* file);

    QString tipText() const;
    bool hasFile() const { return m_file != nullptr; }

    // "&Next Tip".
    void nextTip();
    // "&Close": ends the dialog and stores the check box.
    void accept() override;

  private:
    void buildUi();
    // Reads the next tip line into the tip text, wrapping to the start at the end of file.
    void readTip();
    void trouble();

    Profile& m_profile;
    FilePtr m_file;
    QLabel* m_tip = nullptr;
    QCheckBox* m_showAtStartup = nullptr;
    QPushButton* m_next = nullptr;
};

}  // namespace qm
