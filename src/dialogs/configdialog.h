// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Configuration": the user's settings, edited as a copy and handed back on OK; the caller
// hands them to the session (Session::applyConfiguration). Created, run and destroyed by the
// main window on the window thread. The fields' limits are those of the settings table
// (configKeys).
#include <QDialog>
#include <cstdint>
#include <functional>
#include <string>

#include "config/configvalues.h"

class QCheckBox;
class QLineEdit;
class QSpinBox;

namespace qm {

class ConfigDialog : public QDialog {
    Q_OBJECT
  public:
    // freeKB: the free space of a folder's volume in 1024-byte units.
    ConfigDialog(ConfigValues values, std::function<std::int64_t(const std::string&)> freeKB,
                 QWidget* parent = nullptr);
    const ConfigValues& values() const { return m_values; }

  private:
    void buildUi();
    QWidget* buildPathsBox();
    QWidget* buildFilterBox();
    QWidget* buildNewsDataBox();
    QWidget* buildFirstVisitBox();
    void load();
    bool save();
    void chooseDataDirectory();
    void chooseBrowser();
    void showFreeSpace(const std::string& directory);
    void accept() override;

    ConfigValues m_values;
    std::function<std::int64_t(const std::string&)> m_freeKB;
    QLineEdit* m_dataDirectory = nullptr;
    QLineEdit* m_freeSpace = nullptr;
    QLineEdit* m_alertMark = nullptr;
    QLineEdit* m_browser = nullptr;
    QLineEdit* m_exclude = nullptr;
    QCheckBox* m_skip = nullptr;
    QLineEdit* m_lineLimit = nullptr;
    QCheckBox* m_saveText = nullptr;
    QCheckBox* m_keepDuplicate = nullptr;
    QCheckBox* m_saveDescription = nullptr;
    QCheckBox* m_skipDuplicatePictures = nullptr;
    QCheckBox* m_thumbnails = nullptr;
    QSpinBox* m_readerThreads = nullptr;
    QSpinBox* m_firstVisit = nullptr;
    QSpinBox* m_firstVisitDays = nullptr;
    QCheckBox* m_compress = nullptr;
    QCheckBox* m_fillWhenDown = nullptr;
};

}  // namespace qm
