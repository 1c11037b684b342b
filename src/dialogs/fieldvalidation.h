// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The checks the dialogs run on OK over their number and text fields, with the standard
// messages; a failed check shows its message, puts the focus on the field and keeps the
// dialog open. Free functions on the window thread.
#include <QString>
#include <optional>

class QLineEdit;
class QWidget;

namespace qm {

// The message for text as a signed integer, optionally within [min, max]; nothing when valid.
std::optional<QString> integerProblem(const QString& text, std::optional<int> min = {},
                                      std::optional<int> max = {});
// The message for a text longer than maxLength; nothing when it fits.
std::optional<QString> lengthProblem(const QString& text, int maxLength);

// Reads an integer field into value; on a problem shows it and returns false.
bool readInteger(QWidget* dialog, QLineEdit* field, int& value, std::optional<int> min = {},
                 std::optional<int> max = {});
// Checks a text field's length; on a problem shows it and returns false.
bool checkLength(QWidget* dialog, QLineEdit* field, int maxLength);

// The program's message box on the window thread.
void showMessage(QWidget* parent, const QString& text);

}  // namespace qm
