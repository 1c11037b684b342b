// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/fieldvalidation.h"

#include <QLineEdit>
#include <QMessageBox>

namespace qm {

std::optional<QString> integerProblem(const QString& text, std::optional<int> min,
                                      std::optional<int> max) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    const bool ranged = min && max;
    if (ok && (!ranged || (value >= *min && value <= *max))) return std::nullopt;
    if (ranged)
        return QStringLiteral("Please enter an integer between %1 and %2.").arg(*min).arg(*max);
    return QStringLiteral("Please enter an integer.");
}

std::optional<QString> lengthProblem(const QString& text, int maxLength) {
    if (text.toUtf8().size() <= maxLength) return std::nullopt;
    return QStringLiteral("Please enter no more than %1 characters.").arg(maxLength);
}

namespace {

bool refuse(QWidget* dialog, QLineEdit* field, const QString& message) {
    showMessage(dialog, message);
    field->setFocus();
    field->selectAll();
    return false;
}

}  // namespace

bool readInteger(QWidget* dialog, QLineEdit* field, int& value, std::optional<int> min,
                 std::optional<int> max) {
    if (auto problem = integerProblem(field->text(), min, max))
        return refuse(dialog, field, *problem);
    value = field->text().trimmed().toInt();
    return true;
}

bool checkLength(QWidget* dialog, QLineEdit* field, int maxLength) {
    if (auto problem = lengthProblem(field->text(), maxLength))
        return refuse(dialog, field, *problem);
    return true;
}

void showMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Quillmere"), text, QMessageBox::Ok,
                    parent);
    box.setObjectName(QStringLiteral("messageBox"));
    box.exec();
}

}  // namespace qm
