// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Manual decode files": a file picker (folder, its files and sub-folders, a name or
// pattern) beside the "Files to be decoded" list, which "&Decode files" runs through the
// decoder from the last entry to the first. The list is not kept between openings.
//
// Created and run modally by the main window on the window thread, which also does the
// decoding (under DecodeLock, like the readers). The settings and the decoder outlive it.
#include <QDialog>
#include <QString>
#include <QStringList>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;

namespace qm {

class Session;

class ManualDecodeDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ManualDecodeDialog(Session& session, QWidget* parent = nullptr);

    // The folder shown, and the name or pattern typed.
    void setDirectory(const QString& directory);
    QString directory() const;
    void setFileName(const QString& name);

    // "&Add": the typed name in the folder shown, unless it is a pattern or already listed.
    void add();
    // "Remove": every selected entry of the decode list.
    void removeSelected();
    // "&Decode files".
    void decodeFiles();

    QStringList decodeList() const;

    // The path of name in directory, as Add forms it.
    static QString fullPath(const QString& directory, const QString& name);

  private:
    void buildUi();
    void addName(const QString& name);
    void refill();
    void enterDirectory(QListWidgetItem* item);
    void closePressed();

    Session& m_session;
    QString m_directory;
    QString m_pattern = QStringLiteral("*");
    QLineEdit* m_name = nullptr;
    QListWidget* m_files = nullptr;
    QListWidget* m_directories = nullptr;
    QLabel* m_directoryLabel = nullptr;
    QComboBox* m_type = nullptr;
    QListWidget* m_decodeList = nullptr;
};

}  // namespace qm
