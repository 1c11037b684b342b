// SPDX-License-Identifier: GPL-3.0-or-later
// The server box, the "NNTP Servers" dialog and the login prompt: what they show is what is
// stored, and the server in use comes back, port and all, at the next start.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeView>

#include "dialogs/authdialog.h"
#include "dialogs/serversdialog.h"
#include "guiprogram.h"
#include "model/locks.h"
#include "platform/file.h"

namespace qm::test {

class ServersTest : public QObject {
    Q_OBJECT
  private:
    static QStringList lines(const QListWidget& list) {
        QStringList out;
        for (int i = 0; i < list.count(); ++i) out << list.item(i)->text();
        return out;
    }
    static QString serverList(GuiProgram& p) {
        const auto content = readWholeFile(joinPath(p.settings.dataDirectory, "server.lst"));
        return QString::fromStdString(content.value_or("<missing>"));
    }

  private slots:
    void init() { ProgramExiting.store(false); }

    // "Test" runs beside the window: while a distant server is still to greet, the dialog
    // answers and the button waits; then the result names the greeting and the capabilities.
    void aTestLeavesTheWindowFreeAndShowsWhatTheServerSaid() {
        ModalCatcher catcher;
        newsd::NewsServerOptions options;
        options.latencyMs = 300;
        GuiProgram p(options);
        ServersDialog dialog(p.session);
        dialog.show();
        dialog.findChild<QLineEdit*>("hostEdit")->setText("127.0.0.1");
        dialog.findChild<QLineEdit*>("portEdit")->setText(QString::number(p.server->port()));
        auto* test = dialog.findChild<QPushButton*>("testButton");
        QTest::mouseClick(test, Qt::LeftButton);
        QVERIFY(dialog.testRunning());
        QVERIFY(!test->isEnabled());
        QVERIFY(dialog.testResult().isEmpty());
        QVERIFY(waitUntil([&] { return !dialog.testResult().isEmpty(); }, 20000));
        QVERIFY2(dialog.testResult().startsWith("Greeting: 200"), qPrintable(dialog.testResult()));
        QVERIFY(dialog.testResult().contains("READER"));
        QVERIFY(waitUntil([&] { return test->isEnabled() && !catcher.texts().isEmpty(); }, 5000));
        QCOMPARE(catcher.texts().front(), dialog.testResult());
    }

    // A fill server's role, level and connections go into its line and its stored entry, and
    // come back into the controls when its line is chosen.
    void aFillServerIsAddedWithItsLevelAndConnections() {
        ModalCatcher catcher;
        GuiProgram p;
        p.chooseServer();
        p.window->commitServerBox();
        ServersDialog dialog(p.session);
        dialog.show();
        auto* role = dialog.findChild<QComboBox*>("roleBox");
        auto* level = dialog.findChild<QSpinBox*>("levelSpin");
        auto* connections = dialog.findChild<QSpinBox*>("connectionsSpin");
        QVERIFY(role && level && connections && dialog.findChild<QPushButton*>("testButton"));
        dialog.findChild<QLineEdit*>("hostEdit")->setText("fill.example");
        dialog.findChild<QLineEdit*>("portEdit")->setText("119");
        role->setCurrentIndex(1);
        level->setValue(2);
        connections->setValue(4);
        dialog.addServer();
        auto* list = dialog.findChild<QListWidget*>("serverList");
        QVERIFY(!list->findItems("fill.example  fill, level 2  4 connections", Qt::MatchExactly)
                     .isEmpty());
        QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
        QVERIFY(serverList(p).contains(
            "fill.example 119\t0\t-\t-\tplain\t-\trole=fill\tlevel=2\tconnections=4"));
        // Chosen again, the line shows its settings in the controls.
        ServersDialog again(p.session);
        again.showEntry(QStringLiteral("fill.example"));
        QCOMPARE(again.findChild<QComboBox*>("roleBox")->currentIndex(), 1);
        QCOMPARE(again.findChild<QSpinBox*>("levelSpin")->value(), 2);
        QCOMPARE(again.findChild<QSpinBox*>("connectionsSpin")->value(), 4);
    }

