// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Directory Selection": a folder path typed in, or picked by browsing. Narrow at first (the
// path only); "Browse >" widens it once to show the folders of the current folder and the
// volumes (the file-system root and the mounted volumes; Linux has no drive letters).
//
// The folder being browsed is kept here rather than made the process's working directory:
// reader threads may be running, and changing it under them would move their relative paths.
// Created, run modally and destroyed by its caller on the window thread.
#include <QDialog>

class QComboBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace qm {

class DirectorySelection : public QDialog {
    Q_OBJECT
  public:
    explicit DirectorySelection(const QString& path, QWidget* parent = nullptr);
    // The typed or chosen path, after OK.
    QString path() const;
    // The folder shown while browsing.
    QString currentDirectory() const { return m_current; }

    // Opens the browsing half (the "Browse >" button).
    void browse();
    // Enters the folder named by a list entry ("..", a folder name); false when it is none.
    bool enter(const QString& entry);

  private:
    QGroupBox* buildBrowseBox();
    void fillDirectories();
    void fillVolumes();
    void chooseVolume(int index);
    void accept() override;

    QLineEdit* m_path;
    QPushButton* m_browse;
    QGroupBox* m_browseBox;
    QListWidget* m_directories;
    QComboBox* m_volumes;
    QString m_current;
    bool m_browsing = false;
    bool m_typedSincePick = false;  // the path was edited after a folder was picked
};

}  // namespace qm
