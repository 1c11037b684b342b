// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/authdialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "config/serverentry.h"

namespace qm {

namespace {

// "-" is how an empty field is stored; the user sees (and types) an empty field.
QString shown(const std::string& stored) {
    return stored == ServerEntry::NoValue ? QString() : QString::fromStdString(stored);
}

std::string stored(const QString& typed) {
    return typed.isEmpty() ? std::string(ServerEntry::NoValue) : typed.toStdString();
}

}  // namespace

AuthDialog::AuthDialog(const QString& host, const Credentials& prefill, QWidget* parent)
    : QDialog(parent), m_user(new QLineEdit(this)), m_password(new QLineEdit(this)) {
    setObjectName(QStringLiteral("authDialog"));
    setWindowTitle(QStringLiteral("NNTP Authentication info"));
    auto* layout = new QVBoxLayout(this);
    auto* notice = new QLabel(QStringLiteral("This NNTP server requires authentication!"), this);
    notice->setObjectName(QStringLiteral("authNotice"));
    layout->addWidget(notice);
    auto* server = new QLabel(host, this);
    server->setObjectName(QStringLiteral("authHost"));
    layout->addWidget(server);

    auto* form = new QFormLayout;
    m_user->setObjectName(QStringLiteral("userEdit"));
    m_user->setText(shown(prefill.user));
    m_password->setObjectName(QStringLiteral("passwordEdit"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setText(shown(prefill.password));
    form->addRow(QStringLiteral("User name"), m_user);
    form->addRow(QStringLiteral("Password"), m_password);
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("authButtons"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    m_user->setFocus();
}

Credentials AuthDialog::credentials() const {
    return {stored(m_user->text()), stored(m_password->text())};
}

}  // namespace qm
