// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/serversdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <memory>
#include <vector>

#include "config/appsettings.h"
#include "dialogs/fieldvalidation.h"
#include "nntp/serverprobe.h"
#include "platform/socket.h"
#include "session/session.h"

namespace qm {

namespace {

constexpr int MaxHost = 256;

// What a line of the list shows: the address, TLS, the user; never the password, which the
// stored form holds in clear.
QString listText(const ServerEntry& entry) {
    QString text = QString::fromStdString(entry.addressText());
    if (entry.secure()) text += QStringLiteral("  TLS");
    if (entry.role == ServerRole::Fill) text += QStringLiteral("  fill, level %1").arg(entry.level);
    if (entry.connections > 0) text += QStringLiteral("  %1 connections").arg(entry.connections);
    const std::string user = entry.credentials().user;
    if (!user.empty() && user != ServerEntry::NoValue)
        text += QStringLiteral("  user ") + QString::fromStdString(user);
    return text;
}

}  // namespace

ServersDialog::ServersDialog(Session& session, QWidget* parent)
    : QDialog(parent),
      m_session(session),
      m_host(new QLineEdit(this)),
      m_port(new QLineEdit(this)),
      m_secure(new QCheckBox(QStringLiteral("Secure connection (TLS)"), this)),
      m_fingerprint(new QLineEdit(this)),
      m_role(new QComboBox(this)),
      m_level(new QSpinBox(this)),
      m_connections(new QSpinBox(this)),
      m_list(new QListWidget(this)),
      m_remove(new QPushButton(QStringLiteral("Remove"), this)) {
    setObjectName(QStringLiteral("serversDialog"));
    setWindowTitle(QStringLiteral("NNTP Servers"));
    auto* grid = new QGridLayout(this);
    m_host->setObjectName(QStringLiteral("hostEdit"));
    m_port->setObjectName(QStringLiteral("portEdit"));
    m_port->setMaximumWidth(80);
    m_secure->setObjectName(QStringLiteral("secureCheck"));
    m_fingerprint->setObjectName(QStringLiteral("fingerprintEdit"));
    m_fingerprint->setPlaceholderText(QStringLiteral("SHA-256 fingerprint, as a refusal shows it"));
    m_role->setObjectName(QStringLiteral("roleBox"));
    m_role->addItem(QStringLiteral("Off"));
    m_role->addItem(QStringLiteral("Fill"));
    m_role->setToolTip(
        QStringLiteral("Fill: asked for the articles the main server lacks. The main server is "
                       "the one chosen in the main window."));
    m_level->setObjectName(QStringLiteral("levelSpin"));
    m_level->setRange(1, ServerEntry::MaxLevel);
    m_level->setToolTip(QStringLiteral("Fill servers of lower levels are asked first"));
    m_connections->setObjectName(QStringLiteral("connectionsSpin"));
    m_connections->setRange(0, ServerEntry::MaxConnections);
    m_connections->setSpecialValueText(QStringLiteral("Max Threads"));
    m_test = new QPushButton(QStringLiteral("Test"), this);
    QPushButton* test = m_test;
    test->setObjectName(QStringLiteral("testButton"));
    test->setToolTip(QStringLiteral("Connect, log in and show what the server says"));
    m_list->setObjectName(QStringLiteral("serverList"));
    m_list->setSortingEnabled(true);
    m_list->installEventFilter(this);
    auto* add = new QPushButton(QStringLiteral("Add"), this);
    add->setObjectName(QStringLiteral("addButton"));
    m_remove->setObjectName(QStringLiteral("removeButton"));
    m_remove->setToolTip(QStringLiteral("Remove the selected server (Delete)"));
    m_remove->setEnabled(false);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("serversButtons"));

    grid->addWidget(new QLabel(QStringLiteral("Host"), this), 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("Port"), this), 0, 1);
    grid->addWidget(m_host, 1, 0);
    grid->addWidget(m_port, 1, 1);
    grid->addWidget(add, 1, 2);
    grid->addWidget(m_secure, 2, 0, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Trusted certificate (SHA-256)"), this), 3, 0);
    grid->addWidget(m_fingerprint, 4, 0, 1, 3);
    auto* use = new QHBoxLayout;
    use->addWidget(new QLabel(QStringLiteral("Role"), this));
    use->addWidget(m_role);
    use->addWidget(new QLabel(QStringLiteral("Level"), this));
    use->addWidget(m_level);
    use->addWidget(new QLabel(QStringLiteral("Connections"), this));
    use->addWidget(m_connections);
    use->addStretch();
    grid->addLayout(use, 5, 0, 1, 2);
    grid->addWidget(test, 5, 2);
    grid->addWidget(new QLabel(QStringLiteral("NNTP Servers"), this), 6, 0);
    grid->addWidget(m_list, 7, 0, 1, 2);
    grid->addWidget(m_remove, 7, 2, Qt::AlignTop);
    grid->addWidget(buttons, 8, 0, 1, 3);
    grid->setColumnStretch(0, 1);
    resize(460, 380);

    connect(add, &QPushButton::clicked, this, &ServersDialog::addServer);
    connect(test, &QPushButton::clicked, this, &ServersDialog::testServer);
    // The box follows the port (563 is the news port for TLS); the user may change it after.
    connect(m_port, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_secure->setChecked(text.trimmed() == QStringLiteral("563"));
    });
    connect(m_remove, &QPushButton::clicked, this, &ServersDialog::deleteCurrent);
    connect(m_list, &QListWidget::currentItemChanged, this,
            [this](QListWidgetItem* current) { m_remove->setEnabled(current != nullptr); });
    connect(m_list, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { showEntry(item->data(Qt::UserRole).toString()); });
    connect(buttons, &QDialogButtonBox::accepted, this, &ServersDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ServersDialog::reject);
    fill();
}

