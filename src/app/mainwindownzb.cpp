// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's NZBs: opening them (the menu, a drop, the command line), their rows, and
// the end of their fetch.
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QMimeData>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>

#include "app/mainwindow.h"
#include "app/nzbrunner.h"
#include "config/appsettings.h"
#include "session/session.h"

namespace qm {

namespace {

constexpr int NzbRefreshMs = 500;

enum NzbColumn {
    NameColumn,
    FilesColumn,
    MbColumn,
    RateColumn,
    LeftColumn,
    MissingColumn,
    Par2Column,
    ColumnCount
};

// The local .nzb files among urls, in their order.
QStringList nzbPaths(const QList<QUrl>& urls) {
    QStringList paths;
    for (const QUrl& url : urls)
        if (url.isLocalFile() &&
            url.toLocalFile().endsWith(QLatin1String(".nzb"), Qt::CaseInsensitive))
            paths << url.toLocalFile();
    return paths;
}

QString stateText(const NzbRunner::Row& row) {
    switch (row.state) {
        case NzbRunner::RowState::Queued:
            return QStringLiteral("waiting");
        case NzbRunner::RowState::Fetching:
            return QStringLiteral("fetching");
        case NzbRunner::RowState::Stopped:
            return QStringLiteral("stopped");
        case NzbRunner::RowState::Done:
        case NzbRunner::RowState::Failed:
            break;
    }
    return row.result.empty() ? QStringLiteral("done") : QString::fromStdString(row.result);
}

}  // namespace

QWidget* MainWindow::buildNzbTable() {
    m_nzbTable = new QTreeWidget(this);
    m_nzbTable->setObjectName(QStringLiteral("nzbTable"));
    m_nzbTable->setRootIsDecorated(false);
    m_nzbTable->setUniformRowHeights(true);
    m_nzbTable->setHeaderLabels({QStringLiteral("NZB"), QStringLiteral("Files"),
                                 QStringLiteral("MB"), QStringLiteral("Rate"),
                                 QStringLiteral("Time left"), QStringLiteral("Missing"),
                                 QStringLiteral("par2")});
    m_nzbTable->header()->setStretchLastSection(true);
    m_nzbTable->setMaximumHeight(120);
    // Shown once an NZB is opened: most sessions never have one.
    m_nzbTable->hide();
    m_nzbTimer.setInterval(NzbRefreshMs);
    connect(&m_nzbTimer, &QTimer::timeout, this, &MainWindow::showNzbRows);
    connect(m_nzb, &NzbRunner::finished, this, &MainWindow::nzbFinished);
    setAcceptDrops(true);
    return m_nzbTable;
}

bool MainWindow::nzbBusy() const {
    return m_nzb->busy();
}

void MainWindow::openNzb() {
    const QStringList paths = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Open NZB"), QString(), QStringLiteral("NZB files (*.nzb)"));
    if (!paths.isEmpty()) openNzbFiles(paths);
}

bool MainWindow::openNzbFiles(const QStringList& paths) {
    if (paths.isEmpty() || m_run->state() == RunController::State::Exited) return false;
    // During a run the server in use is the run's (the box is locked); else the box's.
    if (!running()) {
        commitServerBox();
        const std::string text = m_serverBox->currentText().trimmed().toStdString();
        if (text.empty()) {
            showMessage(QStringLiteral("Please provide the NNTP server name!"), MessageIcon::Stop);
            return false;
        }
        if (serverTextProblem(text)) return false;  // commitServerBox has said why
        m_session.switchServer(text);
    }
    ServerEntry* server = m_session.serverInUse();
    if (!server) return false;
    const int connections = std::max(1, m_settings.maxThreads);
    for (const QString& path : paths) m_nzb->open(path.toStdString(), *server, connections);
    // The worker holds the server entry: it stays the one in use until the fetch ends.
    m_serverBox->setEnabled(false);
    m_getButton->setText(QStringLiteral("Stop pictures!"));
    m_getButton->setEnabled(true);
    m_nzbTable->show();
    updateMenus();
    m_nzbTimer.start();
    showNzbRows();
    return true;
}

void MainWindow::showNzbRows() {
    const std::vector<NzbRunner::Row> rows = m_nzb->rows();
    constexpr double MB = 1e6;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const NzbRunner::Row& row = rows[i];
        QTreeWidgetItem* item = m_nzbTable->topLevelItem(static_cast<int>(i));
        if (!item) {
            item = new QTreeWidgetItem(m_nzbTable);
            item->setText(NameColumn, QString::fromStdString(row.name));
            for (int column = FilesColumn; column < Par2Column; ++column)
                item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
        item->setText(FilesColumn, QStringLiteral("%1/%2").arg(row.filesDone).arg(row.files));
        item->setText(MbColumn, QStringLiteral("%1/%2")
                                    .arg(static_cast<double>(row.bytesDone) / MB, 0, 'f', 1)
                                    .arg(static_cast<double>(row.bytes) / MB, 0, 'f', 1));
        item->setText(RateColumn, row.bytesPerSecond > 0 ? QStringLiteral("%1 MB/s").arg(
                                                               row.bytesPerSecond / MB, 0, 'f', 1)
                                                         : QString());
        item->setText(LeftColumn, row.secondsLeft >= 0 && row.state == NzbRunner::RowState::Fetching
                                      ? QString::fromStdString(durationText(row.secondsLeft))
                                      : QString());
        item->setText(MissingColumn, QString::number(row.segmentsMissing));
        item->setText(Par2Column, stateText(row));
    }
}

void MainWindow::nzbFinished() {
    m_nzbTimer.stop();
    showNzbRows();
    updateMenus();
    if (m_run->state() != RunController::State::Idle) return;
    m_getButton->setText(QStringLiteral("Get pictures!"));
    m_getButton->setEnabled(true);
    m_serverBox->setEnabled(true);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !nzbPaths(event->mimeData()->urls()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QStringList paths = nzbPaths(event->mimeData()->urls());
    if (paths.isEmpty()) return;
    event->acceptProposedAction();
    openNzbFiles(paths);
}

}  // namespace qm
