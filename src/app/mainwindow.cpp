// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's construction: controls, menus, signals and the state loaded at start.
#include "app/mainwindow.h"

#include "app/logmodel.h"
#include "session/session.h"

#include <QAction>
#include <QComboBox>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "advert/bannerarea.h"
#include "app/activityindicator.h"
#include "app/availablegroupsmodel.h"
#include "app/logmodel.h"
#include "app/nzbrunner.h"
#include "config/appsettings.h"
#include "dialogs/embossedbutton.h"
#include "dialogs/groupicons.h"
#include "dialogs/launcher.h"
#include "dialogs/tipdialog.h"
#include "nntp/groupfetchthread.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

namespace {

constexpr int StartupDelayMs = 500;
constexpr int FreeSpaceIntervalMs = 10000;
constexpr int TotalsIntervalMs = 1000;

QPushButton* button(QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    return b;
}

}  // namespace

MainWindow::MainWindow(Session& session, QtFrontend& frontend)
    : m_session(session),
      m_settings(session.settings()),
      m_frontend(frontend),
      m_run(new RunController(session, this)),
      m_nzb(new NzbRunner(session, this)),
      m_launcher(new Launcher([this](const QString& line) { logLine(line); }, this)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Quillmere"));
    setWindowIcon(programIcon());
    buildUi();
    buildMenus();
    buildStatusBar();
    connectSignals();
    m_frontend.setWindow(this);
    loadState();
    m_startupTimer.setSingleShot(true);
    m_startupTimer.start(StartupDelayMs);
    restoreWindowState();
}

MainWindow::~MainWindow() {
    m_frontend.setWindow(nullptr);
    if (m_run->state() != RunController::State::Exited) exitProgram();
}

void MainWindow::buildUi() {
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralWidget"));
    auto* layout = new QVBoxLayout(central);
    m_banner = new BannerArea(central);
    m_banner->installEventFilter(this);
    layout->addWidget(m_banner);
    layout->addWidget(buildServerRow());
    auto* split = new QSplitter(Qt::Vertical, central);
    split->setObjectName(QStringLiteral("mainSplitter"));
    m_mainSplitter = split;
    split->addWidget(buildGroupLists());
    m_logModel = new LogModel(this);
    // The NZB rows sit above the log, in its pane: the splitter keeps the two panes the
    // profile stores the sizes of.
    auto* lower = new QWidget(split);
    auto* lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addWidget(buildNzbTable());
    m_log = new QListView(lower);
    lowerLayout->addWidget(m_log, 1);
    m_log->setObjectName(QStringLiteral("logList"));
    m_log->setToolTip(QStringLiteral("Messages"));
    m_log->setUniformItemSizes(true);
    m_log->setModel(m_logModel);
    split->addWidget(lower);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    layout->addWidget(split, 1);
    layout->addWidget(buildBottomRow());
    setCentralWidget(central);
}

QWidget* MainWindow::buildServerRow() {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(QStringLiteral("News server"), row);
    m_serverBox = new QComboBox(row);
    m_serverBox->setObjectName(QStringLiteral("serverBox"));
    m_serverBox->setEditable(true);
    m_serverBox->setInsertPolicy(QComboBox::NoInsert);
    m_serverBox->setMinimumWidth(280);
    m_serverBox->lineEdit()->setPlaceholderText(QStringLiteral("host, host port or host:port"));
    m_serverBox->setToolTip(
        QStringLiteral("The news server: a host name or address, then its port if it is not "
                       "119, after a blank or a colon (news.example.net 563, "
                       "news.example.net:563, [::1]:1119)"));
    label->setBuddy(m_serverBox);
    m_getButton = button(row, "getPicturesButton", QStringLiteral("Get pictures!"));
    m_getButton->setToolTip(QStringLiteral("Click this button to retrieve pictures."));
    m_getButton->setMinimumWidth(140);
    m_activity = new ActivityIndicator(row);
    m_activity->setObjectName(QStringLiteral("activityIndicator"));
    m_activity->setToolTip(QStringLiteral("Moving, moving..."));
    m_activity->setFixedSize(36, 36);
    layout->addWidget(label);
    layout->addWidget(m_serverBox, 1);
    layout->addWidget(m_getButton);
    layout->addWidget(m_activity);
    return row;
}

