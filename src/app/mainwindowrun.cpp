// The main window's runs and shutdown: starting and stopping the readers, the group-list
// worker, the server box, and what the core reports back.
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <thread>

#include "app/activityindicator.h"
#include "app/availablegroupsmodel.h"
#include "dialogs/groupicons.h"
#include "app/mainwindow.h"
#include "catalog/pictureview.h"
#include "config/appsettings.h"
#include "config/locks.h"
#include "dialogs/authdialog.h"
#include "nntp/groupfetchthread.h"
#include "nntp/readerpool.h"
#include "platform/paths.h"

namespace qm {

namespace {

constexpr auto GroupListStopWait = std::chrono::milliseconds(3000);
constexpr int MaxFolderText = 255;

QMessageBox::Icon boxIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Stop:
            return QMessageBox::Critical;
        case MessageIcon::Information:
            break;
    }
    return QMessageBox::Information;
}

}  // namespace

void MainWindow::setOpener(std::function<void(const QString&, bool)> opener) {
    m_opener = std::move(opener);
}

void MainWindow::commitServerBox() {
    const std::string text = m_serverBox->currentText().trimmed().toStdString();
    const ServerEntry parsed = ServerEntry::parse(text);
    if (parsed.host.empty()) return;
    if (parsed.host != m_settings.server) {
        // Each server has its own group lists: save this one's, load the other's.
        m_settings.saveSettings();
        m_settings.useServerText(text);
        reloadServerLists();
    } else {
        m_settings.useServerText(text);  // the port may have changed
    }
    m_serverText = text;
}

void MainWindow::getPictures() {
    if (m_stopping) return;
    commitServerBox();
    if (m_running) {
        stopRun();
        return;
    }
    if (m_settings.server.empty()) newsServers();
    if (m_serverBox->currentText().trimmed().isEmpty()) {
        showMessage(QStringLiteral("Please provide the NNTP server name!"), MessageIcon::Stop);
        return;
    }
    m_serverBox->setEnabled(false);
    m_settings.useServerText(m_serverBox->currentText().trimmed().toStdString());
    m_settings.freeSpaceCheck(true);
    startRun();
    if (!m_running) {
        m_freeSpaceTimer.stop();
        m_serverBox->setEnabled(true);
    }
}

void MainWindow::startRun() {
    m_freeSpaceTimer.start();
    const std::string directory = m_settings.groupListDirectory();
    if (makeDirectories(directory) != 0) {
        showMessage(
            QStringLiteral("Fail to create data directory ") + QString::fromStdString(directory),
            MessageIcon::Stop);
        return;
    }
    m_settings.selectedGroups.clear();
    for (int i = m_selected->topLevelItemCount() - 1; i >= 0; --i) {
        auto* group = static_cast<GroupEntry*>(
            m_selected->topLevelItem(i)->data(0, Qt::UserRole).value<void*>());
        m_settings.selectedGroups.add(*group);
    }
    if (m_settings.selectedGroups.empty()) {
        showMessage(QStringLiteral("No news group is selected."), MessageIcon::Stop);
        return;
    }
    m_readerPool->distribute(m_settings.selectedGroups);
    ServerEntry* server = m_settings.currentServer();
    if (!server) return;
    m_readerPool->setServer(server);
    m_readerPool->startRun();
    m_running = true;
    m_getButton->setText(QStringLiteral("Stop pictures!"));
    m_activity->play();
    // Every group may be finished already: then no reader starts and none will report.
    if (m_readerPool->runningReaders() == 0) readersFinished();
}

void MainWindow::waitForReaders() {
    // The event loop keeps running: a reader may be waiting on the window (a log line, the
    // credential prompt) before it can leave.
    m_readerPool->stopAll([] { QApplication::processEvents(QEventLoop::AllEvents, 10); });
}

void MainWindow::stopRun() {
    m_stopping = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_getButton->setEnabled(false);
    m_freeSpaceTimer.stop();
    waitForReaders();
    m_running = false;
    m_getButton->setText(QStringLiteral("Get pictures!"));
    m_activity->stop();
    m_getButton->setEnabled(true);
    m_serverBox->setEnabled(true);
    QApplication::restoreOverrideCursor();
    m_stopping = false;
}

void MainWindow::readersFinished() {
    if (m_stopping || !m_running || m_readerPool->runningReaders() > 0) return;
    m_stopping = true;
    m_getButton->setText(QStringLiteral("Get pictures!"));
    m_freeSpaceTimer.stop();
    waitForReaders();
    m_activity->stop();
    m_serverBox->setEnabled(true);
    m_running = false;
    m_stopping = false;
}

void MainWindow::freeSpaceTick() {
    m_settings.freeSpaceCheck(false);
}

void MainWindow::startGroupList() {
    commitServerBox();
    if (m_settings.server.empty() || !m_settings.currentServer()) {
        showMessage(QStringLiteral("Please supply the news server address!"), MessageIcon::Stop);
        return;
    }
    if (!m_groupFetch) m_groupFetch = std::make_unique<GroupFetchThread>(m_settings);
    if (m_groupFetch->start() != 0) return;
    m_groupListBusy = true;
    updateMenus();
}

