// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "Add subscribed group": a group name (or the path of a local file to decode) and the
// "Subscribe" box, which stays checked. The main window carries out the OK. Window thread.
#include <QDialog>

class QCheckBox;
class QLineEdit;

namespace qm {

class AddGroupDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AddGroupDialog(QWidget* parent = nullptr);
    QString groupName() const;
    bool subscribe() const;

  private:
    void accept() override;

    QLineEdit* m_name;
    QCheckBox* m_subscribe;
};

}  // namespace qm
