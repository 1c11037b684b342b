// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window "Quillmere": the server box, the available groups and the groups to
// retrieve, "Get pictures!" / "Stop pictures!", and the log. A thin caller of the core's
// Session: its run controller starts and stops the session's readers and group-list worker,
// and it carries out what the core asks of the windows (FrontendWindow).
//
// Created by main() (or a test) on the window thread with the program's session and front
// end, which outlive it; every member function runs on the window thread. A stop never waits
// in a nested event loop (RunController).
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "app/desktopnotifier.h"
#include "app/qtfrontend.h"
#include "app/runcontroller.h"
#include "app/windowstate.h"
#include "config/regexpattern.h"
#include "session/runprogress.h"

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QComboBox;
class QLabel;
class QListView;
class QPushButton;
class QSplitter;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace qm {

class ActivityIndicator;
class AppSettings;
class AvailableGroupsModel;
class GroupTable;
class Launcher;
class LogModel;
class NzbRunner;
class Session;

class MainWindow : public QMainWindow, public FrontendWindow {
    Q_OBJECT
  public:
    enum ViewMode { ShowSubscribed = 0, ShowAll = 1, ShowSearch = 2 };

    MainWindow(Session& session, QtFrontend& frontend);
    ~MainWindow() override;

    // ---- commands (menu entries and buttons)
    void getPictures();  // "Get pictures!" / "Stop pictures!"
    void subscribeSelected();
    void unsubscribeSelected();
    void selectSelected();  // "Select >>"
    void removeSelected();  // "<< Remove"
    void browseGroup();
    void exploreGroup();
    void exitProgram();  // "EXIT": shutdown, then the window closes
    void showAllGroups();
    void showSubscribedGroups();
    void searchGroups();
    void addGroup();
    void stopGroupList();
    void newsServers();
    void options();
    void about();
    void help();
    // "Monitor", "Group monitor": a window beside this one (one at a time; opened again, it
    // comes to the front on the group chosen).
    void groupMonitor();
    // The receive rate of the run now, bytes per second, as the status bar shows it (0 with
    // no run on).
    double receiveRate() const { return running() ? m_rate : 0; }
    // "View", "File management": a new modeless window each time.
    void fileManagement();
    // "Gallery": the selected group's thumbnails page, opened like "Browse".
    void openGallery();
    void manualDecode();  // "Manual decode"
    // "Open NZB…": NZB files chosen in a file dialog, fetched as openNzbFiles does.
    void openNzb();
    // Fetches the NZBs at paths (after any still being fetched) with the server in the server
    // box and "Max Threads" connections, a row each in the NZB table; false (and said) when
    // there is no server to fetch from.
    bool openNzbFiles(const QStringList& paths);
    bool nzbBusy() const;
    void tips();  // "Tips"
    // main() asks for the tip of the day once start-up is done; tests do not.
    void setTipsAtStartup(bool on) { m_tipsAtStartup = on; }

    // Runs the group search with a pattern and scope as the search dialog hands them back.
    void runSearch(const QString& pattern, bool displayedOnly);
    void addToSelected(GroupEntry& group);
    void updateGroupRow(GroupEntry& group);
    // The server box's text becomes the server in use (a new host loads its own lists).
    void commitServerBox();
    // Opens the file of a log line beginning with "Decoded file ".
    void openLogLine(const QString& line);

    // How files, folders and pages are opened (the browser or xdg-open by default, a failure
    // to start or an error exit said in the log); tests replace it.
    void setOpener(std::function<void(const QString& target, bool asPage)> opener);

    bool running() const { return m_run->state() == RunController::State::Running; }
    bool groupListBusy() const { return m_run->groupListBusy(); }
    RunController::State runState() const { return m_run->state(); }
    ViewMode viewMode() const { return m_viewMode; }
    bool startupDone() const { return m_startupDone; }
    // Another program works in the data folder: the window said so, saves nothing and is not
    // to be shown (main() ends).
    bool dataFolderRefused() const { return m_dataFolderRefused; }

