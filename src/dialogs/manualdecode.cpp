// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/manualdecode.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>

#include "model/locks.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

namespace {

constexpr int MaxRemovedPerPress = 256;

QPushButton* button(QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    return b;
}

// "*.*" means every file, as users of such pickers expect, not only names with a dot.
QString globOf(const QString& pattern) {
    return pattern == QStringLiteral("*.*") ? QStringLiteral("*") : pattern;
}

}  // namespace

ManualDecodeDialog::ManualDecodeDialog(Session& session, QWidget* parent)
    : QDialog(parent), m_session(session) {
    buildUi();
    setDirectory(QDir::currentPath());
}

void ManualDecodeDialog::buildUi() {
    setObjectName(QStringLiteral("manualDecodeDialog"));
    setWindowTitle(QStringLiteral("Manual decode files"));
    auto* layout = new QHBoxLayout(this);

    // The picker.
    auto* picker = new QGridLayout;
    auto* nameLabel = new QLabel(QStringLiteral("File &Name:"), this);
    m_name = new QLineEdit(QStringLiteral("*.*"), this);
    m_name->setObjectName(QStringLiteral("fileNameEdit"));
    nameLabel->setBuddy(m_name);
    m_files = new QListWidget(this);
    m_files->setObjectName(QStringLiteral("fileList"));
    auto* dirLabel = new QLabel(QStringLiteral("&Directories:"), this);
    m_directoryLabel = new QLabel(this);
    m_directoryLabel->setObjectName(QStringLiteral("currentDirectory"));
    m_directoryLabel->setWordWrap(true);
    m_directories = new QListWidget(this);
    m_directories->setObjectName(QStringLiteral("directoryList"));
    dirLabel->setBuddy(m_directories);
    auto* typeLabel = new QLabel(QStringLiteral("List Files of &Type:"), this);
    m_type = new QComboBox(this);
    m_type->setObjectName(QStringLiteral("fileTypeBox"));
    m_type->addItem(QStringLiteral("All files (*.*)"), QStringLiteral("*.*"));
    typeLabel->setBuddy(m_type);
    picker->addWidget(nameLabel, 0, 0);
    picker->addWidget(m_name, 1, 0);
    picker->addWidget(m_files, 2, 0);
    picker->addWidget(typeLabel, 3, 0);
    picker->addWidget(m_type, 4, 0);
    picker->addWidget(dirLabel, 0, 1);
    picker->addWidget(m_directoryLabel, 1, 1);
    picker->addWidget(m_directories, 2, 1, 3, 1);
    layout->addLayout(picker, 2);

    // The decode list and its buttons.
    auto* listColumn = new QVBoxLayout;
    auto* listLabel = new QLabel(QStringLiteral("Files to be decoded"), this);
    m_decodeList = new QListWidget(this);
    m_decodeList->setObjectName(QStringLiteral("decodeList"));
    m_decodeList->setSortingEnabled(true);
    m_decodeList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    listLabel->setBuddy(m_decodeList);
    listColumn->addWidget(listLabel);
    listColumn->addWidget(m_decodeList, 1);
    auto* listButtons = new QHBoxLayout;
    auto* addButton = button(this, "addButton", QStringLiteral("&Add"));
    auto* removeButton = button(this, "removeButton", QStringLiteral("Remove"));
    auto* decodeButton = button(this, "decodeButton", QStringLiteral("&Decode files"));
    listButtons->addWidget(addButton);
    listButtons->addWidget(removeButton);
    listButtons->addWidget(decodeButton);
    listColumn->addLayout(listButtons);
    layout->addLayout(listColumn, 2);

    auto* dialogButtons = new QVBoxLayout;
    auto* closeButton = button(this, "closeButton", QStringLiteral("Close"));
    closeButton->setDefault(true);
    auto* cancelButton = button(this, "cancelButton", QStringLiteral("Cancel"));
    auto* helpButton = button(this, "helpButton", QStringLiteral("&Help"));
    dialogButtons->addWidget(closeButton);
    dialogButtons->addWidget(cancelButton);
    dialogButtons->addWidget(helpButton);
    dialogButtons->addStretch(1);
    layout->addLayout(dialogButtons);

    connect(addButton, &QPushButton::clicked, this, &ManualDecodeDialog::add);
    connect(removeButton, &QPushButton::clicked, this, &ManualDecodeDialog::removeSelected);
    connect(decodeButton, &QPushButton::clicked, this, &ManualDecodeDialog::decodeFiles);
    connect(closeButton, &QPushButton::clicked, this, &ManualDecodeDialog::closePressed);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_files, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { addName(item->text()); });
    connect(m_files, &QListWidget::currentTextChanged, m_name, &QLineEdit::setText);
    connect(m_directories, &QListWidget::itemDoubleClicked, this,
            &ManualDecodeDialog::enterDirectory);
    resize(760, 420);
}