QWidget* MainWindow::buildGroupLists() {
    m_listsSplitter = new QSplitter(Qt::Horizontal, this);
    m_listsSplitter->setObjectName(QStringLiteral("listsSplitter"));
    QSplitter* lists = m_listsSplitter;

    m_availableModel = new AvailableGroupsModel(this);
    m_availableModel->setIcons(groupIcon(GroupIcon::NotSubscribed),
                               groupIcon(GroupIcon::Subscribed));
    m_available = new QTreeView(lists);
    m_available->setObjectName(QStringLiteral("availableList"));
    m_available->setToolTip(QStringLiteral("Available groups"));
    m_available->setModel(m_availableModel);
    m_available->setRootIsDecorated(false);
    m_available->setUniformRowHeights(true);
    m_available->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_available->header()->setSectionsClickable(true);
    m_available->header()->setStretchLastSection(true);

    auto* buttons = new QWidget(lists);
    buttons->setObjectName(QStringLiteral("groupButtons"));
    auto* middle = new QVBoxLayout(buttons);
    middle->addStretch();
    for (auto [name, text] : {std::pair{"subscribeButton", "Subscribe"},
                              {"unsubscribeButton", "Unsubscribe"},
                              {"selectButton", "Select >>"},
                              {"removeButton", "<< Remove"}})
        middle->addWidget(button(buttons, name, QString::fromLatin1(text)));
    middle->addStretch();
    buttons->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);

    m_selected = new QTreeWidget(lists);
    m_selected->setObjectName(QStringLiteral("selectedList"));
    m_selected->setToolTip(QStringLiteral("Groups to retrieve pictures from"));
    m_selected->setHeaderLabels(
        {QStringLiteral("Active groups"), QStringLiteral("Images"), QStringLiteral("Folder")});
    m_selected->setRootIsDecorated(false);
    m_selected->setSelectionMode(QAbstractItemView::SingleSelection);
    m_selected->setSortingEnabled(true);
    m_selected->sortByColumn(0, Qt::AscendingOrder);
    m_selected->setColumnWidth(0, 200);
    m_selected->setColumnWidth(1, 70);
    m_selected->installEventFilter(this);

    lists->addWidget(m_available);
    lists->addWidget(buttons);
    lists->addWidget(m_selected);
    lists->setCollapsible(1, false);
    lists->setStretchFactor(0, 2);
    lists->setStretchFactor(1, 0);
    lists->setStretchFactor(2, 3);
    return lists;
}

QWidget* MainWindow::buildBottomRow() {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(button(row, "browseButton", QStringLiteral("Browse")));
    layout->addWidget(button(row, "exploreButton", QStringLiteral("Explore")));
    layout->addWidget(button(row, "monitorButton", QStringLiteral("Monitor")));
    layout->addWidget(button(row, "viewButton", QStringLiteral("View")));
    QPushButton* gallery = button(row, "galleryButton", QStringLiteral("Gallery"));
    gallery->setToolTip(QStringLiteral("The group's pictures as thumbnails"));
    layout->addWidget(gallery);
    layout->addStretch();
    auto* exit = new EmbossedButton(QStringLiteral("EXIT"), row);
    exit->setObjectName(QStringLiteral("exitButton"));
    exit->setMinimumSize(120, 40);
    exit->setToolTip(QStringLiteral("Click here to exit Quillmere (tm)"));
    layout->addWidget(exit);
    return row;
}

