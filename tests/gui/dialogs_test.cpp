// SPDX-License-Identifier: GPL-3.0-or-later
// The configuration and small dialogs: validation, the server list's rules, Cancel.
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <functional>

#include "dialogs/configdialog.h"
#include "dialogs/directoryselection.h"
#include "dialogs/searchdialog.h"
#include "dialogs/serversdialog.h"
#include "guiprogram.h"
#include "platform/file.h"
#include "platform/socket.h"

namespace qm::test {

class DialogsTest : public QObject {
    Q_OBJECT
  private slots:
    void aSearchPatternThatCannotBeUsedKeepsTheDialogAndItsText() {
        ModalCatcher catcher;
        SearchDialog dialog(QStringLiteral("pictures"), true);
        dialog.show();
        auto* pattern = dialog.findChild<QLineEdit*>("patternEdit");
        pattern->setText("alt.(pictures");
        QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
        QCOMPARE(catcher.texts().size(), 1);
        QVERIFY2(catcher.texts()[0].startsWith("The search pattern cannot be used."),
                 qPrintable(catcher.texts()[0]));
        QVERIFY(dialog.isVisible() && dialog.result() != QDialog::Accepted);
        QCOMPARE(pattern->text(), QStringLiteral("alt.(pictures"));
        pattern->setText("alt.(pictures)");
        QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.pattern(), QStringLiteral("alt.(pictures)"));
    }

    void theHelpPageNamesEveryButtonOfTheMainWindow() {
        // What the user sees is what the page explains: a button added without a word in the
        // help shows up here.
        GuiProgram p;
        const QString page = QString::fromStdString(
            readWholeFile(
                joinPath(qEnvironmentVariable("QMERE_RESOURCES").toStdString(), "tarnwell.htm"))
                .value_or(""));
        QVERIFY(!page.isEmpty());
        QStringList missing;
        for (const QPushButton* button : p.window->findChildren<QPushButton*>()) {
            const QString text = button->text().toHtmlEscaped();
            if (!text.isEmpty() && !page.contains(text)) missing << button->text();
        }
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
        p.window->exitProgram();
    }

    void readerThreadsOutsideOneToTwentyFourAreRefused() {
        ModalCatcher catcher;
        for (int threads : {25, 0}) {
            catcher.clear();
            ConfigDialog dialog(ConfigValues{}, {});
            dialog.findChild<QSpinBox*>("readerThreadsSpin")->setValue(threads);
            dialog.show();
            QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
            QCOMPARE(catcher.texts(), QStringList{"Please enter an integer between 1 and 24."});
            QVERIFY(dialog.result() != QDialog::Accepted);
        }
        catcher.clear();
        ConfigDialog dialog(ConfigValues{}, {});
        dialog.findChild<QLineEdit*>("lineLimitEdit")->setText("many");
        QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
        QCOMPARE(catcher.texts(), QStringList{"Please enter an integer."});
    }

    void skipDuplicatePicturesComesAndGoesWithTheSettings() {
        for (int skip : {1, 0}) {
            ConfigValues values;
            values.skipDuplicatePictures = skip;
            ConfigDialog dialog(values, {});
            auto* box = dialog.findChild<QCheckBox*>("skipDuplicatePicturesCheck");
            QCOMPARE(box->text(), QStringLiteral("Skip duplicate pictures"));
            QCOMPARE(box->isChecked(), skip == 1);
            box->setChecked(skip == 0);
            QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
            QCOMPARE(dialog.values().skipDuplicatePictures, skip == 0 ? 1 : 0);
        }
    }

