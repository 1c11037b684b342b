// SPDX-License-Identifier: GPL-3.0-or-later
// "Tip of the Day": reading tips.txt in order with wrap-around, the reading position and the
// start-up choice in the profile, and the failures the user is told about.
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "dialogs/tipdialog.h"
#include "guiprogram.h"

namespace qm::test {

namespace {

QString writeTips(const QString& path, const QByteArray& text) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(text);
    return path;
}

const QByteArray ThreeTips =
    "; a comment\n\nFirst tip.\n  indented: skipped\n\tso is this\n"
    "Second tip.\n;\nThird tip.\n";

}  // namespace

class TipsTest : public QObject {
    Q_OBJECT
  private slots:
    void tipsComeInOrderSkippingCommentsAndBlankLinesAndWrap() {
        ThrowAwayHome home;
        Profile profile(profilePath());
        const QString path = writeTips(home.path() + "/tips.txt", ThreeTips);
        TipDialog dialog(profile, path);
        QVERIFY(dialog.hasFile());
        QCOMPARE(dialog.tipText(), QString("First tip."));
        auto* next = dialog.findChild<QPushButton*>("nextTipButton");
        next->click();
        QCOMPARE(dialog.tipText(), QString("Second tip."));
        next->click();
        QCOMPARE(dialog.tipText(), QString("Third tip."));
        next->click();
        QCOMPARE(dialog.tipText(), QString("First tip."));
    }

    void eachOpeningContinuesAfterTheLastTipShownUntilTheFileChanges() {
        ThrowAwayHome home;
        Profile profile(profilePath());
        const QString path = writeTips(home.path() + "/tips.txt", ThreeTips);
        {
            TipDialog first(profile, path);
            first.nextTip();
            QCOMPARE(first.tipText(), QString("Second tip."));
        }
        QVERIFY(profile.getInt("Tip", "FilePos", -1) > 0);
        {
            TipDialog second(profile, path);
            QCOMPARE(second.tipText(), QString("Third tip."));
        }
        // A new time stamp: the file was replaced, so start at its first tip.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addDays(-3),
                              QFileDevice::FileModificationTime));
        f.close();
        TipDialog third(profile, path);
        QCOMPARE(third.tipText(), QString("First tip."));
    }

    void clearingShowTipsOnStartUpStoresOneAndEscapeStoresNothing() {
        ThrowAwayHome home;
        Profile profile(profilePath());
        const QString path = writeTips(home.path() + "/tips.txt", ThreeTips);
        QVERIFY(TipDialog::wantedAtStartup(profile));
        {
            TipDialog dialog(profile, path);
            auto* check = dialog.findChild<QCheckBox*>("showTipsCheck");
            QVERIFY(check->isChecked());
            check->setChecked(false);
            dialog.findChild<QPushButton*>("closeButton")->click();
        }
        QCOMPARE(profile.getInt("Tip", "StartUp", -1), 1);
        QVERIFY(!TipDialog::wantedAtStartup(profile));
        {
            TipDialog dialog(profile, path);
            auto* check = dialog.findChild<QCheckBox*>("showTipsCheck");
            QVERIFY(!check->isChecked());
            check->setChecked(true);
            dialog.show();
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QVERIFY(!dialog.isVisible());
        }
        QCOMPARE(profile.getInt("Tip", "StartUp", -1), 1);
    }

    void missingFileSaysSoAndWritesNoPosition() {
        ThrowAwayHome home;
        Profile profile(profilePath());
        {
            TipDialog dialog(profile, home.path() + "/none.txt");
            QVERIFY(!dialog.hasFile());
            QCOMPARE(dialog.tipText(),
                     QString("Tips file does not exist in the prescribed directory"));
            QVERIFY(!dialog.findChild<QPushButton*>("nextTipButton")->isEnabled());
        }
        QCOMPARE(profile.getInt("Tip", "FilePos", -1), -1);
    }

    void aFileWithoutTipsDoesNotLoopAndABadPositionIsReported() {
        ThrowAwayHome home;
        Profile profile(profilePath());
        const QString empty = writeTips(home.path() + "/empty.txt", "; only\n\n  comments\n");
        {
            TipDialog dialog(profile, empty);
            QCOMPARE(dialog.tipText(), QString("The tips file holds no tips."));
            dialog.nextTip();
            QCOMPARE(dialog.tipText(), QString("The tips file holds no tips."));
        }
        const QString path = writeTips(home.path() + "/tips.txt", ThreeTips);
        {
            TipDialog prime(profile, path);  // stores the file's time stamp
        }
        QVERIFY(profile.setInt("Tip", "FilePos", -5));
        ModalCatcher catcher;
        TipDialog dialog(profile, path);
        QCOMPARE(catcher.texts(), QStringList{"Trouble reading the tips file"});
    }

    void mainWindowShowsTheTipAtStartUpOnlyWhenAsked() {
        for (int startUp : {0, 1}) {
            GuiProgram p;
            QVERIFY(p.profile.setInt("Tip", "StartUp", startUp));
            p.window->setTipsAtStartup(true);
            ModalCatcher catcher;
            QStringList titles;
            catcher.onDialog = [&](QDialog& d) {
                titles << d.windowTitle();
                d.reject();
            };
            QVERIFY(waitUntil([&] { return p.window->startupDone(); }, 5000));
            QTest::qWait(200);
            QCOMPARE(titles, startUp == 0 ? QStringList{"Tip of the Day"} : QStringList{});
            titles.clear();
            p.window->findChild<QAction*>("tipsAction")->trigger();  // Help, "Tips": always
            QCOMPARE(titles, QStringList{"Tip of the Day"});
            p.window->exitProgram();
        }
    }

    void shippedTipsAreReadableAndPictured() {
        ThrowAwayHome home;
        Profile profile(profilePath());
        TipDialog dialog(profile);  // resources/tips.txt
        QVERIFY(dialog.hasFile());
        QVERIFY(dialog.tipText().startsWith("To start, pick a news server"));
        QVERIFY(!dialog.findChild<QLabel*>("tipBulb")->pixmap().isNull());
        dialog.show();
        QTest::qWait(50);
        QDir().mkpath(QM_SCREENSHOT_DIR);
        QVERIFY(dialog.grab().save(QM_SCREENSHOT_DIR "/tip-of-the-day.png"));
    }
};

static RegisterGuiTest registerTips("TipsTest", [] { return std::make_unique<TipsTest>(); });

}  // namespace qm::test

#include "tips_test.moc"
