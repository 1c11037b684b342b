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
#include <string_view>
#include <vector>

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
    // A check box or spin box bound to a key of the settings table: loaded and saved with
    // the others, its range the table's, so a new setting is one line where it is placed.
    QCheckBox* flag(QWidget* parent, const char* name, const QString& text,
                    int ConfigValues::*field);
    QSpinBox* number(QWidget* parent, const char* name, int ConfigValues::*field);

    struct FlagBinding {
        QCheckBox* box;
        const ConfigKey* key;
    };
    struct NumberBinding {
        QSpinBox* box;
        const ConfigKey* key;
    };
    std::vector<FlagBinding> m_flags;
    std::vector<NumberBinding> m_numbers;

    ConfigValues m_values;
    std::function<std::int64_t(const std::string&)> m_freeKB;
    QLineEdit* m_dataDirectory = nullptr;
    QLineEdit* m_freeSpace = nullptr;
    QLineEdit* m_alertMark = nullptr;
    QLineEdit* m_browser = nullptr;
    QLineEdit* m_exclude = nullptr;
    QLineEdit* m_lineLimit = nullptr;
    QSpinBox* m_readerThreads = nullptr;
};

}  // namespace qm
