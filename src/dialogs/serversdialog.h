// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// "NNTP Servers": the list of configured servers, edited on a copy of the settings' server
// map that OK hands back to the session (which saves "server.lst"); "server.lst" is saved when
// the dialog opens too, and Cancel drops the copy. The list shows exactly the entries that OK
// saves, one line per host and port: address, TLS and user, never the password.
// Created, run and destroyed by the main window on the window thread, between runs.
#include <QDialog>
#include <QThread>
#include <map>
#include <memory>
#include <string>

#include "config/appsettings.h"
#include "config/serverentry.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace qm {

class Session;
struct ServerProbe;

class ServersDialog : public QDialog {
    Q_OBJECT
  public:
    ServersDialog(Session& session, QWidget* parent = nullptr);
    // Waits for a test still running (at most its time-out).
    ~ServersDialog() override;

    // The "Add" button: adds the host and port of the edits; an entry of that host and port
    // listed already takes the TLS settings and keeps its login; another port of a listed
    // host is added beside it.
    void addServer();
    // The "Remove" button, and the Delete key on the list: removes the entry under the caret.
    void deleteCurrent();
    // A double-click on an entry (its key in the server map): shows its host and port.
    void showEntry(const QString& key);
    // Shows an entry's host, port, TLS settings, role, level and connections in the edits.
    void showServer(const ServerEntry& entry);
    // The "Test" button: connects to the server of the edits (with the login its entry
    // stores) on a thread of its own, the window going on meanwhile, and then shows the
    // greeting, the capabilities and how the login went. One test at a time.
    void testServer();
    bool testRunning() const { return m_probe != nullptr; }
    // The text the last test showed.
    const QString& testResult() const { return m_testResult; }

  private:
    void fill();
    // Shows the line of the entry under key, replacing the one shown when there is one.
    void showLine(const std::string& key, const ServerEntry& entry);
    // The line of key, or null.
    QListWidgetItem* lineOf(const std::string& key) const;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void accept() override;
    void showProbe(const QString& title, const ServerProbe& probe);

    Session& m_session;
    ServerMap m_servers;  // the copy being edited
    QLineEdit* m_host;
    QLineEdit* m_port;
    QCheckBox* m_secure;       // implicit TLS for the server being added
    QLineEdit* m_fingerprint;  // a certificate trusted for that server only
    QComboBox* m_role;         // off or fill (the main server is the "Server" setting)
    QSpinBox* m_level;
    QSpinBox* m_connections;  // 0: as many as "Max Threads"
    QString m_testResult;
    QPushButton* m_test;
    std::unique_ptr<QThread> m_probe;  // the test running, if any
    QListWidget* m_list;
    QPushButton* m_remove;
};

}  // namespace qm
