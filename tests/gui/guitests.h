// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The GUI test classes, by name, and the helpers they share: a throw-away profile and data
// folder, a spool of sample posts, the fixture server, and the message-box catcher.
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QDialog;

namespace qm::test {

using TestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<std::pair<const char*, TestFactory>>& guiTestClasses();

// Registers a test class at start-up.
struct RegisterGuiTest {
    RegisterGuiTest(const char* name, TestFactory make);
};

// XDG_CONFIG_HOME and XDG_DATA_HOME pointed at a fresh temporary folder for its lifetime.
class ThrowAwayHome {
  public:
    ThrowAwayHome();
    ~ThrowAwayHome();
    QString path() const { return m_dir.path(); }

  private:
    QTemporaryDir m_dir;
    QByteArray m_oldConfig, m_oldData;
};

// Writes a spool: groups "alt.pictures.demo" (uuencoded, some split in two parts),
// "alt.binaries.pictures.test" (MIME base64) and "comp.misc.talk" (text), plus
// groupCount - 3 further empty groups for long lists. Each picture is a small PNG.
void writeSampleSpool(const std::string& spool, int picturesPerGroup, int groupCount = 3);

// Watches for modal message boxes and dialogs: every QMessageBox that opens is recorded and
// closed; other dialogs are handed to the handler (which must close them).
class ModalCatcher : public QObject {
    Q_OBJECT
  public:
    ModalCatcher();
    QStringList texts() const { return m_texts; }
    void clear() { m_texts.clear(); }
    // Runs for every other modal dialog that opens; default: reject it.
    std::function<void(QDialog&)> onDialog;
    // Runs on the window thread while a message box is up, before it is closed.
    std::function<void(const QString& text)> onBox;
    int dialogsSeen() const { return m_dialogs; }

  private:
    void poll();
    QStringList m_texts;
    int m_dialogs = 0;
};

// Spins the event loop until done() or the timeout; true when done.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace qm::test