void ManualDecodeDialog::setDirectory(const QString& directory) {
    m_directory = QDir::cleanPath(QDir(directory).absolutePath());
    refill();
}

QString ManualDecodeDialog::directory() const {
    return m_directory;
}

void ManualDecodeDialog::setFileName(const QString& name) {
    m_name->setText(name);
}

QString ManualDecodeDialog::fullPath(const QString& directory, const QString& name) {
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

void ManualDecodeDialog::add() {
    addName(m_name->text());
}

void ManualDecodeDialog::addName(const QString& name) {
    // A pattern is not a file.
    if (name.startsWith(QLatin1Char('*')) || name.startsWith(QLatin1Char(' '))) return;
    const QString path = fullPath(m_directory, name);
    for (int i = 0; i < m_decodeList->count(); ++i)
        if (m_decodeList->item(i)->text().compare(path, Qt::CaseInsensitive) == 0) return;
    m_decodeList->addItem(path);
}

void ManualDecodeDialog::removeSelected() {
    QList<int> rows;
    for (int i = 0; i < m_decodeList->count() && rows.size() < MaxRemovedPerPress; ++i)
        if (m_decodeList->item(i)->isSelected()) rows.append(i);
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) delete m_decodeList->takeItem(*it);
}

void ManualDecodeDialog::decodeFiles() {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    for (int i = m_decodeList->count() - 1; i >= 0; --i) {
        const QString path = m_decodeList->item(i)->text();
        const std::string file = path.toStdString();
        // A folder opens for reading on Linux but is no file to decode.
        FilePtr in = isDirectory(file) ? FilePtr() : openFile(file, "r");
        if (!in) {
            QGuiApplication::restoreOverrideCursor();
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Quillmere"),
                            QStringLiteral("Fail open file ") + path, QMessageBox::Ok, this);
            box.setObjectName(QStringLiteral("messageBox"));
            box.exec();
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            continue;
        }
        // Into the data directory in force now, which a configuration may have changed. A
        // write failure is on standard error only, as the other decoder errors are here.
        (void)m_session.decodeFile(std::move(in));
    }
    QGuiApplication::restoreOverrideCursor();
}

QStringList ManualDecodeDialog::decodeList() const {
    QStringList paths;
    for (int i = 0; i < m_decodeList->count(); ++i) paths << m_decodeList->item(i)->text();
    return paths;
}

void ManualDecodeDialog::refill() {
    m_directoryLabel->setText(m_directory);
    m_files->clear();
    m_directories->clear();
    const QDir dir(m_directory);
    const QStringList globs{globOf(m_pattern)};
    m_files->addItems(dir.entryList(globs, QDir::Files | QDir::System, QDir::Name));
    m_directories->addItems(dir.entryList(QDir::Dirs | QDir::NoDot, QDir::Name | QDir::DirsFirst));
}

void ManualDecodeDialog::enterDirectory(QListWidgetItem* item) {
    if (item) setDirectory(fullPath(m_directory, item->text()));
}

void ManualDecodeDialog::closePressed() {
    const QString name = m_name->text().trimmed();
    if (name.isEmpty()) return;
    if (name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'))) {
        m_pattern = name;
        refill();
        return;
    }
    const QString path = QDir::isAbsolutePath(name) ? name : fullPath(m_directory, name);
    if (QFileInfo(path).isDir()) {
        setDirectory(path);
        m_name->setText(m_pattern);
        return;
    }
    accept();
}

}  // namespace qm
