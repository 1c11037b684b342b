// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/filemanager.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSet>
#include <QSplitter>
#include <QVBoxLayout>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "catalog/messagehistory.h"
#include "catalog/picturelist.h"
#include "catalog/picturerebuild.h"
#include "catalog/pictureview.h"
#include "config/appsettings.h"
#include "config/frontend.h"
#include "decode/outputnames.h"
#include "dialogs/launcher.h"
#include "dialogs/sortablelist.h"
#include "dialogs/thumbnailview.h"
#include "dialogs/viewerpane.h"
#include "model/locks.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

namespace {

const std::string Collection = "My-Collection";
constexpr int LeftWidth = 380;
constexpr int FileColumn = 1;

QIcon fileIcon(bool viewed) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::darkGray, 1));
    p.setBrush(Qt::white);
    p.drawRect(2, 1, 11, 13);  // a sheet of paper
    if (viewed) {
        p.setPen(QPen(QColor(0, 128, 0), 2));
        p.drawPolyline(QPolygon({QPoint(4, 8), QPoint(7, 11), QPoint(12, 4)}));
    } else {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(200, 40, 40));
        p.drawEllipse(QPoint(8, 8), 3, 3);
    }
    return QIcon(pixmap);
}

QPushButton* pushButton(QWidget* parent, const char* name, const char* text) {
    auto* b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    return b;
}

std::string fileName(const QTreeWidgetItem* row) {
    return row->text(FileColumn).toStdString();
}

// Moves a decoded file to the desktop's trash, where a mistake can be undone. True when it is
// there now or was gone already; a folder is no decoded file and stays.
bool moveToTrash(const std::string& path) {
    const QString name = QString::fromStdString(path);
    const QFileInfo info(name);
    if (!info.exists() && !info.isSymLink()) return true;
    if (info.isDir()) return false;
    return QFile::moveToTrash(name);
}

}  // namespace

