// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications) on the session bus. Best effort: with no bus, or no such
// service on it, nothing happens and nothing is said; a notification never waits for an
// answer.
//
// Owned by the main window; window thread only. It has a bus connection of its own, opened
// at the first notification from DBUS_SESSION_BUS_ADDRESS as it is then (or the bus's usual
// place without it), and closed with the notifier.
#include <QString>

namespace qm {

class DesktopNotifier {
  public:
    DesktopNotifier();
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // False when the bus could not be reached (the notification is dropped).
    bool notify(const QString& summary, const QString& body);

  private:
    bool connectOnce();

    const QString m_connectionName;
    bool m_tried = false;
    bool m_connected = false;
};

}  // namespace qm
