// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/searchdialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include "config/regexpattern.h"
#include "dialogs/fieldvalidation.h"

namespace qm {

namespace {
constexpr int MaxPattern = 1024;
}

SearchDialog::SearchDialog(const QString& pattern, bool displayedOnly, QWidget* parent)
    : QDialog(parent), m_pattern(new QLineEdit(pattern, this)) {
    setObjectName(QStringLiteral("searchDialog"));
    setWindowTitle(QStringLiteral("Search groups"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    m_pattern->setObjectName(QStringLiteral("patternEdit"));
    m_pattern->setMinimumWidth(260);
    form->addRow(QStringLiteral("Search pattern"), m_pattern);
    layout->addLayout(form);

    auto* scope = new QGroupBox(QStringLiteral("Search in"), this);
    scope->setObjectName(QStringLiteral("scopeBox"));
    auto* scopeLayout = new QVBoxLayout(scope);
    m_displayed = new QRadioButton(QStringLiteral("Displayed groups"), scope);
    m_displayed->setObjectName(QStringLiteral("displayedRadio"));
    m_all = new QRadioButton(QStringLiteral("All groups"), scope);
    m_all->setObjectName(QStringLiteral("allRadio"));
    scopeLayout->addWidget(m_displayed);
    scopeLayout->addWidget(m_all);
    (displayedOnly ? m_displayed : m_all)->setChecked(true);
    layout->addWidget(scope);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("searchButtons"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &SearchDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void SearchDialog::accept() {
    if (!checkLength(this, m_pattern, MaxPattern)) return;
    // As the exclude pattern: a pattern that does not compile is said, and the text stays
    // to be corrected rather than being lost with the dialog. An empty one is the main
    // window's to refuse.
    const std::string text = m_pattern->text().toStdString();
    if (!text.empty()) {
        RegexPattern pattern;
        if (auto error = pattern.compile(text)) {
            showMessage(this, QStringLiteral("The search pattern cannot be used. %1\nCorrect it.")
                                  .arg(QString::fromStdString(*error)));
            m_pattern->setFocus();
            return;
        }
    }
    QDialog::accept();
}

QString SearchDialog::pattern() const {
    return m_pattern->text();
}
bool SearchDialog::displayedOnly() const {
    return m_displayed->isChecked();
}

}  // namespace qm