    void theServersDialogListsExactlyTheEntriesItSaves() {
        ModalCatcher catcher;
        GuiProgram p;
        p.chooseServer();
        p.window->commitServerBox();
        ServersDialog dialog(p.session);
        dialog.show();
        auto* host = dialog.findChild<QLineEdit*>("hostEdit");
        auto* port = dialog.findChild<QLineEdit*>("portEdit");
        auto* list = dialog.findChild<QListWidget*>("serverList");
        // One entry, one line: not also the bare host of the server in use.
        QCOMPARE(lines(*list), QStringList{p.serverLine()});

        // The same host with another port is a second entry (a server may offer 119 and
        // 563); the line of a login shows the user, never the password.
        dialog.close();  // Cancel: back to the entries as they were
        p.settings.currentServer()->setCredentials({"joe", "s3cret"});
        ServersDialog again(p.session);
        again.show();
        host = again.findChild<QLineEdit*>("hostEdit");
        port = again.findChild<QLineEdit*>("portEdit");
        list = again.findChild<QListWidget*>("serverList");
        host->setText("127.0.0.1");
        port->setText("563");
        again.addServer();
        QStringList shown = lines(*list);
        shown.sort();
        QStringList expected{"127.0.0.1 563  TLS", p.serverLine() + "  user joe"};
        expected.sort();
        QCOMPARE(shown, expected);
        // A host that another's name merely begins with is a server of its own.
        host->setText("127.0.0");
        port->clear();
        again.addServer();
        QCOMPARE(lines(*list).size(), 3);

        // Removing has a button of its own, for the line chosen.
        auto* remove = again.findChild<QPushButton*>("removeButton");
        QVERIFY(remove && remove->isVisible());
        list->setCurrentItem(list->findItems("127.0.0", Qt::MatchExactly).value(0));
        QVERIFY(remove->isEnabled());
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(lines(*list).size(), 2);
        QMetaObject::invokeMethod(&again, "accept", Qt::DirectConnection);
        // The host's own line last: a version that keeps one line per host (the last) still
        // reads the server in use, port and login.
        const QStringList stored = serverList(p).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(stored.size(), 2);
        QCOMPARE(stored[0], QStringLiteral("127.0.0.1 563"));
        QVERIFY(stored[1].startsWith(p.serverLine() + "\t1\tjoe\ts3cret"));
        // Read back, both ports are there, and the one in use is still the one in use.
        QCOMPARE(p.settings.loadServers(), 0);
        QCOMPARE(p.settings.currentServer()->port, p.server->port());
        QCOMPARE(p.settings.servers.at(AppSettings::portKey("127.0.0.1", 563))->port, 563);
        // Chosen in the server box, the other port is that entry, not the first one changed.
        p.window->findChild<QComboBox*>("serverBox")->setEditText("127.0.0.1 563");
        p.window->commitServerBox();
        QCOMPARE(p.settings.currentServer()->port, 563);
        QCOMPARE(p.settings.servers.at("127.0.0.1")->port, p.server->port());
        QVERIFY(catcher.texts().isEmpty());
        p.window->exitProgram();
    }

    void theLoginPromptShowsEmptyFieldsWhereNothingIsStored() {
        AuthDialog empty(QStringLiteral("127.0.0.1"), {"-", "-"});
        auto* user = empty.findChild<QLineEdit*>("userEdit");
        auto* password = empty.findChild<QLineEdit*>("passwordEdit");
        QCOMPARE(user->text(), QString());
        QCOMPARE(password->text(), QString());
        QTest::keyClicks(user, "joe");
        // An empty field goes back in its stored form, which "server.lst" can hold.
        QCOMPARE(QString::fromStdString(empty.credentials().user), QStringLiteral("joe"));
        QCOMPARE(QString::fromStdString(empty.credentials().password), QStringLiteral("-"));

        AuthDialog known(QStringLiteral("127.0.0.1"), {"joe", "secret"});
        QCOMPARE(known.findChild<QLineEdit*>("userEdit")->text(), QStringLiteral("joe"));
        QCOMPARE(known.findChild<QLineEdit*>("passwordEdit")->text(), QStringLiteral("secret"));
    }

    void theServerBoxTakesHostColonPortAndSaysSo() {
        ModalCatcher catcher;
        GuiProgram p;
        auto* box = p.window->findChild<QComboBox*>("serverBox");
        QVERIFY(box->lineEdit()->placeholderText().contains("host:port"));
        QVERIFY(box->toolTip().contains("colon"));
        box->setEditText(QStringLiteral("127.0.0.1:%1").arg(p.server->port()));
        p.window->showAllGroups();
        QVERIFY(waitUntil([&] { return !p.window->groupListBusy(); }, 20000));
        QAbstractItemModel* available = p.window->findChild<QTreeView*>("availableList")->model();
        QVERIFY(waitUntil([&] { return available->rowCount() == 3; }, 5000));
        QCOMPARE(QString::fromStdString(p.settings.server), QStringLiteral("127.0.0.1"));
        QCOMPARE(p.settings.currentServer()->port, p.server->port());
        QVERIFY(catcher.texts().isEmpty());
        p.window->exitProgram();
    }

    void theServerInUseComesBackWithItsPortAfterARestart() {
        ModalCatcher catcher;
        GuiProgram p;
        p.chooseServer();
        p.window->commitServerBox();
        p.window->exitProgram();

        // The next start, on the same profile and data.
        ProgramExiting.store(false);
        QtFrontend frontend;
        Session session(frontend, p.profile);
        MainWindow again(session, frontend);
        QCOMPARE(again.findChild<QComboBox*>("serverBox")->currentText(), p.serverLine());
        QCOMPARE(session.settings().currentServer()->port, p.server->port());
        again.exitProgram();
        QVERIFY(catcher.texts().isEmpty());
    }
};

static RegisterGuiTest registerServers("ServersTest",
                                       [] { return std::make_unique<ServersTest>(); });

}  // namespace qm::test

#include "servers_test.moc"