FileManager::FileManager(Session& session, QString group, QWidget* parent)
    : QDialog(parent),
      m_session(session),
      m_settings(session.settings()),
      m_groupName(std::move(group)) {
    setObjectName(QStringLiteral("fileManager"));
    setWindowTitle(QStringLiteral("Retrieved attachments"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setSizeGripEnabled(true);

    m_left = new QWidget(this);
    m_left->setObjectName(QStringLiteral("filePanel"));
    m_groupBox = new QComboBox(m_left);
    m_groupBox->setObjectName(QStringLiteral("groupBox"));
    m_dirLabel = new QLabel(QStringLiteral("dir"), m_left);
    m_dirLabel->setObjectName(QStringLiteral("dirLabel"));
    m_dirLabel->setWordWrap(true);
    m_list = new SortableList(m_left);
    m_list->setObjectName(QStringLiteral("fileList"));
    m_list->setToolTip(QStringLiteral("Double-click to view file"));
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setHeaderLabels(
        {QStringLiteral("Title"), QStringLiteral("Filename"), QStringLiteral("Date")});
    const int w = LeftWidth - 20;
    m_list->setColumnWidth(0, w / 2);
    m_list->setColumnWidth(1, w / 4);
    m_list->setColumnWidth(2, w / 4);
    m_list->installEventFilter(this);
    auto* split = new QSplitter(Qt::Vertical, m_left);
    split->setObjectName(QStringLiteral("fileSplitter"));
    split->addWidget(m_list);
    m_thumbs = new ThumbnailView(split);
    split->addWidget(m_thumbs);

    auto* view = pushButton(m_left, "viewButton", "View");
    auto* next = pushButton(m_left, "nextButton", "Next");
    auto* del = pushButton(m_left, "deleteButton", "Delete");
    del->setToolTip(QStringLiteral("Delete selected files"));
    auto* collect = pushButton(m_left, "collectButton", "Collect");
    auto* fit = pushButton(m_left, "fitButton", "Fit Window");
    auto* close = pushButton(m_left, "closeButton", "Close");
    m_saveNzb = new QPushButton(QStringLiteral("Save as NZB…"), m_left);
    m_saveNzb->setObjectName(QStringLiteral("saveNzbButton"));
    m_saveNzb->setToolTip(QStringLiteral("Write an NZB of the selected files"));
    m_saveNzb->hide();

    auto* groupRow = new QHBoxLayout;
    auto* groupLabel = new QLabel(QStringLiteral("Group name:"), m_left);
    groupLabel->setObjectName(QStringLiteral("groupLabel"));
    groupRow->addWidget(groupLabel);
    groupRow->addWidget(m_groupBox, 1);
    auto* buttons1 = new QHBoxLayout;
    for (QPushButton* b : {view, next, del}) buttons1->addWidget(b);
    auto* buttons2 = new QHBoxLayout;
    for (QPushButton* b : {collect, m_saveNzb, fit, close}) buttons2->addWidget(b);
    m_status = new QLabel(m_left);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setWordWrap(true);
    auto* left = new QVBoxLayout(m_left);
    left->addLayout(groupRow);
    left->addWidget(m_dirLabel);
    left->addWidget(split, 1);
    left->addLayout(buttons1);
    left->addLayout(buttons2);
    left->addWidget(m_status);

    m_pathLabel = new QLabel(QStringLiteral("Path"), this);
    m_pathLabel->setObjectName(QStringLiteral("pathLabel"));
    m_pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pane = new ViewerPane(this);
    // What the pane cannot show goes to the desktop; a failure is said in the main log.
    auto* launcher = new Launcher(
        [this](const QString& line) { m_session.frontend().appendLog(line.toStdString()); }, this);
    m_pane->setOpener([launcher](const QUrl& url) {
        launcher->start(
            {QStringLiteral("xdg-open"), url.isLocalFile() ? url.toLocalFile() : url.toString()});
    });

    connect(view, &QPushButton::clicked, this, &FileManager::viewSelected);
    connect(next, &QPushButton::clicked, this, &FileManager::viewNext);
    connect(del, &QPushButton::clicked, this, &FileManager::deleteSelected);
    connect(collect, &QPushButton::clicked, this, &FileManager::collectSelected);
    connect(fit, &QPushButton::clicked, this, &FileManager::fitWindow);
    connect(m_saveNzb, &QPushButton::clicked, this, &FileManager::saveAsNzb);
    connect(close, &QPushButton::clicked, this, &FileManager::reject);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] { viewSelected(); });
    connect(m_thumbs, &ThumbnailView::fileActivated, this, &FileManager::viewFile);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &FileManager::listSelectionChanged);
    connect(m_thumbs->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &FileManager::gridSelectionChanged);
    connect(m_groupBox, &QComboBox::activated, this,
            [this](int index) { showGroup(m_groupBox->itemText(index)); });

    for (const GroupEntry* g : m_session.visitedGroups())
        m_groupBox->addItem(QString::fromStdString(g->name()));
    if (m_groupName.isEmpty() && m_groupBox->count() > 0) m_groupName = m_groupBox->itemText(0);
    m_groupBox->setCurrentIndex(m_groupBox->findText(m_groupName, Qt::MatchExactly));
    showGroup(m_groupName);

    // Fixed geometry: the panel on the left, "Path" and the pane to its right. The compact
    // size shows the panel alone.
    m_fullSize = QSize(1000, 620);
    m_pathLabel->setGeometry(LeftWidth + 4, 8, m_fullSize.width() - LeftWidth - 12, 20);
    m_left->setGeometry(0, 0, LeftWidth, m_fullSize.height());
    m_left->layout()->activate();
    m_paneOrigin = QPoint(m_pathLabel->x(), m_pathLabel->geometry().bottom() + 1 + 3);
    m_displayWidth = m_pathLabel->width() - 20;
    m_compactSize = QSize(m_pathLabel->x() - 4, m_fullSize.height());
    resize(m_compactSize);
    placePane();
}

int FileManager::exec() {
    setAttribute(Qt::WA_DeleteOnClose, false);
    return QDialog::exec();
}