void MainWindow::stopGroupList() {
    if (m_groupFetch) m_groupFetch->stop();
}

void MainWindow::groupListDone() {
    if (m_groupFetch) (void)m_groupFetch->wait(GroupListStopWait);
    m_groupListBusy = false;
    updateMenus();
}

void MainWindow::exitProgram() {
    if (m_exited) return;
    if (m_stopping) {  // a stop is being waited for: exit once it is over
        QTimer::singleShot(100, this, &MainWindow::exitProgram);
        return;
    }
    shutdown();
    close();
}

void MainWindow::shutdown() {
    m_stopping = true;
    ProgramExiting.store(true);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_startupTimer.stop();
    m_freeSpaceTimer.stop();
    // The group-list worker keeps what it read but writes no "Groups" file once stopped.
    if (m_groupFetch) (void)m_groupFetch->terminate(GroupListStopWait);
    waitForReaders();
    m_frontend.flushOfferedGroups();
    m_settings.saveSettings();
    (void)m_settings.saveServers();
    m_exited = true;
    m_running = false;
    QApplication::restoreOverrideCursor();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_exited) {
        event->accept();
        return;
    }
    if (m_stopping) {  // a stop is being waited for: exit once it is over
        event->ignore();
        QTimer::singleShot(100, this, &MainWindow::exitProgram);
        return;
    }
    shutdown();  // the title bar's close does what "EXIT" does
    event->accept();
}

void MainWindow::logLine(const QString& line) {
    m_log->addItem(line);
    m_log->scrollToBottom();
}

void MainWindow::showMessage(const QString& text, MessageIcon icon) {
    QMessageBox box(boxIcon(icon), QStringLiteral("Quillmere"), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("messageBox"));
    box.exec();
}

std::optional<Credentials> MainWindow::promptCredentials(const QString& host,
                                                         const Credentials& prefill) {
    AuthDialog dialog(host, prefill, this);
    // A stop or the exit must not wait for the user to answer.
    QTimer watch;
    connect(&watch, &QTimer::timeout, &dialog, [&dialog, this] {
        if (m_stopping || ProgramExiting.load()) dialog.reject();
    });
    watch.start(100);
    if (dialog.exec() != QDialog::Accepted || m_stopping) return std::nullopt;
    return dialog.credentials();
}

void MainWindow::groupsOffered(const std::vector<GroupEntry*>& groups) {
    if (m_viewMode != ShowSearch) {
        m_availableModel->addGroups(groups);
        return;
    }
    std::vector<GroupEntry*> matching;
    for (GroupEntry* g : groups)
        if (m_search.found(g->name())) matching.push_back(g);
    m_availableModel->addGroups(std::move(matching));
}

void MainWindow::groupRowChanged(GroupEntry& group) {
    updateGroupRow(group);
}

void MainWindow::configurationRequested() {
    options();
}

void MainWindow::addToSelected(GroupEntry& group) {
    if (group.has(ShownSelected) || rowOf(group)) return;
    group.ensureStats();
    group.set(Selected | ShownSelected);
    auto* item = new QTreeWidgetItem;
    item->setText(0, QString::fromStdString(group.name()));
    item->setIcon(0, groupIcon(GroupIcon::ToRetrieve));
    item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(&group)));
    m_selected->addTopLevelItem(item);
    updateGroupRow(group);
    GroupTable one;
    one.add(group);
    m_readerPool->distribute(one);  // during a run an idle reader takes it up
}

void MainWindow::updateGroupRow(GroupEntry& group) {
    QTreeWidgetItem* item = rowOf(group);
    if (!item) return;
    const GroupStats* stats = group.stats();
    const long long decoded = stats ? stats->decoded.load() : 0;
    const long long count = stats ? stats->count.load() : 0;
    item->setText(1, QStringLiteral("%1/%2").arg(decoded).arg(count));
    const std::string page = stats ? stats->idxPage() : std::string();
    item->setText(2, QString::fromStdString(page.substr(0, MaxFolderText)));
}

QTreeWidgetItem* MainWindow::rowOf(const GroupEntry& group) const {
    for (int i = 0; i < m_selected->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = m_selected->topLevelItem(i);
        if (item->data(0, Qt::UserRole).value<void*>() == &group) return item;
    }
    return nullptr;
}

void MainWindow::openPath(const std::string& path, bool asPage) {
    const QString target = QString::fromStdString(asPage ? fileUrl(path) : path);
    if (m_opener) {
        m_opener(target, asPage);
    } else if (asPage && !m_settings.browser.empty()) {
        QProcess::startDetached(QString::fromStdString(m_settings.browser), {target});
    } else {
        QDesktopServices::openUrl(asPage ? QUrl(target) : QUrl::fromLocalFile(target));
    }
}

}  // namespace qm