void ServersDialog::fill() {
    // Only the entries themselves: a line of its own for the host in use, or for a text
    // that another merely begins with, would be a server that is not there.
    const AppSettings& settings = m_session.settings();
    if (const ServerEntry* current = settings.currentServer()) showServer(*current);
    for (const auto& [key, entry] : settings.servers) {
        if (!entry) continue;
        m_servers.emplace(key, std::make_unique<ServerEntry>(*entry));
        showLine(key, *entry);
    }
    (void)m_session.saveServerList();  // the state Cancel leaves
}

QListWidgetItem* ServersDialog::lineOf(const std::string& key) const {
    const QString wanted = QString::fromStdString(key);
    for (int i = 0; i < m_list->count(); ++i)
        if (m_list->item(i)->data(Qt::UserRole).toString() == wanted) return m_list->item(i);
    return nullptr;
}

void ServersDialog::showLine(const std::string& key, const ServerEntry& entry) {
    const QString text = listText(entry);
    if (QListWidgetItem* line = lineOf(key)) {
        line->setText(text);
        m_list->sortItems();
        return;
    }
    auto* line = new QListWidgetItem(text);
    line->setData(Qt::UserRole, QString::fromStdString(key));
    m_list->addItem(line);
}

void ServersDialog::addServer() {
    const std::string host = m_host->text().trimmed().toStdString();
    if (host.empty()) return;
    if (!checkLength(this, m_host, MaxHost)) return;
    int port = ServerEntry::DefaultPort;
    if (!m_port->text().trimmed().isEmpty() && !readInteger(this, m_port, port, 1, 65535)) return;
    // Another port of a listed host is an entry of its own (a server may offer 119 and 563).
    const std::string key = addServerPort(m_servers, host, port);
    ServerEntry& entry = *m_servers[key];
    entry.setSecure(m_secure->isChecked());
    entry.fingerprint = normalizedFingerprint(m_fingerprint->text().trimmed().toStdString());
    entry.role = m_role->currentIndex() == 1 ? ServerRole::Fill : ServerRole::Off;
    entry.level = m_level->value();
    entry.connections = m_connections->value();
    showLine(key, entry);
}

void ServersDialog::deleteCurrent() {
    QListWidgetItem* item = m_list->currentItem();
    if (!item) return;
    m_servers.erase(item->data(Qt::UserRole).toString().toStdString());
    delete m_list->takeItem(m_list->row(item));
}

void ServersDialog::showEntry(const QString& key) {
    const auto found = m_servers.find(key.toStdString());
    if (found != m_servers.end() && found->second) showServer(*found->second);
}

void ServersDialog::showServer(const ServerEntry& entry) {
    m_host->setText(QString::fromStdString(entry.host));
    m_port->setText(QString::number(entry.port));
    m_secure->setChecked(entry.secure());  // after the port, which sets the default
    m_fingerprint->setText(QString::fromStdString(entry.fingerprint));
    m_role->setCurrentIndex(entry.role == ServerRole::Fill ? 1 : 0);
    m_level->setValue(entry.level);
    m_connections->setValue(entry.connections);
}

void ServersDialog::testServer() {
    if (m_probe) return;
    const std::string host = m_host->text().trimmed().toStdString();
    if (host.empty()) return;
    int port = ServerEntry::DefaultPort;
    if (!m_port->text().trimmed().isEmpty() && !readInteger(this, m_port, port, 1, 65535)) return;
    // The listed entry of that host and port brings its login; the edits say the rest.
    ServerEntry entry;
    const std::string key = serverKeyOf(m_servers, host + " " + std::to_string(port));
    if (const auto found = m_servers.find(key);
        found != m_servers.end() && found->second && found->second->port == port)
        entry = *found->second;
    entry.host = host;
    entry.port = port;
    entry.setSecure(m_secure->isChecked());
    entry.fingerprint = normalizedFingerprint(m_fingerprint->text().trimmed().toStdString());
    const QString title =
        QStringLiteral("Test %1").arg(QString::fromStdString(entry.addressText()));
    // A server that does not answer takes up to the time-out of each step: the window must
    // not freeze for it.
    auto probe = std::make_shared<ServerProbe>();
    Session& session = m_session;
    m_probe.reset(
        QThread::create([&session, entry, probe] { *probe = session.probeServer(entry); }));
    connect(m_probe.get(), &QThread::finished, this, [this, title, probe] {
        QThread* done = m_probe.release();
        done->wait();
        done->deleteLater();  // not here: this call came from its signal
        m_test->setEnabled(true);
        unsetCursor();
        showProbe(title, *probe);
    });
    m_test->setEnabled(false);
    setCursor(Qt::BusyCursor);
    m_probe->start();
}

void ServersDialog::showProbe(const QString& title, const ServerProbe& probe) {
    m_testResult = QString::fromStdString(describeProbe(probe));
    QMessageBox box(probe.connected ? QMessageBox::Information : QMessageBox::Warning, title,
                    m_testResult, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("testResultBox"));
    box.exec();
}

ServersDialog::~ServersDialog() {
    if (m_probe) m_probe->wait();
}

bool ServersDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_list && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        deleteCurrent();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void ServersDialog::accept() {
    // A file that cannot be written is said; the dialog closes as usual, the map keeps it.
    (void)m_session.replaceServers(m_servers);
    QDialog::accept();
}

}  // namespace qm
