// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/addgroupdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "dialogs/fieldvalidation.h"

namespace qm {

namespace {
constexpr int MaxName = 1024;
}

AddGroupDialog::AddGroupDialog(QWidget* parent)
    : QDialog(parent), m_name(new QLineEdit(this)), m_subscribe(new QCheckBox(this)) {
    setObjectName(QStringLiteral("addGroupDialog"));
    setWindowTitle(QStringLiteral("Add subscribed group"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Enter group name"), this));
    m_name->setObjectName(QStringLiteral("groupNameEdit"));
    m_name->setMinimumWidth(280);
    layout->addWidget(m_name);
    m_subscribe->setObjectName(QStringLiteral("subscribeCheck"));
    m_subscribe->setText(QStringLiteral("Subscribe"));
    m_subscribe->setChecked(true);
    m_subscribe->setEnabled(false);  // shown so the user knows; always on
    layout->addWidget(m_subscribe);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("addGroupButtons"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &AddGroupDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void AddGroupDialog::accept() {
    if (checkLength(this, m_name, MaxName)) QDialog::accept();
}

QString AddGroupDialog::groupName() const {
    return m_name->text();
}
bool AddGroupDialog::subscribe() const {
    return m_subscribe->isChecked();
}

}  // namespace qm
