// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's runs and shutdown: starting and stopping the readers, the group-list
// worker, the server box, and what the core reports back.
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include "app/activityindicator.h"
#include "app/availablegroupsmodel.h"
#include "app/logmodel.h"
#include "app/mainwindow.h"
#include "app/nzbrunner.h"
#include "catalog/picturelist.h"
#include "catalog/pictureview.h"
#include "config/appsettings.h"
#include "config/configvalues.h"
#include "dialogs/authdialog.h"
#include "dialogs/groupicons.h"
#include "dialogs/launcher.h"
#include "model/locks.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

namespace {

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
    if (ServerEntry::parse(text).host.empty()) return;
    if (auto problem = serverTextProblem(text)) {
        // A port out of range would wrap around to another one: never stored.
        showMessage(QString::fromStdString(*problem), MessageIcon::Stop);
        return;
    }
    if (m_session.switchServer(text)) refillLists();
    m_serverText = text;
}

void MainWindow::getPictures() {
    const RunController::State state = m_run->state();
    if (state == RunController::State::Stopping || state == RunController::State::Exited) return;
    commitServerBox();
    // "Stop pictures!" stops the NZBs being fetched as well as the run.
    if (state == RunController::State::Running || nzbBusy()) {
        m_nzb->stop();
        if (state == RunController::State::Running) m_run->stop();
        return;
    }
    if (m_settings.server.empty()) newsServers();
    const std::string text = m_serverBox->currentText().trimmed().toStdString();
    if (text.empty()) {
        showMessage(QStringLiteral("Please provide the NNTP server name!"), MessageIcon::Stop);
        return;
    }
    if (serverTextProblem(text)) return;  // commitServerBox has said why
    m_serverBox->setEnabled(false);
    m_session.switchServer(text);
    m_session.freeSpaceCheck(true);
    startRun();
    if (!running()) {
        m_freeSpaceTimer.stop();
        m_serverBox->setEnabled(true);
    }
}

void MainWindow::startRun() {
    m_freeSpaceTimer.start();
    if (const std::string failure = m_session.makeGroupListFolder(); !failure.empty()) {
        showMessage(QString::fromStdString(failure), MessageIcon::Stop);
        return;
    }
    std::vector<GroupEntry*> rows;
    for (int i = 0; i < m_selected->topLevelItemCount(); ++i)
        rows.push_back(static_cast<GroupEntry*>(
            m_selected->topLevelItem(i)->data(0, Qt::UserRole).value<void*>()));
    m_session.setSelection(rows);
    if (m_settings.selectedGroups.empty()) {
        showMessage(QStringLiteral("No news group is selected."), MessageIcon::Stop);
        return;
    }
    // Counted from before the readers start: the first of them may decode at once.
    const GroupTableEntries groups = m_settings.selectedGroups.entries();
    m_totals.emplace(std::vector<GroupEntry*>(groups.begin(), groups.end()));
    (void)m_run->start(m_settings.selectedGroups);
}

