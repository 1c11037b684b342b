// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's group-list commands, dialogs and the log's "Decoded file " lines.
#include <QItemSelectionModel>
#include <QTreeView>
#include <QTreeWidget>
#include <mutex>

#include "app/availablegroupsmodel.h"
#include "app/mainwindow.h"
#include "app/nzbsaver.h"
#include "catalog/indexpages.h"
#include "config/appsettings.h"
#include "decode/decoder.h"
#include "dialogs/aboutbox.h"
#include "dialogs/addgroupdialog.h"
#include "dialogs/configdialog.h"
#include "dialogs/filemanager.h"
#include "dialogs/groupmonitor.h"
#include "dialogs/manualdecode.h"
#include "dialogs/searchdialog.h"
#include "dialogs/serversdialog.h"
#include "dialogs/tipdialog.h"
#include "model/locks.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

namespace {

constexpr std::size_t MaxSubscribeRows = 2048;
constexpr std::size_t MaxRows = 20480;
const QString DecodedFile = QStringLiteral("Decoded file ");

}  // namespace

std::vector<GroupEntry*> MainWindow::selectedAvailableGroups(std::size_t limit) const {
    std::vector<GroupEntry*> groups;
    QModelIndexList rows = m_available->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    for (const QModelIndex& index : rows) {
        if (groups.size() >= limit) break;
        if (GroupEntry* g = m_availableModel->group(index.row())) groups.push_back(g);
    }
    return groups;
}

GroupEntry* MainWindow::currentSelectedGroup() const {
    const QList<QTreeWidgetItem*> items = m_selected->selectedItems();
    if (items.isEmpty()) return nullptr;
    return static_cast<GroupEntry*>(items.front()->data(0, Qt::UserRole).value<void*>());
}

void MainWindow::subscribeSelected() {
    for (GroupEntry* g : selectedAvailableGroups(MaxSubscribeRows)) {
        (void)m_session.subscribe(*g);
        m_availableModel->refresh(*g);
    }
    saveLists();
}

void MainWindow::unsubscribeSelected() {
    for (GroupEntry* g : selectedAvailableGroups(MaxRows)) {
        m_session.unsubscribe(*g);
        if (m_viewMode == ShowSubscribed)
            m_availableModel->removeGroup(*g);
        else
            m_availableModel->refresh(*g);
    }
    saveLists();
}

void MainWindow::selectSelected() {
    for (GroupEntry* g : selectedAvailableGroups(MaxRows)) {
        if (g->has(ShownSelected)) continue;
        addToSelected(*g);
        m_session.select(*g);
    }
    saveLists();
}

void MainWindow::removeSelected() {
    GroupEntry* g = currentSelectedGroup();
    if (!g) return;
    m_session.unselect(*g);
    delete rowOf(*g);
    saveLists();
}

void MainWindow::browseGroup() {
    GroupEntry* g = currentSelectedGroup();
    if (!g) {
        showMessage(QStringLiteral("No group selected."), MessageIcon::Information);
        return;
    }
    std::string page = g->stats() ? g->stats()->idxPage() : std::string();
    if (page.empty()) page = m_session.groupFolder(*g).file("index.html");
    openPath(page, true);
}

void MainWindow::openGallery() {
    GroupEntry* g = currentSelectedGroup();
    if (!g) {
        showMessage(QStringLiteral("No group selected."), MessageIcon::Information);
        return;
    }
    const std::string page = m_session.galleryPage(*g);
    if (page.empty()) {
        showMessage(QStringLiteral("No pictures of ") + QString::fromStdString(g->name()) +
                        QStringLiteral(" have been shown yet."),
                    MessageIcon::Information);
        return;
    }
    openPath(page, true);
}

void MainWindow::exploreGroup() {
    GroupEntry* g = currentSelectedGroup();
    if (!g) {
        showMessage(QStringLiteral("No group selected."), MessageIcon::Information);
        return;
    }
    openPath(m_session.groupFolder(*g).path(), false);
}

void MainWindow::openLogLine(const QString& line) {
    if (!line.startsWith(DecodedFile)) return;
    openPath(line.mid(DecodedFile.size()).toStdString(), false);
}

void MainWindow::showTable(const GroupTable& table) {
    std::vector<GroupEntry*> groups;
    groups.reserve(table.size());
    for (GroupEntry* g : table.entries()) groups.push_back(g);
    m_availableModel->addGroups(std::move(groups));
}

void MainWindow::refillLists() {
    for (int i = 0; i < m_selected->topLevelItemCount(); ++i)
        static_cast<GroupEntry*>(m_selected->topLevelItem(i)->data(0, Qt::UserRole).value<void*>())
            ->clear(ShownSelected);
    m_selected->clear();
    m_viewMode = ShowSubscribed;
    m_availableModel->clear();
    showTable(m_settings.subscribedGroups);
    std::vector<GroupEntry*> selected;
    for (GroupEntry* g : m_settings.selectedGroups.entries()) selected.push_back(g);
    for (GroupEntry* g : selected) addToSelected(*g);
    updateMenus();
}

