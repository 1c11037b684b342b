// SPDX-License-Identifier: GPL-3.0-or-later
// "Manual decode files": the decode list's rules and the order and failures of a decode run.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "dialogs/manualdecode.h"
#include "guiprogram.h"

namespace qm::test {

namespace {

// The base names of the files the log reported decoded, in the order they came.
QStringList decodedNames(GuiProgram& p) {
    QCoreApplication::processEvents();  // the log takes its lines in batches
    QStringList names;
    QAbstractItemModel* log = p.window->findChild<QListView*>("logList")->model();
    const QString prefix = QStringLiteral("Decoded file ");
    for (int row = 0; row < log->rowCount(); ++row) {
        const QString line = log->index(row, 0).data().toString();
        if (line.startsWith(prefix))
            names << QString::fromStdString(
                std::string(baseName(line.mid(prefix.size()).toStdString())));
    }
    return names;
}

// A mail with one base64 attachment called name.
void writeMail(const QString& path, const QString& name) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    const QByteArray body = QByteArray("content of ") + name.toUtf8();
    f.write("From: someone@example.org\nSubject: " + name.toUtf8() +
            "\nMIME-Version: 1.0\nContent-Type: application/octet-stream; name=\"" + name.toUtf8() +
            "\"\nContent-Transfer-Encoding: base64\n\n" + body.toBase64() + "\n");
}

}  // namespace

class ManualDecodeTest : public QObject {
    Q_OBJECT
  private slots:
    void decodeListKeepsOneEntryPerFileAndRefusesPatterns() {
        GuiProgram p;
        ManualDecodeDialog dialog(p.session);
        const QString dir = p.home.path();
        dialog.setDirectory(dir);
        dialog.setFileName("post.txt");
        dialog.add();
        dialog.add();
        dialog.setFileName("POST.TXT");  // the same entry, ignoring case
        dialog.add();
        QCOMPARE(dialog.decodeList(), QStringList{dir + "/post.txt"});
        dialog.setFileName("*.*");
        dialog.add();
        dialog.setFileName(" post2.txt");
        dialog.add();
        QCOMPARE(dialog.decodeList().size(), 1);
        dialog.setFileName("b.txt");
        dialog.add();
        dialog.setFileName("a.txt");
        dialog.add();
        QCOMPARE(dialog.decodeList(),
                 (QStringList{dir + "/a.txt", dir + "/b.txt", dir + "/post.txt"}));  // sorted
        QCOMPARE(ManualDecodeDialog::fullPath("/tmp/", "x"), QString("/tmp/x"));
    }

    void doubleClickInTheFileListAddsAndKeepsTheDialogOpen() {
        GuiProgram p;
        writeMail(p.home.path() + "/clicked.txt", "clicked.bin");
        ManualDecodeDialog dialog(p.session);
        dialog.setDirectory(p.home.path());
        dialog.show();
        auto* files = dialog.findChild<QListWidget*>("fileList");
        const auto found = files->findItems("clicked.txt", Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        const QRect at = files->visualItemRect(found[0]);
        // Item views take a double click only after the press that starts it.
        QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, at.center());
        QTest::mouseDClick(files->viewport(), Qt::LeftButton, {}, at.center());
        QCOMPARE(dialog.decodeList(), QStringList{p.home.path() + "/clicked.txt"});
        QVERIFY(dialog.isVisible());
    }

    void removeTakesEverySelectedEntryAndKeepsTheOthersInOrder() {
        GuiProgram p;
        ManualDecodeDialog dialog(p.session);
        dialog.setDirectory("/data");
        for (const char* name : {"1", "2", "3", "4", "5"}) {
            dialog.setFileName(name);
            dialog.add();
        }
        auto* list = dialog.findChild<QListWidget*>("decodeList");
        for (int row : {0, 2, 4}) list->item(row)->setSelected(true);
        dialog.findChild<QPushButton*>("removeButton")->click();
        QCOMPARE(dialog.decodeList(), (QStringList{"/data/2", "/data/4"}));
    }

