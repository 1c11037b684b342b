// SPDX-License-Identifier: GPL-3.0-or-later
// qm-fake-notifications FILE: a stand-in for the desktop's notification service, for tests.
// Owns org.freedesktop.Notifications on the session bus (DBUS_SESSION_BUS_ADDRESS), appends
// one line per Notify call to FILE (application name, summary and body, tab-separated), and
// prints "ready" once the name is its own. Ends on SIGTERM.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QFile>
#include <QObject>
#include <QVariantMap>
#include <cstdio>

namespace {

class Notifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    explicit Notifications(QString file) : m_file(std::move(file)) {}

  public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int) {
        QFile out(m_file);
        if (out.open(QIODevice::Append))
            out.write((app + '\t' + summary + '\t' + body + '\n').toUtf8());
        return ++m_id;
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    void CloseNotification(uint) {}

  private:
    QString m_file;
    uint m_id = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: qm-fake-notifications FILE\n", stderr);
        return 2;
    }
    Notifications service(QString::fromLocal8Bit(argv[1]));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                            QDBusConnection::ExportAllSlots) ||
        !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fprintf(stderr, "qm-fake-notifications: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include "main.moc"