    void firstVisitAndCompressionAreEditedWithTheRangesOfTheTable() {
        ConfigValues values;
        values.firstVisit = 250;
        ConfigDialog dialog(values, {});
        auto* newest = dialog.findChild<QSpinBox*>("firstVisitSpin");
        auto* days = dialog.findChild<QSpinBox*>("firstVisitDaysSpin");
        QCOMPARE(newest->value(), 250);
        QCOMPARE(days->maximum(), 36500);
        newest->setValue(0);
        days->setValue(7);
        dialog.findChild<QCheckBox*>("compressCheck")->setChecked(true);
        QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.values().firstVisit, 0);
        QCOMPARE(dialog.values().firstVisitDays, 7);
        QCOMPARE(dialog.values().compress, 1);
    }

    void aBadExcludePatternKeepsTheDialogOpenWithItsText() {
        ModalCatcher catcher;
        GuiProgram p;
        bool keptOpen = false;
        QString kept;
        std::function<void()> afterBox;
        catcher.onDialog = [&](QDialog& dialog) {
            auto* exclude = dialog.findChild<QLineEdit*>("excludePatternEdit");
            QPushButton* ok =
                dialog.findChild<QDialogButtonBox*>("configButtons")->button(QDialogButtonBox::Ok);
            exclude->setText("spam ba(d");
            // Pressed from the event loop, so that the catcher can close the box it brings.
            QTimer::singleShot(0, ok, &QPushButton::click);
            afterBox = [&, exclude, ok, d = &dialog] {
                if (catcher.texts().isEmpty()) return QTimer::singleShot(20, d, afterBox);
                keptOpen = d->isVisible() && d->result() != QDialog::Accepted;
                kept = exclude->text();
                exclude->setText("spam bad");
                ok->click();
            };
            QTimer::singleShot(20, &dialog, afterBox);
        };
        p.window->options();
        QVERIFY(keptOpen);
        QCOMPARE(kept, QStringLiteral("spam ba(d"));
        QCOMPARE(catcher.texts(),
                 QStringList{"The exclude pattern cannot be used. \"ba(d\" is not a valid pattern: "
                             "a \"(\" has no \")\" to close it.\nCorrect it, or clear the field "
                             "to exclude nothing."});
        QCOMPARE(p.settings.killPattern, std::string("spam bad"));
        QVERIFY(p.settings.killTest("bad spam"));
        p.window->exitProgram();
    }

    void serverListShowsOneLinePerHostAndCancelRestores() {
        GuiProgram p;
        ServersDialog dialog(p.session);
        auto* host = dialog.findChild<QLineEdit*>("hostEdit");
        auto* port = dialog.findChild<QLineEdit*>("portEdit");
        auto* list = dialog.findChild<QListWidget*>("serverList");
        host->setText("news.example.org");
        port->setText("563");
        dialog.addServer();
        QVERIFY(!list->findItems("news.example.org 563  TLS", Qt::MatchExactly).isEmpty());
        const int count = list->count();
        dialog.addServer();  // the same entry again: no second line
        QCOMPARE(list->count(), count);
        QVERIFY(!p.settings.servers.contains("news.example.org"));  // not before OK
        QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
        const ServerEntry* added = p.settings.servers.at("news.example.org").get();
        QVERIFY(added);

        auto removeIn = [](ServersDialog& d) {
            auto* lines = d.findChild<QListWidget*>("serverList");
            lines->setCurrentItem(
                lines->findItems("news.example.org 563  TLS", Qt::MatchExactly).value(0));
            d.deleteCurrent();
        };
        ServersDialog second(p.session);
        removeIn(second);
        QMetaObject::invokeMethod(&second, "reject", Qt::DirectConnection);
        QCOMPARE(p.settings.servers.at("news.example.org").get(), added);
        QCOMPARE(added->port, 563);

        // Removed with OK: gone from the map and the file; the entry itself stays alive for
        // whoever still holds it.
        ServersDialog third(p.session);
        removeIn(third);
        QMetaObject::invokeMethod(&third, "accept", Qt::DirectConnection);
        QVERIFY(!p.settings.servers.at("news.example.org"));
        QCOMPARE(added->port, 563);
        const auto file = readWholeFile(joinPath(p.settings.dataDirectory, "server.lst"));
        QVERIFY(file && file->find("news.example.org") == std::string::npos);
        p.window->exitProgram();
    }

    void aSecureServerKeepsItsFlagAndTrustedCertificate() {
        GuiProgram p;
        ServersDialog dialog(p.session);
        auto* secure = dialog.findChild<QCheckBox*>("secureCheck");
        dialog.findChild<QLineEdit*>("hostEdit")->setText("tls.example");
        dialog.findChild<QLineEdit*>("portEdit")->setText("563");
        QVERIFY(secure->isChecked());  // the TLS news port is secure by default
        dialog.findChild<QLineEdit*>("portEdit")->setText("443");
        QVERIFY(!secure->isChecked());
        secure->setChecked(true);
        const std::string pin(64, 'a');
        dialog.findChild<QLineEdit*>("fingerprintEdit")->setText(QString::fromStdString(pin));
        dialog.addServer();
        QMetaObject::invokeMethod(&dialog, "accept", Qt::DirectConnection);
        const ServerEntry& entry = *p.settings.servers.at("tls.example");
        QVERIFY(entry.secure());
        QCOMPARE(entry.port, 443);
        QCOMPARE(QString::fromStdString(entry.fingerprint),
                 QString::fromStdString(normalizedFingerprint(pin)));
        QVERIFY(!entry.fingerprint.empty());
        const std::string pinned = entry.fingerprint;  // the reload below replaces the entry
        // Read back from "server.lst" as the next start would.
        QVERIFY(p.settings.loadServers() == 0);
        QVERIFY(p.settings.servers.at("tls.example")->secure());
        QCOMPARE(p.settings.servers.at("tls.example")->fingerprint, pinned);
        p.window->exitProgram();
    }

    void directorySelectionReturnsTheTypedPathAndBrowsesUp() {
        DirectorySelection typed(QStringLiteral("/no/such/folder"));
        QMetaObject::invokeMethod(&typed, "accept", Qt::DirectConnection);
        QCOMPARE(typed.path(), QStringLiteral("/no/such/folder"));

        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("inner"));
        DirectorySelection browse(dir.path());
        browse.browse();
        QVERIFY(browse.enter(dir.path() + "/inner"));
        QVERIFY(browse.enter(".."));
        QCOMPARE(browse.currentDirectory(), QDir(dir.path()).absolutePath());
        QCOMPARE(browse.path(), QDir(dir.path()).absolutePath());
        QVERIFY(!browse.enter("no files found"));

        // A folder picked in the list, then a path typed: OK takes the typed path.
        auto* list = browse.findChild<QListWidget*>();
        auto* edit = browse.findChild<QLineEdit*>("pathEdit");
        QVERIFY(list && edit);
        const QList<QListWidgetItem*> inner = list->findItems("inner", Qt::MatchExactly);
        QCOMPARE(inner.size(), 1);
        list->setCurrentItem(inner.front());
        inner.front()->setSelected(true);
        edit->selectAll();
        QTest::keyClicks(edit, "/typed/after");
        QMetaObject::invokeMethod(&browse, "accept", Qt::DirectConnection);
        QCOMPARE(browse.path(), QStringLiteral("/typed/after"));
    }
};

static RegisterGuiTest registerDialogs("DialogsTest",
                                       [] { return std::make_unique<DialogsTest>(); });

}  // namespace qm::test

#include "dialogs_test.moc"
