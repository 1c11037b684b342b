// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#include <atomic>

namespace qm {

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString AppId = QStringLiteral("com.corvane.qmere");
constexpr int ServerDefaultTimeout = -1;

QString uniqueConnectionName() {
    static std::atomic<int> next{0};
    return QStringLiteral("qmere-notifications-%1").arg(next++);
}

}  // namespace

DesktopNotifier::DesktopNotifier() : m_connectionName(uniqueConnectionName()) {}

DesktopNotifier::~DesktopNotifier() {
    if (m_tried) QDBusConnection::disconnectFromBus(m_connectionName);
}

bool DesktopNotifier::connectOnce() {
    if (m_tried) return m_connected;
    m_tried = true;
    // The address as it is now: the bus library reads the variable only once per process.
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    const QDBusConnection bus =
        address.isEmpty()
            ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName)
            : QDBusConnection::connectToBus(address, m_connectionName);
    m_connected = bus.isConnected();
    return m_connected;
}

bool DesktopNotifier::notify(const QString& summary, const QString& body) {
    if (!connectOnce()) return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), AppId}};
    call << QStringLiteral("Quillmere") << 0u << AppId << summary << body << QStringList() << hints
         << ServerDefaultTimeout;
    // Sent without waiting: an answer, or an error for a service that is not there, is dropped.
    call.setAutoStartService(false);
    return QDBusConnection(m_connectionName).send(call);
}

}  // namespace qm