    // ---- FrontendWindow
    void logLine(const QString& line) override;
    void showMessage(const QString& text, MessageIcon icon) override;
    std::optional<Credentials> promptCredentials(const QString& host,
                                                 const Credentials& prefill) override;
    void groupsOffered(const std::vector<GroupEntry*>& groups) override;
    void groupRowChanged(GroupEntry& group) override;
    void readersFinished() override;
    void groupListDone() override;
    void configurationRequested() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    // ---- construction (mainwindow.cpp)
    void buildUi();
    QWidget* buildServerRow();
    QWidget* buildGroupLists();
    QWidget* buildBottomRow();
    void buildMenus();
    void buildStatusBar();
    void connectSignals();
    void loadState();
    void fillServerBox();
    void updateMenus();
    // The size, splitters and columns of the last session (the profile's "Window" section);
    // the window's size now, the rest once it is laid out (first show).
    void restoreWindowState();
    void applyLaidOutState();
    void saveWindowState();
    // Widens "Active groups" when a group name does not fit while "Folder" has room to give.
    void fitGroupColumn();

    // ---- NZBs (mainwindownzb.cpp)
    QWidget* buildNzbTable();
    // The NZB table from the runner's rows (the timer's action while NZBs are fetched).
    void showNzbRows();
    void nzbFinished();

    // ---- runs (mainwindowrun.cpp)
    void shutdown();
    void startRun();
    void runStateChanged(RunController::State state);
    // The status bar's live totals of the run (the timer's action).
    void showTotals();
    // The run has ended: its totals in the status bar, a summary line in the log, and a
    // desktop notification when the window is not the active one.
    void runEnded();
    // A stop or the exit is under way: a prompt for a worker is answered "no".
    bool stopping() const;
    void freeSpaceTick();
    void startGroupList();
    void showTable(const GroupTable& table);
    void refillLists();
    // The subscribed and selected lists, as the user changed them.
    void saveLists();
    void openPath(const std::string& path, bool asPage);
    GroupEntry* currentSelectedGroup() const;
    std::vector<GroupEntry*> selectedAvailableGroups(std::size_t limit) const;
    QTreeWidgetItem* rowOf(const GroupEntry& group) const;

    Session& m_session;
    const AppSettings& m_settings;  // the session's, to read; changed through m_session
    QtFrontend& m_frontend;
    RunController* m_run = nullptr;
    NzbRunner* m_nzb = nullptr;
    QTreeWidget* m_nzbTable = nullptr;
    QTimer m_nzbTimer;  // the NZB table's refresh while NZBs are fetched

    QComboBox* m_serverBox = nullptr;
    QPushButton* m_getButton = nullptr;
    QTreeView* m_available = nullptr;
    AvailableGroupsModel* m_availableModel = nullptr;
    QTreeWidget* m_selected = nullptr;
    QSplitter* m_mainSplitter = nullptr;
    QSplitter* m_listsSplitter = nullptr;
    WindowState m_restored;  // until the first show lays the window out
    bool m_restoredApplied = false;
    bool m_splitterMoved = false;  // by the user, since the start
    QWidget* m_banner = nullptr;
    QListView* m_log = nullptr;
    LogModel* m_logModel = nullptr;
    ActivityIndicator* m_activity = nullptr;
    Launcher* m_launcher = nullptr;
    QLabel* m_totalsLabel = nullptr;
    QAction* m_showAllAction = nullptr;
    QAction* m_showSubscribedAction = nullptr;
    QAction* m_searchAction = nullptr;
    QAction* m_addGroupAction = nullptr;
    QAction* m_stopAction = nullptr;

    QTimer m_startupTimer;                // once, 500 ms after creation
    QTimer m_freeSpaceTimer;              // every 10 s while a run is on
    QTimer m_totalsTimer;                 // the status bar's totals, every second while a run is on
    std::optional<RunProgress> m_totals;  // of the run on, or the last one
    RunFigures m_figures;                 // its last sample
    double m_rate = 0;                    // of the status bar's last sample
    QPointer<QWidget> m_monitor;
    DesktopNotifier m_notifier;

    std::function<void(const QString&, bool)> m_opener;
    std::string m_serverText;  // the server box's text as last committed
    ViewMode m_viewMode = ShowSubscribed;
    QString m_searchPattern;
    bool m_searchDisplayedOnly = true;
    RegexPattern m_search;
    bool m_startupDone = false;
    bool m_tipsAtStartup = false;
    bool m_dataFolderRefused = false;
};

}  // namespace qm