void MainWindow::buildMenus() {
    // The texts are the program's; "&" only marks the letter that Alt reaches them with.
    auto add = [this](QMenu* menu, const char* name, const QString& text, auto slot,
                      const QKeySequence& keys = {}) {
        QAction* action = menu->addAction(text, this, slot);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(keys);
        return action;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    add(file, "manualDecodeAction", QStringLiteral("&Manual decode"), &MainWindow::manualDecode,
        QKeySequence::Open);
    add(file, "openNzbAction", QStringLiteral("Open &NZB…"), &MainWindow::openNzb,
        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    file->addSeparator();
    add(file, "exitAction", QStringLiteral("E&xit"), &MainWindow::exitProgram,
        QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* groups = menuBar()->addMenu(QStringLiteral("&News groups"));
    groups->setObjectName(QStringLiteral("newsGroupsMenu"));
    m_showAllAction = add(groups, "showAllAction", QStringLiteral("Show &all groups"),
                          &MainWindow::showAllGroups);
    m_showSubscribedAction =
        add(groups, "showSubscribedAction", QStringLiteral("Show &subscribed groups"),
            &MainWindow::showSubscribedGroups);
    m_searchAction = add(groups, "searchAction", QStringLiteral("S&earch groups"),
                         &MainWindow::searchGroups, QKeySequence::Find);
    m_addGroupAction =
        add(groups, "addGroupAction", QStringLiteral("A&dd group"), &MainWindow::addGroup);
    m_stopAction = add(groups, "stopAction", QStringLiteral("S&top"), &MainWindow::stopGroupList);
    m_showAllAction->setCheckable(true);
    m_showSubscribedAction->setCheckable(true);

    QMenu* config = menuBar()->addMenu(QStringLiteral("&Config"));
    config->setObjectName(QStringLiteral("configMenu"));
    add(config, "newsServersAction", QStringLiteral("&News servers"), &MainWindow::newsServers);
    add(config, "optionsAction", QStringLiteral("&Options"), &MainWindow::options,
        QKeySequence(QStringLiteral("Ctrl+,")));

    QMenu* admin = menuBar()->addMenu(QStringLiteral("&Admin"));
    admin->setObjectName(QStringLiteral("adminMenu"));
    add(admin, "fileManagementAction", QStringLiteral("&File management"),
        &MainWindow::fileManagement);
    add(admin, "groupMonitorAction", QStringLiteral("&Group monitor"), &MainWindow::groupMonitor);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    add(help, "aboutAction", QStringLiteral("&About"), &MainWindow::about);
    add(help, "helpAction", QStringLiteral("&Help"), &MainWindow::help, QKeySequence::HelpContents);
    add(help, "tipsAction", QStringLiteral("&Tips"), &MainWindow::tips);

    // "Get pictures!" / "Stop pictures!" has no menu entry; F5 presses it.
    auto* get = new QAction(QStringLiteral("Get pictures!"), this);
    get->setObjectName(QStringLiteral("getPicturesAction"));
    get->setShortcut(Qt::Key_F5);
    connect(get, &QAction::triggered, this, [this] {
        if (m_getButton->isEnabled()) m_getButton->click();
    });
    addAction(get);
    updateMenus();
}

void MainWindow::buildStatusBar() {
    statusBar()->setObjectName(QStringLiteral("statusBar"));
    m_totalsLabel = new QLabel(statusBar());
    m_totalsLabel->setObjectName(QStringLiteral("runTotals"));
    statusBar()->addWidget(m_totalsLabel, 1);
}

void MainWindow::connectSignals() {
    auto click = [this](const char* name, void (MainWindow::*slot)()) {
        connect(findChild<QPushButton*>(QLatin1String(name)), &QPushButton::clicked, this, slot);
    };
    click("getPicturesButton", &MainWindow::getPictures);
    click("subscribeButton", &MainWindow::subscribeSelected);
    click("unsubscribeButton", &MainWindow::unsubscribeSelected);
    click("selectButton", &MainWindow::selectSelected);
    click("removeButton", &MainWindow::removeSelected);
    click("browseButton", &MainWindow::browseGroup);
    click("exploreButton", &MainWindow::exploreGroup);
    click("exitButton", &MainWindow::exitProgram);
    click("monitorButton", &MainWindow::groupMonitor);
    click("viewButton", &MainWindow::fileManagement);
    click("galleryButton", &MainWindow::openGallery);
    for (QSplitter* splitter : {m_mainSplitter, m_listsSplitter})
        connect(splitter, &QSplitter::splitterMoved, this, [this] { m_splitterMoved = true; });
    connect(m_selected, &QTreeWidget::itemDoubleClicked, this, [this] { fileManagement(); });
    connect(m_available, &QTreeView::doubleClicked, this, [this] { selectSelected(); });
    connect(m_available->header(), &QHeaderView::sectionClicked, this, [this] {
        if (groupListBusy()) stopGroupList();
    });
    connect(m_log, &QListView::doubleClicked, this,
            [this](const QModelIndex& index) { openLogLine(m_logModel->line(index.row())); });
    // One scroll per batch of lines, not one per line.
    connect(m_logModel, &LogModel::batchInserted, m_log, &QListView::scrollToBottom);
    connect(m_run, &RunController::stateChanged, this, &MainWindow::runStateChanged);
    connect(m_run, &RunController::listsReloaded, this, &MainWindow::refillLists);
    connect(&m_startupTimer, &QTimer::timeout, this, [this] {
        m_startupDone = true;
        if (m_tipsAtStartup && TipDialog::wantedAtStartup(m_settings.profile())) tips();
    });
    m_freeSpaceTimer.setInterval(FreeSpaceIntervalMs);
    connect(&m_freeSpaceTimer, &QTimer::timeout, this, &MainWindow::freeSpaceTick);
    m_totalsTimer.setInterval(TotalsIntervalMs);
    connect(&m_totalsTimer, &QTimer::timeout, this, &MainWindow::showTotals);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // The banner hides itself after its first paint when no plug-in draws it; the room it
    // gives up must not move the splitters the user left.
    if (watched == m_banner && event->type() == QEvent::Hide && m_restoredApplied &&
        !m_splitterMoved)
        QTimer::singleShot(0, this, &MainWindow::applyLaidOutState);
    if (watched == m_selected && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        removeSelected();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::loadState() {
    // The log and the decoded files go to the data directory; a failure is logged, and the
    // window comes up all the same.
    const Session::LoadResult loaded = m_session.load({});
    if (loaded.dataDirectoryInUse) {
        // Two programs in one folder would fetch everything twice and overwrite each other's
        // lists: this one ends, and writes nothing.
        showMessage(QString::fromStdString(loaded.error), MessageIcon::Stop);
        m_dataFolderRefused = true;
        m_run->stopForExit();
        return;
    }
    if (!loaded.error.empty()) logLine(QString::fromStdString(loaded.error));
    m_session.prepareReaders();
    refillLists();
    if (loaded.killPatternError)
        showMessage(QString::fromStdString(*loaded.killPatternError), MessageIcon::Warning);
    m_serverText = m_settings.server;
    if (const ServerEntry* server = m_settings.currentServer())
        m_serverText = server->addressText();
    fillServerBox();
}

void MainWindow::restoreWindowState() {
    m_restored = loadWindowState(m_settings.profile());
    resize(m_restored.size.isEmpty() ? QSize(900, 640) : m_restored.size);
    if (m_restored.maximized) setWindowState(windowState() | Qt::WindowMaximized);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_restoredApplied) return;
    m_restoredApplied = true;
    applyLaidOutState();
}

void MainWindow::applyLaidOutState() {
    // Splitters share out the room they have: it must be there first.
    centralWidget()->layout()->activate();
    if (!m_restored.mainSplitter.isEmpty()) m_mainSplitter->setSizes(m_restored.mainSplitter);
    if (!m_restored.listsSplitter.isEmpty()) m_listsSplitter->setSizes(m_restored.listsSplitter);
    for (int c = 0; c < m_restored.groupColumns.size(); ++c)
        m_selected->setColumnWidth(c, m_restored.groupColumns[c]);
    fitGroupColumn();
}

void MainWindow::saveWindowState() {
    WindowState state;
    state.maximized = isMaximized();
    state.size = state.maximized && normalGeometry().isValid() ? normalGeometry().size() : size();
    state.mainSplitter = m_mainSplitter->sizes();
    state.listsSplitter = m_listsSplitter->sizes();
    for (int c = 0; c < m_selected->columnCount(); ++c)
        state.groupColumns << m_selected->columnWidth(c);
    (void)qm::saveWindowState(m_settings.profile(), state);  // a failure costs only the looks
}

void MainWindow::fitGroupColumn() {
    int needed = m_selected->header()->sectionSizeHint(0);
    const QFontMetrics metrics = m_selected->fontMetrics();
    for (int i = 0; i < m_selected->topLevelItemCount(); ++i)
        needed = std::max(needed, metrics.horizontalAdvance(m_selected->topLevelItem(i)->text(0)) +
                                      m_selected->iconSize().width() +
                                      3 * metrics.averageCharWidth() + m_selected->indentation());
    // "Images" keeps its width, and the paths of "Folder" keep a little room.
    const int room = m_selected->viewport()->width() - m_selected->columnWidth(1) -
                     8 * metrics.averageCharWidth();
    const int width = std::min(needed, std::max(room, m_selected->columnWidth(0)));
    if (width > m_selected->columnWidth(0)) m_selected->setColumnWidth(0, width);
}

void MainWindow::fillServerBox() {
    m_serverBox->clear();
    for (const auto& [host, entry] : m_settings.servers) {
        if (!entry) continue;
        const QString line =
            QString::fromStdString(ServerEntry::parse(entry->textForm()).addressText());
        if (m_serverBox->findText(line) < 0) m_serverBox->addItem(line);
    }
    const QString current = QString::fromStdString(m_serverText);
    const int index = m_serverBox->findText(current);
    if (index >= 0)
        m_serverBox->setCurrentIndex(index);
    else
        m_serverBox->setEditText(current);
}

void MainWindow::updateMenus() {
    for (QAction* a : {m_showAllAction, m_showSubscribedAction, m_searchAction, m_addGroupAction})
        a->setEnabled(!groupListBusy());
    m_stopAction->setEnabled(groupListBusy());
    // The NZBs' worker holds the server entry and writes in the data folder: neither may be
    // changed under it.
    for (const char* name : {"optionsAction", "newsServersAction"})
        findChild<QAction*>(QLatin1String(name))->setEnabled(!nzbBusy());
    m_showAllAction->setChecked(m_viewMode == ShowAll);
    m_showSubscribedAction->setChecked(m_viewMode == ShowSubscribed);
}

}  // namespace qm
