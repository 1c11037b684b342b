// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Search groups": the pattern and scope of the main window's group search, handed back on
// OK; a pattern that does not compile keeps the dialog open with its text. Created, run and
// destroyed by the main window on the window thread.
#include <QDialog>

class QLineEdit;
class QRadioButton;

namespace qm {

class SearchDialog : public QDialog {
    Q_OBJECT
  public:
    SearchDialog(const QString& pattern, bool displayedOnly, QWidget* parent = nullptr);
    QString pattern() const;
    bool displayedOnly() const;

  private:
    void accept() override;

    QLineEdit* m_pattern;
    QRadioButton* m_displayed;
    QRadioButton* m_all;
};

}  // namespace qm