GroupEntry* FileManager::findGroup(const QString& name) const {
    const std::string key = name.toStdString();
    if (GroupEntry* g = m_session.findVisited(key)) return g;
    return m_settings.allGroups.find(key);
}

QTreeWidgetItem* FileManager::addRow(const std::string& name, const std::string& description,
                                     const std::string& date, bool viewed) {
    auto* row = new QTreeWidgetItem({QString::fromStdString(description),
                                     QString::fromStdString(name), QString::fromStdString(date)});
    row->setIcon(0, fileIcon(viewed));
    m_list->insertByTitle(row);
    return row;
}

void FileManager::showGroup(const QString& name) {
    GroupEntry* g = findGroup(name);
    if (!g) return;
    m_groupName = name;
    m_list->clear();
    const std::string dir = m_session.groupFolder(*g).filesFolder();
    m_dirLabel->setText(QString::fromStdString(dir));
    std::lock_guard lock(PictureListLock);
    for (auto& [file, record] : pictures(m_settings, *g)) {
        if (!record) continue;
        if (!fileExists(joinPath(dir, file))) {
            record.reset();  // gone from disk: left out here and from the next save
            continue;
        }
        addRow(file, record->description, record->date, record->mark == 'V');
    }
    showThumbnails(m_session.groupFolder(*g).path());
}

void FileManager::showThumbnails(const std::string& groupFolder) {
    QStringList names;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i)
        names << m_list->topLevelItem(i)->text(FileColumn);
    m_thumbs->showFiles(QString::fromStdString(groupFolder), names);
}

void FileManager::viewFile(const QString& name) {
    for (int row = 0; row < m_list->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = m_list->topLevelItem(row);
        if (item->text(FileColumn) != name) continue;
        m_list->setCurrentItem(item);  // selects it alone
        viewRow(row);
        return;
    }
}

void FileManager::filesLeft(const std::vector<std::string>& names) {
    QStringList gone;
    for (const std::string& name : names) gone << QString::fromStdString(name);
    m_thumbs->removeFiles(gone);
    // Their records, thumbnails and gallery cells would point at nothing.
    if (GroupEntry* g = findGroup(m_groupName)) m_session.forgetPictures(*g, names);
}

void FileManager::viewRow(int row) {
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    if (!item || item->text(FileColumn).isEmpty()) return;
    const std::string name = fileName(item);
    const std::string full = joinPath(m_dirLabel->text().toStdString(), name);
    m_pathLabel->setText(QString::fromStdString(full));
    expand();
    m_pane->navigate(QString::fromStdString(fileUrl(full)));
    item->setIcon(0, fileIcon(true));
    if (GroupEntry* g = findGroup(m_groupName)) {
        std::lock_guard lock(PictureListLock);
        PictureList& list = pictures(m_settings, *g);
        if (auto it = list.find(name); it != list.end() && it->second) it->second->mark = 'V';
    } else {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Could not find group"));
    }
    m_currentRow = row;
}

void FileManager::viewSelected() {
    const int row = nextSelectedRow(0);
    if (row < 0) {
        QMessageBox::information(this, windowTitle(), QStringLiteral("No file selected!"));
        return;
    }
    viewRow(row);
}

void FileManager::viewNext() {
    if (m_currentRow < 0) m_currentRow = nextSelectedRow(0);
    const int row = m_currentRow + 1;
    QTreeWidgetItem* item = m_list->topLevelItem(row);
    if (!item) return;
    // The selection moves on with the file shown: were the files viewed before to stay
    // selected, a Delete would trash every one of them.
    m_list->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
    viewRow(row);
}

int FileManager::nextSelectedRow(int from) const {
    for (int i = std::max(from, 0); i < m_list->topLevelItemCount(); ++i)
        if (m_list->topLevelItem(i)->isSelected()) return i;
    return -1;
}

QString FileManager::statusText() const {
    return m_status->text();
}

void FileManager::listSelectionChanged() {
    if (m_syncing) return;
    m_syncing = true;
    QStringList names;
    for (const QTreeWidgetItem* item : m_list->selectedItems()) names << item->text(FileColumn);
    m_thumbs->selectFiles(names);
    m_syncing = false;
}