void MainWindow::runStateChanged(RunController::State state) {
    switch (state) {
        case RunController::State::Running:
            m_getButton->setText(QStringLiteral("Stop pictures!"));
            m_activity->play();
            m_totalsTimer.start();
            showTotals();
            break;
        case RunController::State::Stopping:
            // Until every reader has left, a press would have nothing to do.
            QApplication::setOverrideCursor(Qt::WaitCursor);
            m_getButton->setText(QStringLiteral("Get pictures!"));
            m_getButton->setEnabled(false);
            m_freeSpaceTimer.stop();
            break;
        case RunController::State::Idle:
        case RunController::State::Exited:
            if (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
            m_getButton->setText(nzbBusy() ? QStringLiteral("Stop pictures!")
                                           : QStringLiteral("Get pictures!"));
            m_getButton->setEnabled(true);
            m_freeSpaceTimer.stop();
            m_activity->stop();
            // The NZBs' worker holds the server entry until it ends.
            m_serverBox->setEnabled(!nzbBusy());
            // A run that was on has ended (at the exit the window closes instead).
            if (m_totalsTimer.isActive() && state == RunController::State::Idle) {
                runEnded();
                // What the Options dialog gave during the run has been applied now.
                (void)m_session.saveConfiguration();
            }
            m_totalsTimer.stop();
            break;
    }
}

void MainWindow::showTotals() {
    if (!m_totals) return;
    // A group added to the selection during the run counts from when first seen; one removed
    // from it keeps what it brought in.
    for (GroupEntry* g : m_settings.selectedGroups.entries()) m_totals->add(*g);
    m_figures = m_totals->sample();
    constexpr double MB = 1024.0 * 1024.0;
    QString text = QStringLiteral("Articles: %1   Pictures: %2   %3 MB")
                       .arg(m_figures.retrieved())
                       .arg(m_figures.pictures())
                       .arg(static_cast<double>(m_figures.bytes()) / MB, 0, 'f', 1);
    m_rate = m_figures.bytesPerSecond;
    if (running())
        text += QStringLiteral("   %1 MB/s").arg(m_figures.bytesPerSecond / MB, 0, 'f', 2);
    m_totalsLabel->setText(text);
}

void MainWindow::runEnded() {
    showTotals();
    logLine(QString::fromStdString(closingSummary(m_figures)));
    // Someone who looked away learns that the run is over.
    auto count = [](std::int64_t n, const char* one, const char* many) {
        return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
    };
    const auto groups = static_cast<std::int64_t>(m_figures.groups.size());
    if (!isActiveWindow())
        m_notifier.notify(QStringLiteral("Run finished"),
                          count(m_figures.pictures(), "picture", "pictures") +
                              QStringLiteral(" came in from ") + count(groups, "group", "groups") +
                              QLatin1Char('.'));
}

bool MainWindow::stopping() const {
    const RunController::State state = m_run->state();
    return state == RunController::State::Stopping || state == RunController::State::Exited;
}

void MainWindow::readersFinished() {
    m_run->readersFinished();
}

void MainWindow::freeSpaceTick() {
    m_session.freeSpaceCheck(false);
}

void MainWindow::startGroupList() {
    commitServerBox();
    if (m_settings.server.empty() || !m_settings.currentServer()) {
        showMessage(QStringLiteral("Please supply the news server address!"), MessageIcon::Stop);
        return;
    }
    if (m_run->startGroupList() != 0) return;
    updateMenus();
}

void MainWindow::stopGroupList() {
    m_run->stopGroupList();
}

void MainWindow::groupListDone() {
    m_run->groupListDone();
    updateMenus();
    (void)m_session.saveConfiguration();  // as at the end of a run
}

void MainWindow::exitProgram() {
    if (m_run->state() == RunController::State::Exited) return;
    shutdown();
    close();
}

void MainWindow::shutdown() {
    ProgramExiting.store(true);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_startupTimer.stop();
    m_freeSpaceTimer.stop();
    m_run->stopForExit();
    m_nzb->stopForExit();
    m_frontend.flushOfferedGroups();
    saveWindowState();
    m_session.save();
    m_session.leaveDataFolder();
    QApplication::restoreOverrideCursor();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The title bar's close does what "EXIT" does.
    if (m_run->state() != RunController::State::Exited) shutdown();
    event->accept();
}

void MainWindow::logLine(const QString& line) {
    m_logModel->append(line);
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
        if (stopping() || ProgramExiting.load()) dialog.reject();
    });
    watch.start(100);
    if (dialog.exec() != QDialog::Accepted || stopping()) return std::nullopt;
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
    readGroupCounts(m_settings, group);  // what the last run counted, not 0/0
    group.clear(Finished);               // an idle reader takes it up now, as at a run's start
    group.set(Selected | ShownSelected);
    auto* item = new QTreeWidgetItem;
    item->setText(0, QString::fromStdString(group.name()));
    item->setIcon(0, groupIcon(GroupIcon::ToRetrieve));
    item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(&group)));
    m_selected->addTopLevelItem(item);
    updateGroupRow(group);
    fitGroupColumn();
    m_session.addToRun(group);  // during a run an idle reader takes it up
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
    } else if (asPage && !m_session.resolveBrowser().empty()) {
        m_launcher->start({QString::fromStdString(m_settings.browser), target});
    } else {
        m_launcher->start({QStringLiteral("xdg-open"), target});
    }
}

}  // namespace qm
