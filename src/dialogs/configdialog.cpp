// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/configdialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "config/patternlist.h"
#include "dialogs/directoryselection.h"
#include "dialogs/fieldvalidation.h"
#include "platform/paths.h"

namespace qm {

namespace {

// A text field's limit from the settings table.
int maxLength(std::string ConfigValues::*field) {
    return static_cast<int>(configKey(field).maxLength);
}

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

QLineEdit* edit(QWidget* parent, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    return e;
}

}  // namespace

ConfigDialog::ConfigDialog(ConfigValues values,
                           std::function<std::int64_t(const std::string&)> freeKB, QWidget* parent)
    : QDialog(parent), m_values(std::move(values)), m_freeKB(std::move(freeKB)) {
    setObjectName(QStringLiteral("configDialog"));
    setWindowTitle(QStringLiteral("Configuration"));
    buildUi();
    load();
}

void ConfigDialog::buildUi() {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildPathsBox());
    layout->addWidget(buildFilterBox());
    layout->addWidget(buildNewsDataBox());
    layout->addWidget(buildFirstVisitBox());
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("configButtons"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &ConfigDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QWidget* ConfigDialog::buildPathsBox() {
    auto* box = new QWidget(this);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    m_dataDirectory = edit(box, "dataDirectoryEdit");
    m_dataDirectory->setMinimumWidth(320);
    auto* dataButton = new QPushButton(QStringLiteral("..."), box);
    dataButton->setObjectName(QStringLiteral("dataDirectoryButton"));
    m_freeSpace = edit(box, "freeSpaceEdit");
    m_freeSpace->setReadOnly(true);
    m_freeSpace->setEnabled(false);
    m_alertMark = edit(box, "alertMarkEdit");
    m_browser = edit(box, "browserEdit");
    auto* browserButton = new QPushButton(QStringLiteral("..."), box);
    browserButton->setObjectName(QStringLiteral("browserButton"));

    grid->addWidget(new QLabel(QStringLiteral("Data directory"), box), 0, 0);
    grid->addWidget(m_dataDirectory, 0, 1, 1, 3);
    grid->addWidget(dataButton, 0, 4);
    grid->addWidget(new QLabel(QStringLiteral("Free space"), box), 1, 0);
    auto* space = new QHBoxLayout;
    space->addWidget(m_freeSpace);
    space->addWidget(new QLabel(QStringLiteral("MB"), box));
    space->addSpacing(12);
    space->addWidget(new QLabel(QStringLiteral("Alert lower mark"), box));
    space->addWidget(m_alertMark);
    space->addWidget(new QLabel(QStringLiteral("MB"), box));
    grid->addLayout(space, 1, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Browser"), box), 2, 0);
    grid->addWidget(m_browser, 2, 1, 1, 3);
    grid->addWidget(browserButton, 2, 4);
    connect(dataButton, &QPushButton::clicked, this, &ConfigDialog::chooseDataDirectory);
    connect(browserButton, &QPushButton::clicked, this, &ConfigDialog::chooseBrowser);
    return box;
}

QWidget* ConfigDialog::buildFilterBox() {
    auto* box = new QWidget(this);
    auto* grid = new QGridLayout(box);
    grid->setContentsMargins(0, 0, 0, 0);
    m_exclude = edit(box, "excludePatternEdit");
    QCheckBox* skip = flag(box, "skipCheck", QStringLiteral("Skip"), &ConfigValues::skipShort);
    m_lineLimit = edit(box, "lineLimitEdit");
    m_lineLimit->setMaximumWidth(80);
    grid->addWidget(new QLabel(QStringLiteral("Exclude pattern"), box), 0, 0);
    grid->addWidget(m_exclude, 0, 1, 1, 4);
    grid->addWidget(skip, 1, 0);
    grid->addWidget(new QLabel(QStringLiteral("messages with fewer than "), box), 1, 1);
    grid->addWidget(m_lineLimit, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("lines"), box), 1, 3);
    grid->setColumnStretch(4, 1);
    return box;
}

QWidget* ConfigDialog::buildNewsDataBox() {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* box = new QGroupBox(QStringLiteral("News data"), row);
    box->setObjectName(QStringLiteral("newsDataBox"));
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->addWidget(
        flag(box, "saveTextCheck", QStringLiteral("Save text"), &ConfigValues::keepText));
    boxLayout->addWidget(
        flag(box, "keepDuplicateCheck", QStringLiteral("Keep duplicate"), &ConfigValues::keepDup));
    boxLayout->addWidget(flag(box, "saveDescriptionCheck", QStringLiteral("Save description"),
                              &ConfigValues::keepDesc));
    QCheckBox* skipCopies =
        flag(box, "skipDuplicatePicturesCheck", QStringLiteral("Skip duplicate pictures"),
             &ConfigValues::skipDuplicatePictures);
    skipCopies->setToolTip(
        QStringLiteral("A picture whose content was retrieved before is removed again"));
    boxLayout->addWidget(skipCopies);
    QCheckBox* thumbnails =
        flag(box, "thumbnailsCheck", QStringLiteral("Thumbnails"), &ConfigValues::thumbnails);
    thumbnails->setToolTip(QStringLiteral(
        "Records every picture in the picture database and makes its thumbnail and gallery cell"));
    boxLayout->addWidget(thumbnails);
    layout->addWidget(box);

    auto* threads = new QVBoxLayout;
    threads->addWidget(new QLabel(QStringLiteral("Reader threads"), row));
    m_readerThreads = new QSpinBox(row);
    m_readerThreads->setObjectName(QStringLiteral("readerThreadsSpin"));
    m_readerThreads->setRange(0, 99);  // wider than allowed so OK can say what is allowed
    threads->addWidget(m_readerThreads);
    threads->addStretch();
    layout->addLayout(threads);
    layout->addStretch();
    return row;
}

QWidget* ConfigDialog::buildFirstVisitBox() {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    QSpinBox* firstVisit = number(row, "firstVisitSpin", &ConfigValues::firstVisit);
    QSpinBox* firstVisitDays = number(row, "firstVisitDaysSpin", &ConfigValues::firstVisitDays);
    QCheckBox* compress =
        flag(row, "compressCheck", QStringLiteral("Compress"), &ConfigValues::compress);
    compress->setToolTip(
        QStringLiteral("Asks the server to compress what it sends, where it offers to"));
    layout->addWidget(new QLabel(QStringLiteral("First visit: the newest"), row));
    layout->addWidget(firstVisit);
    layout->addWidget(new QLabel(QStringLiteral("articles (0: all), or the last"), row));
    layout->addWidget(firstVisitDays);
    layout->addWidget(new QLabel(QStringLiteral("days (0: off)"), row));
    layout->addStretch();
    layout->addWidget(compress);
    layout->addWidget(flag(row, "fillWhenDownCheck",
                           QStringLiteral("Use fill servers when the main server is down"),
                           &ConfigValues::fillWhenMainDown));
    return row;
}

QCheckBox* ConfigDialog::flag(QWidget* parent, const char* name, const QString& text,
                              int ConfigValues::*field) {
    auto* c = new QCheckBox(text, parent);
    c->setObjectName(QLatin1String(name));
    m_flags.push_back({c, &configKey(field)});
    return c;
}

QSpinBox* ConfigDialog::number(QWidget* parent, const char* name, int ConfigValues::*field) {
    auto* s = new QSpinBox(parent);
    s->setObjectName(QLatin1String(name));
    const ConfigKey& k = configKey(field);
    s->setRange(k.minimum.value_or(0), k.maximum.value_or(0));
    m_numbers.push_back({s, &k});
    return s;
}

void ConfigDialog::load() {
    m_dataDirectory->setText(qs(m_values.dataDirectory));
    showFreeSpace(m_values.dataDirectory);
    m_alertMark->setText(QString::number(m_values.freeAlert));
    m_browser->setText(qs(m_values.browser));
    m_exclude->setText(qs(m_values.killPattern));
    m_lineLimit->setText(QString::number(m_values.skipLimit));
    m_readerThreads->setValue(m_values.maxThreads);
    for (const FlagBinding& f : m_flags) f.box->setChecked(configText(*f.key, m_values) != "0");
    for (const NumberBinding& n : m_numbers)
        n.box->setValue(QString::fromStdString(configText(*n.key, m_values)).toInt());
}

bool ConfigDialog::save() {
    ConfigValues v = m_values;
    const ConfigKey& threadsKey = configKey(&ConfigValues::maxThreads);
    if (!checkLength(this, m_dataDirectory, maxLength(&ConfigValues::dataDirectory))) return false;
    if (!readInteger(this, m_alertMark, v.freeAlert)) return false;
    if (!checkLength(this, m_browser, maxLength(&ConfigValues::browser))) return false;
    if (!checkLength(this, m_exclude, maxLength(&ConfigValues::killPattern))) return false;
    if (auto problem = describePatternProblem(m_exclude->text().toStdString())) {
        // Said plainly, and the text stays to be corrected.
        showMessage(this, QStringLiteral("The exclude pattern cannot be used. %1\nCorrect it, or "
                                         "clear the field to exclude nothing.")
                              .arg(qs(*problem)));
        m_exclude->setFocus();
        return false;
    }
    if (!readInteger(this, m_lineLimit, v.skipLimit)) return false;
    QLineEdit* threads = m_readerThreads->findChild<QLineEdit*>();
    if (!readInteger(this, threads, v.maxThreads, threadsKey.minimum, threadsKey.maximum))
        return false;
    v.dataDirectory = m_dataDirectory->text().toStdString();
    v.browser = m_browser->text().toStdString();
    v.killPattern = m_exclude->text().toStdString();
    for (const FlagBinding& f : m_flags) setConfigText(*f.key, v, f.box->isChecked() ? "1" : "0");
    for (const NumberBinding& n : m_numbers)
        setConfigText(*n.key, v, std::to_string(n.box->value()));
    m_values = std::move(v);
    return true;
}

void ConfigDialog::showFreeSpace(const std::string& directory) {
    const std::int64_t kb = m_freeKB ? m_freeKB(directory) : 0;
    m_freeSpace->setText(QString::number(kb / 1024));
}

void ConfigDialog::chooseDataDirectory() {
    // Starts from the confirmed directory: a path typed but not confirmed is not used.
    DirectorySelection selection(qs(m_values.dataDirectory), this);
    if (selection.exec() != QDialog::Accepted) return;
    m_values.dataDirectory = selection.path().toStdString();
    m_dataDirectory->setText(selection.path());
    showFreeSpace(m_values.dataDirectory);
}

void ConfigDialog::chooseBrowser() {
    const QString file =
        QFileDialog::getOpenFileName(this, QStringLiteral("Browser"), m_browser->text());
    if (file.isEmpty()) return;
    m_values.browser = file.toStdString();
    m_browser->setText(file);
}

void ConfigDialog::accept() {
    if (save()) QDialog::accept();
}

}  // namespace qm
