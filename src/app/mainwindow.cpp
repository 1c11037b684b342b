// The main window's construction: controls, menus, signals and the state loaded at start.
#include "app/mainwindow.h"

#include "app/logmodel.h"
#include "session/session.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "advert/bannerarea.h"
#include "app/activityindicator.h"
#include "app/availablegroupsmodel.h"
#include "app/logmodel.h"
#include "config/appsettings.h"
#include "dialogs/embossedbutton.h"
#include "dialogs/groupicons.h"
#include "dialogs/tipdialog.h"
#include "nntp/groupfetchthread.h"
#include "nntp/readerpool.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

namespace {

constexpr int StartupDelayMs = 500;
constexpr int FreeSpaceIntervalMs = 10000;

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
      m_run(new RunController(session, this)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Quillmere"));
    setWindowIcon(programIcon());
    buildUi();
    buildMenus();
    connectSignals();
    m_frontend.setWindow(this);
    loadState();
    m_startupTimer.setSingleShot(true);
    m_startupTimer.start(StartupDelayMs);
    resize(900, 640);
}

MainWindow::~MainWindow() {
    m_frontend.setWindow(nullptr);
    if (m_run->state() != RunController::State::Exited) exitProgram();
}

void MainWindow::buildUi() {
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralWidget"));
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(new BannerArea(central));
    layout->addWidget(buildServerRow());
    auto* split = new QSplitter(Qt::Vertical, central);
    split->setObjectName(QStringLiteral("mainSplitter"));
    split->addWidget(buildGroupLists());
    m_logModel = new LogModel(this);
    m_log = new QListView(split);
    m_log->setObjectName(QStringLiteral("logList"));
    m_log->setToolTip(QStringLiteral("Messages"));
    m_log->setUniformItemSizes(true);
    m_log->setModel(m_logModel);
    split->addWidget(m_log);
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
    auto* lists = new QWidget(this);
    auto* layout = new QHBoxLayout(lists);
    layout->setContentsMargins(0, 0, 0, 0);

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

    auto* middle = new QVBoxLayout;
    middle->addStretch();
    for (auto [name, text] : {std::pair{"subscribeButton", "Subscribe"},
                              {"unsubscribeButton", "Unsubscribe"},
                              {"selectButton", "Select >>"},
                              {"removeButton", "<< Remove"}})
        middle->addWidget(button(lists, name, QString::fromLatin1(text)));
    middle->addStretch();

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

    layout->addWidget(m_available, 2);
    layout->addLayout(middle);
    layout->addWidget(m_selected, 3);
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
    layout->addStretch();
    auto* exit = new EmbossedButton(QStringLiteral("EXIT"), row);
    exit->setObjectName(QStringLiteral("exitButton"));
    exit->setMinimumSize(120, 40);
    exit->setToolTip(QStringLiteral("Click here to exit Quillmere (tm)"));
    layout->addWidget(exit);
    return row;
}

void MainWindow::buildMenus() {
    auto add = [this](QMenu* menu, const char* name, const QString& text, auto slot) {
        QAction* action = menu->addAction(text, this, slot);
        action->setObjectName(QLatin1String(name));
        return action;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    add(file, "manualDecodeAction", QStringLiteral("Manual decode"), &MainWindow::manualDecode);
    add(file, "exitAction", QStringLiteral("Exit"), &MainWindow::exitProgram);

    QMenu* groups = menuBar()->addMenu(QStringLiteral("News groups"));
    groups->setObjectName(QStringLiteral("newsGroupsMenu"));
    m_showAllAction =
        add(groups, "showAllAction", QStringLiteral("Show all groups"), &MainWindow::showAllGroups);
    m_showSubscribedAction =
        add(groups, "showSubscribedAction", QStringLiteral("Show subscribed groups"),
            &MainWindow::showSubscribedGroups);
    m_searchAction =
        add(groups, "searchAction", QStringLiteral("Search groups"), &MainWindow::searchGroups);
    m_addGroupAction =
        add(groups, "addGroupAction", QStringLiteral("Add group"), &MainWindow::addGroup);
    m_stopAction = add(groups, "stopAction", QStringLiteral("Stop"), &MainWindow::stopGroupList);
    m_showAllAction->setCheckable(true);
    m_showSubscribedAction->setCheckable(true);

    QMenu* config = menuBar()->addMenu(QStringLiteral("Config"));
    config->setObjectName(QStringLiteral("configMenu"));
    add(config, "newsServersAction", QStringLiteral("News servers"), &MainWindow::newsServers);
    add(config, "optionsAction", QStringLiteral("Options"), &MainWindow::options);

    QMenu* admin = menuBar()->addMenu(QStringLiteral("Admin"));
    admin->setObjectName(QStringLiteral("adminMenu"));
    add(admin, "fileManagementAction", QStringLiteral("File management"),
        &MainWindow::fileManagement);
    add(admin, "groupMonitorAction", QStringLiteral("Group monitor"), &MainWindow::groupMonitor);

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    add(help, "aboutAction", QStringLiteral("About"), &MainWindow::about);
    add(help, "helpAction", QStringLiteral("Help"), &MainWindow::help);
    add(help, "tipsAction", QStringLiteral("Tips"), &MainWindow::tips);
    updateMenus();
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
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
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
    (void)m_session.readerPool();
    refillLists();
    if (loaded.killPatternError)
        showMessage(QString::fromStdString(*loaded.killPatternError), MessageIcon::Warning);
    m_serverText = m_settings.server;
    if (ServerEntry* server = m_settings.currentServer())
        m_serverText = server->port == ServerEntry::DefaultPort
                           ? server->host
                           : server->host + " " + std::to_string(server->port);
    fillServerBox();
}

void MainWindow::fillServerBox() {
    m_serverBox->clear();
    for (const auto& [host, entry] : m_settings.servers) {
        if (!entry) continue;
        const ServerEntry plain = ServerEntry::parse(entry->textForm());
        const QString line = QString::fromStdString(
            plain.port == ServerEntry::DefaultPort ? plain.host
                                                   : plain.host + " " + std::to_string(plain.port));
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
    m_showAllAction->setChecked(m_viewMode == ShowAll);
    m_showSubscribedAction->setChecked(m_viewMode == ShowSubscribed);
}

}  // namespace qm