void FileManager::gridSelectionChanged() {
    if (m_syncing) return;
    m_syncing = true;
    const QStringList chosen = m_thumbs->selectedFiles();
    const QSet<QString> names(chosen.begin(), chosen.end());
    QItemSelection selection;
    QTreeWidgetItem* current = nullptr;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_list->topLevelItem(i);
        if (!names.contains(item->text(FileColumn))) continue;
        const QModelIndex index = m_list->indexFromItem(item);
        selection.select(index, index.siblingAtColumn(m_list->columnCount() - 1));
        current = item;
    }
    m_list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (current && chosen.size() == 1) {
        m_list->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
        m_list->scrollToItem(current);
    }
    m_syncing = false;
}

bool FileManager::confirmDelete(int files) {
    if (files <= 1) return true;
    QMessageBox box(QMessageBox::Question, windowTitle(),
                    QStringLiteral("Move %1 files to the trash?").arg(files),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

void FileManager::deleteSelected() {
    const std::string dir = m_dirLabel->text().toStdString();
    GroupEntry* g = findGroup(m_groupName);
    if (!g) return;
    const int chosen = static_cast<int>(m_list->selectedItems().size());
    if (chosen == 0) return;
    if (!confirmDelete(chosen)) return;
    std::vector<std::string> deleted;
    for (int row = nextSelectedRow(0); row >= 0;) {
        const std::string name = fileName(m_list->topLevelItem(row));
        const std::string path = joinPath(dir, name);
        if (moveToTrash(path)) {
            (void)moveToTrash(descriptionPathFor(path));
            forgetView(path);
            detachPicture(*g, name);
            deleted.push_back(name);
            delete m_list->takeTopLevelItem(row);
            m_currentRow = row - 1;
            // Rows above are done or failed already; going back to the top would try (and
            // report) a failed file again.
            row = nextSelectedRow(row);
        } else {
            QMessageBox::warning(this, windowTitle(),
                                 QStringLiteral("Fail to delete ") + QString::fromStdString(name));
            row = nextSelectedRow(row + 1);
        }
    }
    savePictureList(m_settings, *g);
    filesLeft(deleted);
    const QString done =
        deleted.size() == 1
            ? QStringLiteral("%1 moved to the trash").arg(QString::fromStdString(deleted.front()))
            : QStringLiteral("%1 files moved to the trash").arg(deleted.size());
    m_status->setText(done);
    m_session.frontend().appendLog(done.toStdString() + " from " + m_groupName.toStdString());
}

void FileManager::setNzbSaver(NzbSaver saver) {
    m_nzbSaver = std::move(saver);
    m_saveNzb->setVisible(static_cast<bool>(m_nzbSaver));
}

void FileManager::saveAsNzb() {
    if (nextSelectedRow(0) < 0) {
        m_status->setText(QStringLiteral("Select the files to save as NZB"));
        return;
    }
    const QString suggested = QDir(QDir::homePath()).filePath(m_groupName + QStringLiteral(".nzb"));
    const QString target = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save as NZB"), suggested, QStringLiteral("NZB files (*.nzb)"));
    if (!target.isEmpty()) saveSelectedAsNzb(target);
}

void FileManager::saveSelectedAsNzb(const QString& target) {
    if (!m_nzbSaver) return;
    const std::string source = m_dirLabel->text().toStdString();
    std::vector<std::string> paths;
    for (int row = nextSelectedRow(0); row >= 0; row = nextSelectedRow(row + 1))
        paths.push_back(joinPath(source, fileName(m_list->topLevelItem(row))));
    if (paths.empty()) return;
    const NzbSaved saved = m_nzbSaver(paths, target.toStdString());
    QString done;
    if (!saved.error.empty()) {
        done = QString::fromStdString(saved.error);
    } else {
        done = QStringLiteral("%1 files saved in %2").arg(saved.files).arg(target);
        if (saved.leftOut > 0)
            done +=
                QStringLiteral("; %1 left out: their message-ids are not known").arg(saved.leftOut);
    }
    m_status->setText(done);
    m_session.frontend().appendLog(done.toStdString());
}

void FileManager::collectSelected() {
    if (m_groupName.toStdString() == Collection) return;
    const std::string source = m_dirLabel->text().toStdString();
    const std::string target = m_session.groupFolder(Collection).filesFolder();
    GroupEntry* from = findGroup(m_groupName);
    GroupEntry* into = m_session.findVisited(Collection);
    if (!from || !into) return;
    // A collection that was never written to has no folder yet; the moves need one.
    (void)makeDirectories(target);
    {
        // Both lists in memory before records move: setting needs the stats, and saving a
        // list that was never loaded would drop what "data.lst" holds.
        std::lock_guard lock(PictureListLock);
        (void)pictures(m_settings, *from);
        (void)pictures(m_settings, *into);
    }
    std::vector<std::string> moved;
    for (int row = nextSelectedRow(0); row >= 0;) {
        const std::string name = fileName(m_list->topLevelItem(row));
        const std::string oldPath = joinPath(source, name);
        const std::string newPath = joinPath(target, name);
        std::error_code error;
        // A rename would silently replace a collected file of the same name: refuse that.
        if (fileExists(newPath))
            error = std::make_error_code(std::errc::file_exists);
        else
            std::filesystem::rename(oldPath, newPath, error);
        if (!error) {
            std::error_code ignored;
            const std::string oldDesc = descriptionPathFor(oldPath);
            const std::string newDesc = descriptionPathFor(newPath);
            if (fileExists(oldDesc) && !fileExists(newDesc))
                std::filesystem::rename(oldDesc, newDesc, ignored);
            forgetView(oldPath);
            // Its articles go with it, for an NZB of the collection.
            m_session.history().renameFile(relativeToData(m_settings.dataDirectory, oldPath),
                                           relativeToData(m_settings.dataDirectory, newPath));
            if (auto record = findPicture(*from, name)) setPicture(m_settings, *into, name, record);
            detachPicture(*from, name);
            moved.push_back(name);
            delete m_list->takeTopLevelItem(row);
            m_currentRow = row - 1;
            // Rows above are done or failed already; going back to the top would try (and
            // report) a failed file again.
            row = nextSelectedRow(row);
        } else {
            QMessageBox::warning(this, windowTitle(),
                                 QStringLiteral("Fail to rename ") + QString::fromStdString(name));
            row = nextSelectedRow(row + 1);
        }
    }
    savePictureList(m_settings, *from);
    savePictureList(m_settings, *into);
    filesLeft(moved);
}

void FileManager::fitWindow() {
    const std::string full = m_pathLabel->text().toStdString();
    if (!fileExists(full)) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("File does not exist!"));
        return;
    }
    const auto slash = full.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : full.substr(0, slash);
    const std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
    const std::string address = pictureViewPage(dir, name, m_displayWidth);
    if (!address.empty()) m_pane->navigate(QString::fromStdString(address));
}

void FileManager::forgetView(const std::string& path) {
    if (m_pathLabel->text().toStdString() != path) return;
    m_pathLabel->setText(QStringLiteral("Path"));
    m_pane->showNothing();
}

void FileManager::expand() {
    if (m_expanded) return;
    m_expanded = true;
    resize(m_fullSize);
}

void FileManager::placePane() {
    m_left->resize(LeftWidth, height());
    const int paneWidth = width() - m_paneOrigin.x() - 5;
    const int paneHeight = height() - (m_paneOrigin.y() - 3) - 5;
    m_pathLabel->resize(std::max(0, width() - m_pathLabel->x() - 8), m_pathLabel->height());
    m_pane->setGeometry(m_paneOrigin.x(), m_paneOrigin.y(), std::max(0, paneWidth),
                        std::max(0, paneHeight));
}

void FileManager::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (m_fullSize.isEmpty()) return;  // still being built
    m_displayWidth = width() - m_paneOrigin.x() - 40;
    placePane();
}

bool FileManager::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        deleteSelected();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace qm
