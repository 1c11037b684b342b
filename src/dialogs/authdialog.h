// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "NNTP Authentication info": the user name and password of the server that answered 480.
// Created by the main window on the window thread, on behalf of a reader thread that waits
// for the answer (the front end carries the request over); modal, one at a time.
#include <QDialog>

#include "config/frontend.h"

class QLineEdit;

namespace qm {

class AuthDialog : public QDialog {
    Q_OBJECT
  public:
    // prefill as stored: "-" shows as an empty field.
    AuthDialog(const QString& host, const Credentials& prefill, QWidget* parent = nullptr);
    // As typed, an empty field given as "-" (its stored form).
    Credentials credentials() const;

  private:
    QLineEdit* m_user;
    QLineEdit* m_password;
};

}  // namespace qm
