// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/directoryselection.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>
#include <QVBoxLayout>

#include "dialogs/groupicons.h"

namespace qm {

namespace {

const QString NoDirectories = QStringLiteral("no directories found");
const QString NoFiles = QStringLiteral("no files found");
constexpr int NarrowWidth = 360;
constexpr int WideHeight = 420;

}  // namespace

DirectorySelection::DirectorySelection(const QString& path, QWidget* parent)
    : QDialog(parent), m_path(new QLineEdit(path, this)), m_current(QDir::currentPath()) {
    setObjectName(QStringLiteral("directorySelection"));
    setWindowTitle(QStringLiteral("Directory Selection"));
    auto* layout = new QVBoxLayout(this);
    auto* prompt = new QLabel(QStringLiteral("Enter a complete directory/path or click Browse "
                                             "to choose an existing directory/path"),
                              this);
    prompt->setWordWrap(true);
    layout->addWidget(prompt);
    m_path->setObjectName(QStringLiteral("pathEdit"));
    layout->addWidget(m_path);

    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    m_browse = new QPushButton(QStringLiteral("Browse >"), this);
    m_browse->setObjectName(QStringLiteral("browseButton"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    buttons->addWidget(ok);
    buttons->addWidget(m_browse);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    m_browseBox = buildBrowseBox();
    layout->addWidget(m_browseBox, 1);
    m_browseBox->hide();

    connect(ok, &QPushButton::clicked, this, &DirectorySelection::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_browse, &QPushButton::clicked, this, &DirectorySelection::browse);
    resize(NarrowWidth, sizeHint().height());
}

QGroupBox* DirectorySelection::buildBrowseBox() {
    auto* box = new QGroupBox(QStringLiteral("Browse"), this);
    box->setObjectName(QStringLiteral("browseBox"));
    auto* layout = new QVBoxLayout(box);
    m_directories = new QListWidget(box);
    m_directories->setObjectName(QStringLiteral("directoryList"));
    m_volumes = new QComboBox(box);
    m_volumes->setObjectName(QStringLiteral("volumeCombo"));
    layout->addWidget(m_directories, 1);
    layout->addWidget(m_volumes);
    connect(m_path, &QLineEdit::textEdited, this, [this] { m_typedSincePick = true; });
    connect(m_directories, &QListWidget::currentItemChanged, this,
            [this] { m_typedSincePick = false; });
    connect(m_directories, &QListWidget::itemClicked, this, [this] { m_typedSincePick = false; });
    connect(m_directories, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { enter(item->data(Qt::UserRole).toString()); });
    connect(m_volumes, &QComboBox::activated, this, &DirectorySelection::chooseVolume);
    return box;
}

QString DirectorySelection::path() const {
    return m_path->text();
}

void DirectorySelection::browse() {
    if (m_browsing) return;
    m_browsing = true;
    m_current = QDir::currentPath();
    m_browseBox->show();
    m_browse->setEnabled(false);
    fillVolumes();
    fillDirectories();
    resize(qMax(width(), NarrowWidth + 80), WideHeight);
    m_directories->setFocus();
}

bool DirectorySelection::enter(const QString& entry) {
    if (entry.isEmpty()) return false;
    QDir dir(m_current);
    if (!dir.cd(entry)) return false;
    m_current = dir.absolutePath();
    fillDirectories();
    return true;
}

void DirectorySelection::fillDirectories() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_directories->clear();
    const QDir dir(m_current);
    QStringList names = dir.entryList(QDir::Dirs | QDir::NoDot | QDir::Hidden, QDir::Name);
    if (!dir.isReadable()) {
        m_directories->addItem(NoDirectories);
    } else if (names.isEmpty()) {
        m_directories->addItem(NoFiles);
    }
    for (const QString& name : names) {
        const bool parent = name == QLatin1String("..");
        auto* item = new QListWidgetItem(parent ? parentFolderIcon() : folderIcon(),
                                         parent ? QString() : name);
        item->setData(Qt::UserRole, name);
        item->setToolTip(parent ? QStringLiteral("Parent folder") : name);
        m_directories->addItem(item);
    }
    m_path->setText(m_current);
    QApplication::restoreOverrideCursor();
}

void DirectorySelection::fillVolumes() {
    m_volumes->clear();
    int current = -1;
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady()) continue;
        const QString root = volume.rootPath();
        if (root != QLatin1String("/") && !root.startsWith(QLatin1String("/media")) &&
            !root.startsWith(QLatin1String("/mnt")) &&
            !root.startsWith(QLatin1String("/run/media")) && !root.startsWith(QDir::homePath()))
            continue;  // system mounts (/proc, /sys, /run...) are no place for pictures
        m_volumes->addItem(volumeIcon(), root, root);
        if (m_current.startsWith(root)) current = m_volumes->count() - 1;
    }
    if (m_volumes->findData(QStringLiteral("/")) < 0)
        m_volumes->insertItem(0, volumeIcon(), "/", "/");
    m_volumes->setCurrentIndex(qMax(current, 0));
}

void DirectorySelection::chooseVolume(int index) {
    const QString root = m_volumes->itemData(index).toString();
    if (!QDir(root).isReadable()) {
        fillVolumes();
        return;
    }
    m_current = root;
    fillDirectories();
}

void DirectorySelection::accept() {
    // A folder picked with one click counts as entered, as leaving the list would.
    // A path typed after the pick wins over it.
    if (m_browsing && !m_typedSincePick) {
        if (QListWidgetItem* item = m_directories->currentItem(); item && item->isSelected())
            enter(item->data(Qt::UserRole).toString());
    }
    QDialog::accept();
}

}  // namespace qm