void MainWindow::showAllGroups() {
    if (groupListBusy()) return;
    m_viewMode = ShowAll;
    m_availableModel->clear();
    updateMenus();
    startGroupList();
}

void MainWindow::showSubscribedGroups() {
    if (groupListBusy()) return;
    m_viewMode = ShowSubscribed;
    m_availableModel->clear();
    showTable(m_settings.subscribedGroups);
    updateMenus();
}

void MainWindow::searchGroups() {
    if (groupListBusy()) return;
    SearchDialog dialog(m_searchPattern, m_searchDisplayedOnly, this);
    if (dialog.exec() != QDialog::Accepted) return;
    runSearch(dialog.pattern(), dialog.displayedOnly());
}

void MainWindow::runSearch(const QString& pattern, bool displayedOnly) {
    m_searchPattern = pattern;
    m_searchDisplayedOnly = displayedOnly;
    m_viewMode = ShowSearch;
    updateMenus();
    if (pattern.isEmpty()) {
        showMessage(QStringLiteral("No search pattern supplied!"), MessageIcon::Information);
        return;
    }
    if (auto error = m_search.compile(pattern.toStdString())) {
        showMessage(QString::fromStdString(*error), MessageIcon::Warning);
        return;
    }
    if (displayedOnly) {
        m_availableModel->removeIf(
            [this](const GroupEntry& g) { return !m_search.found(g.name()); });
        return;
    }
    m_availableModel->clear();
    for (GroupEntry* g : m_settings.allGroups.entries()) g->clear(ShownAvailable);
    startGroupList();
}

void MainWindow::addGroup() {
    if (groupListBusy()) return;
    AddGroupDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    const std::string name = dialog.groupName().toStdString();
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) {
        // A path: the file is decoded as an article; a file that cannot be read is ignored.
        if (FilePtr file = openFile(name, "rb")) {
            // A write failure is on standard error only, as the other decoder errors are here.
            (void)m_session.decodeFile(std::move(file), true);
        }
        return;
    }
    // The dialog's "Subscribe" box stays checked: an added group is always a subscribed one.
    if (!m_session.subscribe(m_session.groupNamed(name))) return;  // already there
    saveLists();
    if (dialog.subscribe()) showSubscribedGroups();
}

void MainWindow::newsServers() {
    commitServerBox();
    ServersDialog dialog(m_session, this);
    if (dialog.exec() == QDialog::Accepted) fillServerBox();
}

void MainWindow::options() {
    m_session.resolveBrowser();  // the dialog shows the default browser when none is set
    ConfigDialog dialog(m_session.configuration(), m_settings.freeSpaceProbe, this);
    if (dialog.exec() != QDialog::Accepted) return;
    const Session::Applied applied = m_session.applyConfiguration(dialog.values());
    if (applied.message)
        showMessage(QString::fromStdString(*applied.message), MessageIcon::Information);
    if (applied.dataDirectoryChanged) refillLists();
    // Saved now, not at the exit: a program started meanwhile reads them (what a run holds
    // back is saved when it has ended).
    if (!applied.refused) (void)m_session.saveConfiguration();
}

void MainWindow::saveLists() {
    // Saved as they change: qmere-cli and a timer's fetch read them while the window is open.
    (void)m_session.saveGroupLists();  // a failure has been shown
}

void MainWindow::about() {
    AboutBox(this).exec();
}

void MainWindow::help() {
    openPath(helpFilePath(), true);
}

void MainWindow::manualDecode() {
    ManualDecodeDialog(m_session, this).exec();
}

void MainWindow::tips() {
    TipDialog(m_settings.profile(), this).exec();
}

void MainWindow::groupMonitor() {
    if (m_settings.selectedGroups.empty()) {
        showMessage(QStringLiteral("No news group selected!"), MessageIcon::Information);
        return;
    }
    GroupEntry* g = currentSelectedGroup();
    if (!g) g = m_settings.selectedGroups.front();
    const QString name = QString::fromStdString(g->name());
    if (auto* open = qobject_cast<GroupMonitor*>(m_monitor.data())) {
        open->chooseGroup(name);
        open->raise();
        open->activateWindow();
        return;
    }
    // Not modal: the run can be stopped while it is open. It is this window's child, so it
    // never outlives the figures it reads.
    auto* monitor = new GroupMonitor(
        m_settings.selectedGroups, [this] { return static_cast<int>(receiveRate()); }, name, this);
    monitor->setAttribute(Qt::WA_DeleteOnClose);
    monitor->setModal(false);
    m_monitor = monitor;
    monitor->show();
}

void MainWindow::fileManagement() {
    const GroupEntry* g = currentSelectedGroup();
    // A window of its own each time; owned by the main window so that none outlives it.
    auto* manager =
        new FileManager(m_session, g ? QString::fromStdString(g->name()) : QString(), this);
    manager->setNzbSaver(nzbSaver(m_session));
    manager->show();
}

}  // namespace qm