    void decodeRunsFromTheLastEntryToTheFirstAndReportsFilesThatWillNotOpen() {
        GuiProgram p;
        const QString dir = p.home.path() + "/posts";
        QVERIFY(QDir().mkpath(dir));
        for (const char* name : {"a", "b", "c"})
            writeMail(dir + "/" + name + ".txt", QString(name) + ".bin");

        ManualDecodeDialog dialog(p.session);
        dialog.setDirectory(dir);
        for (const char* name : {"b.txt", "missing.txt", "c.txt", "a.txt"}) {
            dialog.setFileName(name);
            dialog.add();
        }
        dialog.setFileName("");  // the folder itself: no file to decode
        dialog.add();
        ModalCatcher catcher;
        dialog.findChild<QPushButton*>("decodeButton")->click();
        QCOMPARE(decodedNames(p), (QStringList{"c.bin", "b.bin", "a.bin"}));
        QCOMPARE(catcher.texts(), (QStringList{"Fail open file " + dir + "/missing.txt",
                                               "Fail open file " + dir + "/"}));
        QCOMPARE(dialog.decodeList().size(), 5);  // the entries stay
        const QString out = QString::fromStdString(p.settings.dataDirectory) + "/news.dat/";
        QFile decoded(out + "c.bin");
        QVERIFY(decoded.open(QIODevice::ReadOnly));
        QCOMPARE(decoded.readAll(), QByteArray("content of c.bin"));

        // A second run never overwrites: the new files get numbered names.
        catcher.clear();
        dialog.decodeFiles();
        const QStringList second = decodedNames(p).mid(3);
        QCOMPARE(second.size(), 3);
        QVERIFY(!second.contains("c.bin"));
    }

    void decodingAfterADataDirectoryChangeWritesIntoTheNewFolder() {
        GuiProgram p;
        const QString dir = p.home.path() + "/posts";
        QVERIFY(QDir().mkpath(dir));
        writeMail(dir + "/a.txt", "a.bin");
        ConfigValues values = p.session.configuration();
        values.dataDirectory = (p.home.path() + "/elsewhere").toStdString();
        QVERIFY(p.session.applyConfiguration(values).dataDirectoryChanged);

        ManualDecodeDialog dialog(p.session);
        dialog.setDirectory(dir);
        dialog.setFileName("a.txt");
        dialog.add();
        dialog.decodeFiles();
        QVERIFY(QFile::exists(p.home.path() + "/elsewhere/news.dat/a.bin"));
        p.window->exitProgram();
    }

    void fileMenuOpensTheDialog() {
        GuiProgram p;
        auto* action = p.window->findChild<QAction*>("manualDecodeAction");
        QVERIFY(action);
        QCOMPARE(QString(action->text()).remove('&'),
                 QString("Manual decode"));  // "&" marks its Alt key
        ModalCatcher catcher;
        QString title;
        catcher.onDialog = [&](QDialog& d) {
            title = d.windowTitle();
            d.reject();
        };
        action->trigger();
        QCOMPARE(title, QString("Manual decode files"));
        p.window->exitProgram();
    }

    void screenshot() {
        GuiProgram p;
        for (const char* name : {"article1.txt", "article2.txt", "mail.eml"})
            writeMail(p.home.path() + "/" + name, "x.bin");
        ManualDecodeDialog dialog(p.session);
        dialog.setDirectory(p.home.path());
        dialog.setFileName("article1.txt");
        dialog.add();
        dialog.setFileName("mail.eml");
        dialog.add();
        dialog.show();
        QTest::qWait(50);
        QDir().mkpath(QM_SCREENSHOT_DIR);
        QVERIFY(dialog.grab().save(QM_SCREENSHOT_DIR "/manual-decode.png"));
    }
};

static RegisterGuiTest registerManualDecode("ManualDecodeTest",
                                            [] { return std::make_unique<ManualDecodeTest>(); });

}  // namespace qm::test

#include "manualdecode_test.moc"
