// SPDX-License-Identifier: GPL-3.0-or-later
// The file manager on a hand-made group folder: filling, viewing, Next, Delete, Collect,
// sorting, Fit Window, and its opening from the main window; plus the pictures of the
// monitor and of the file manager in both sizes.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <future>
#include <thread>

#include "app/nzbsaver.h"
#include "catalog/messagehistory.h"
#include "catalog/picturedatabase.h"
#include "catalog/picturelist.h"
#include "catalog/pictureview.h"
#include "decode/outputnames.h"
#include "decode/savedarticle.h"
#include "dialogs/filemanager.h"
#include "dialogs/groupmonitor.h"
#include "dialogs/sortablelist.h"
#include "dialogs/thumbnailview.h"
#include "dialogs/viewerpane.h"
#include "guiprogram.h"
#include "model/locks.h"
#include "nzb/nzbparser.h"

namespace qm::test {

namespace {

const QString Demo = QStringLiteral("alt.pictures.demo");

struct Folder {
    GuiProgram p;
    GroupEntry& group;
    std::string dir;
    QList<QUrl> handedOut;  // what the pane gave to the desktop's opener

    explicit Folder(const std::string& name = Demo.toStdString())
        : group(p.settings.newGroup(name)) {
        p.settings.markVisited(group);
        group.ensureStats();
        // Where the catalogue puts the group's files.
        dir = filesDirectory(p.settings, group);
        (void)makeDirectories(dir);
    }
    std::string path(const std::string& name) const { return joinPath(dir, name); }
    // A file with its description beside it, catalogued with that title and date.
    void add(const std::string& name, const std::string& title, const std::string& date = "",
             char mark = 'N') {
        if (name.ends_with(".png") || name.ends_with(".jpg")) {
            QImage image(320, 200, QImage::Format_RGB32);
            image.fill(QColor(40, 120, 200));
            QVERIFY(image.save(QString::fromStdString(path(name)), "PNG"));
        } else {
            QFile f(QString::fromStdString(path(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("data");
        }
        QFile desc(QString::fromStdString(descriptionPathFor(path(name))));
        QVERIFY(desc.open(QIODevice::WriteOnly));
        desc.write(title.c_str());
        setPicture(p.settings, group, name, PictureRecord{title, date, mark});
    }
    std::unique_ptr<FileManager> open(const QString& name = Demo) {
        auto fm = std::make_unique<FileManager>(p.session, name);
        fm->setAttribute(Qt::WA_DeleteOnClose, false);  // the test owns it
        fm->viewer()->setOpener([this](const QUrl& url) { handedOut << url; });
        fm->show();
        return fm;
    }
};

QStringList column(const FileManager& fm, int c) {
    QStringList texts;
    for (int i = 0; i < fm.list()->topLevelItemCount(); ++i)
        texts << fm.list()->topLevelItem(i)->text(c);
    return texts;
}

void select(FileManager& fm, const QStringList& names) {
    fm.list()->clearSelection();
    for (int i = 0; i < fm.list()->topLevelItemCount(); ++i)
        if (names.contains(fm.list()->topLevelItem(i)->text(1)))
            fm.list()->topLevelItem(i)->setSelected(true);
}

bool exists(const std::string& path) {
    return std::filesystem::exists(path);
}

}  // namespace

class FileManagerTest : public QObject {
    Q_OBJECT
  private slots:
    void init() { ProgramExiting.store(false); }

    void fillsFromTheCatalogue() {
        Folder f;
        f.add("b.png", "Beta", "12071630-1998", 'V');
        f.add("a.png", "Alpha");
        setPicture(f.p.settings, f.group, "gone.jpg", PictureRecord{"Gone", "", 'N'});
        auto fm = f.open();
        QCOMPARE(fm->windowTitle(), QStringLiteral("Retrieved attachments"));
        QCOMPARE(column(*fm, 0), (QStringList{"Alpha", "Beta"}));  // by title
        QCOMPARE(column(*fm, 1), (QStringList{"a.png", "b.png"}));
        QCOMPARE(column(*fm, 2), (QStringList{"", "12071630-1998"}));
        QCOMPARE(fm->findChild<QLabel*>("dirLabel")->text(), QString::fromStdString(f.dir));
        QVERIFY(!findPicture(f.group, "gone.jpg"));  // missing on disk: detached
        auto* combo = fm->findChild<QComboBox*>("groupBox");
        QVERIFY(combo->findText(Demo) >= 0);
        QVERIFY(combo->findText("My-Collection") >= 0);
        QCOMPARE(combo->currentText(), Demo);
        QVERIFY(!fm->expanded());
        QCOMPARE(fm->size(), fm->compactSize());
        QVERIFY(fm->compactSize().width() < fm->fullSize().width());
    }

    void aGroupWhoseNameIsEncodedAsAFolderShowsItsFiles() {
        // "%" and "/" are encoded in the folder name: the manager must look where the
        // catalogue wrote, or it shows nothing and detaches every record.
        Folder f("alt.odd%name/x");
        f.add("a.png", "Alpha");
        auto fm = f.open(QStringLiteral("alt.odd%name/x"));
        QCOMPARE(column(*fm, 1), (QStringList{"a.png"}));
        QVERIFY(findPicture(f.group, "a.png"));
    }

    void deleteGoesOnPastAFailure() {
        ModalCatcher catcher;
        Folder f;
        f.add("one.jpg", "A one");
        f.add("three.jpg", "C three");
        f.add("README", "D readme");
        // A non-empty folder of that name: not even root can delete it as a file.
        QVERIFY(QDir().mkpath(QString::fromStdString(f.path("two.jpg") + "/inner")));
        setPicture(f.p.settings, f.group, "two.jpg", PictureRecord{"B two", "", 'N'});
        auto fm = f.open();
        QCOMPARE(column(*fm, 1), (QStringList{"one.jpg", "two.jpg", "three.jpg", "README"}));
        select(*fm, {"one.jpg", "two.jpg", "three.jpg"});
        fm->viewSelected();
        fm->viewNext();
        fm->viewNext();
        QCOMPARE(fm->viewer()->shown().fileName(), QStringLiteral("three.jpg"));
        // Next moved the selection along: only the file shown is selected now.
        QCOMPARE(fm->list()->selectedItems().size(), 1);
        select(*fm, {"one.jpg", "two.jpg", "three.jpg"});
        // More than one file: asked first; No leaves every file where it is.
        fm->deleteSelected();
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("Move 3 files to the trash?")});
        QCOMPARE(fm->list()->topLevelItemCount(), 4);
        QVERIFY(exists(f.path("one.jpg")));
        catcher.clear();
        catcher.onBox = [&](const QString& text) {
            if (!text.startsWith("Move")) return;
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            box->button(QMessageBox::Yes)->click();
        };
        fm->deleteSelected();
        QCOMPARE(catcher.texts(), (QStringList{QStringLiteral("Move 3 files to the trash?"),
                                               QStringLiteral("Fail to delete two.jpg")}));
        QCOMPARE(fm->statusText(), QStringLiteral("2 files moved to the trash"));
        QCOMPARE(column(*fm, 1), (QStringList{"two.jpg", "README"}));
        QVERIFY(fm->list()->topLevelItem(0)->isSelected());
        QVERIFY(!exists(f.path("one.jpg")) && !exists(f.path("one.desc")));
        QVERIFY(!exists(f.path("three.jpg")) && !exists(f.path("three.desc")));
        // In the desktop's trash, where they can be brought back from; no longer shown.
        const std::string trash = (f.p.home.path() + "/data/Trash").toStdString();
        for (const char* name : {"one.jpg", "one.desc", "three.jpg", "three.desc"}) {
            QVERIFY2(exists(trash + "/files/" + name), name);
            QFile info(QString::fromStdString(trash + "/info/" + name + ".trashinfo"));
            QVERIFY2(info.open(QIODevice::ReadOnly), name);
            QVERIFY(info.readAll().contains("Path="));
        }
        QVERIFY(fm->viewer()->shown().isEmpty());
        QCOMPARE(fm->findChild<QLabel*>("pathLabel")->text(), QStringLiteral("Path"));
        QVERIFY(!findPicture(f.group, "one.jpg") && findPicture(f.group, "two.jpg"));
        QFile saved(QString::fromStdString(joinPath(f.dir, "../data.lst")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray lines = saved.readAll();
        QVERIFY(lines.contains("two.jpg") && !lines.contains("one.jpg") &&
                !lines.contains("three.jpg"));

        // A name without an extension loses "name.desc"; a file gone already goes silently.
        catcher.clear();
        QVERIFY(std::filesystem::remove_all(f.path("two.jpg")) > 0);
        select(*fm, {"two.jpg", "README"});
        fm->deleteSelected();
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("Move 2 files to the trash?")});
        QCOMPARE(fm->list()->topLevelItemCount(), 0);
        QVERIFY(!exists(f.path("README")) && !exists(f.path("README.desc")));
        QVERIFY(!findPicture(f.group, "two.jpg"));
    }

    void aListThatCannotBeSavedIsShownWhileTheReadersGoOn() {
        ModalCatcher catcher;
        Folder f;
        f.add("one.jpg", "One");
        f.add("two.jpg", "Two");
        // A folder where the list file should be: the new list cannot be renamed over it.
        QVERIFY(QDir().mkpath(QString::fromStdString(joinPath(f.dir, "../data.lst"))));
        auto fm = f.open();
        // While the box is up, a reader records a decoded file in the same group's list.
        bool recorded = false;
        std::thread reader;
        catcher.onBox = [&](const QString&) {
            std::promise<void> done;
            std::future<void> finished = done.get_future();
            reader = std::thread([&f, done = std::move(done)]() mutable {
                setPicture(f.p.settings, f.group, "new.jpg", PictureRecord{"New", "", 'N'});
                done.set_value();
            });
            recorded = finished.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
        };
        select(*fm, {"one.jpg"});
        fm->deleteSelected();
        reader.join();
        QCOMPARE(catcher.texts(),
                 QStringList{QStringLiteral("Fail to save picture list for ") + Demo});
        QVERIFY2(recorded, "the reader waited for the picture list while the box was up");
    }

    void collectMovesIntoMyCollection() {
        ModalCatcher catcher;
        Folder f;
        f.add("keep.png", "Keep", "01011200-2001");
        f.add("clash.png", "Clash");
        f.add("stay.png", "Stay");
        const std::string target =
            joinPath(joinPath(f.p.settings.dataDirectory, "My-Collection"), "news.dat");
        QVERIFY(QDir().mkpath(QString::fromStdString(target)));
        QFile existing(QString::fromStdString(joinPath(target, "clash.png")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("already collected");
        existing.close();

        auto fm = f.open();
        select(*fm, {"keep.png"});
        fm->viewSelected();
        select(*fm, {"keep.png", "clash.png"});
        fm->collectSelected();
        QVERIFY(fm->viewer()->shown().isEmpty());  // moved away: no longer shown
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("Fail to rename clash.png")});
        QCOMPARE(column(*fm, 1), (QStringList{"clash.png", "stay.png"}));
        QVERIFY(exists(joinPath(target, "keep.png")) && exists(joinPath(target, "keep.desc")));
        QVERIFY(!exists(f.path("keep.png")) && !exists(f.path("keep.desc")));
        QVERIFY(exists(f.path("clash.png")));  // the collected one was not overwritten
        QCOMPARE(QFileInfo(QString::fromStdString(joinPath(target, "clash.png"))).size(), 17);
        GroupEntry* collection = f.p.settings.visitedGroups.find("My-Collection");
        QVERIFY(collection);
        const auto moved = findPicture(*collection, "keep.png");
        QVERIFY(moved && moved->description == "Keep" && moved->date == "01011200-2001");
        QVERIFY(!findPicture(f.group, "keep.png"));
        QVERIFY(exists(joinPath(target, "../data.lst")));

        // Nothing moves out of the collection itself.
        catcher.clear();
        auto own = f.open("My-Collection");
        QCOMPARE(column(*own, 1), QStringList{"keep.png"});
        select(*own, {"keep.png"});
        own->collectSelected();
        QVERIFY(exists(joinPath(target, "keep.png")));
        QCOMPARE(own->list()->topLevelItemCount(), 1);
        QVERIFY(catcher.texts().isEmpty());
    }

    void saveAsNzbListsTheSelectedFilesWithTheirArticles() {
        Folder f;
        f.add("a.jpg", "A");
        f.add("b.bin", "B");
        f.add("c.txt", "C");
        const std::string folder = Demo.toStdString() + "/news.dat/";
        MessageHistory& history = f.p.session.history();
        history.addFile({folder + "a.jpg",
                         Demo.toStdString(),
                         1700000000,
                         "pics \"a.jpg\" (1/2)",
                         {{"<a1@x>", 100}, {"<a2@x>", 200}}});
        history.addFile(
            {folder + "b.bin", Demo.toStdString(), 1700000000, "b.bin", {{"<b@x>", 50}}});
        QVERIFY(history.commit());

        // The main window's file manager offers it.
        f.p.window->fileManagement();
        FileManager* offered = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* fm = qobject_cast<FileManager*>(w); fm && fm->isVisible()) offered = fm;
        QVERIFY(offered && offered->findChild<QPushButton*>("saveNzbButton")->isVisible());
        offered->close();

        auto fm = f.open();
        fm->setNzbSaver(nzbSaver(f.p.session));
        select(*fm, {"a.jpg", "b.bin", "c.txt"});
        const QString target = f.p.home.path() + "/chosen.nzb";
        fm->saveSelectedAsNzb(target);
        QVERIFY2(fm->statusText().startsWith("2 files saved in "), qPrintable(fm->statusText()));
        QVERIFY(fm->statusText().contains("1 left out"));
        const NzbParse nzb = readNzbFile(target.toStdString());
        QVERIFY2(nzb.ok(), nzb.error.c_str());
        QCOMPARE(nzb.document.files.size(), std::size_t{2});
        const NzbFile& a = nzb.document.files[0];
        QCOMPARE(nzbFileName(a.subject), std::string("a.jpg"));
        QVERIFY((a.segments == std::vector<NzbSegment>{{1, 100, "a1@x"}, {2, 200, "a2@x"}}));
        QCOMPARE(a.groups, std::vector<std::string>{Demo.toStdString()});

        // A collected file takes its articles along.
        select(*fm, {"a.jpg"});
        fm->collectSelected();
        const auto moved = history.file("My-Collection/news.dat/a.jpg");
        QVERIFY(moved && moved->segments.size() == 2 && moved->group == Demo.toStdString());

        // Nothing known: no NZB is written, and the window says why.
        select(*fm, {"c.txt"});
        fm->saveSelectedAsNzb(f.p.home.path() + "/none.nzb");
        QVERIFY(fm->statusText().startsWith("No NZB written"));
        QVERIFY(!exists((f.p.home.path() + "/none.nzb").toStdString()));
        f.p.window->exitProgram();
    }

    void headingsSortAsText() {
        Folder f;
        f.add("x.png", "X", "12071630-1998");
        f.add("y.png", "Y", "01011200-2001");
        f.add("z.png", "Z", "11300900-1999", 'V');
        auto fm = f.open();
        select(*fm, {"y.png"});
        QHeaderView* header = fm->list()->header();
        const QPoint date(header->sectionViewportPosition(2) + 5, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, date);
        QCOMPARE(column(*fm, 2), (QStringList{"01011200-2001", "11300900-1999", "12071630-1998"}));
        QCOMPARE(column(*fm, 1), (QStringList{"y.png", "z.png", "x.png"}));
        QVERIFY(fm->list()->topLevelItem(0)->isSelected());  // the selection moved along
        QVERIFY(!fm->list()->topLevelItem(1)->isSelected());
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, date);
        QCOMPARE(column(*fm, 2), (QStringList{"12071630-1998", "11300900-1999", "01011200-2001"}));
        QVERIFY(fm->list()->topLevelItem(2)->isSelected());
        // Another column starts ascending again; bytes, so capitals before small letters.
        fm->list()->topLevelItem(0)->setText(0, "a");
        fm->list()->sortByText(0);
        QCOMPARE(column(*fm, 0), (QStringList{"Y", "Z", "a"}));
    }

    void viewingShowsThePictureInThePane() {
        ModalCatcher catcher;
        Folder f;
        f.add("a.jpg", "Alpha");
        f.add("b.jpg", "Beta");
        f.add("c.zip", "Gamma");
        auto fm = f.open();
        fm->viewSelected();
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("No file selected!")});
        QVERIFY(!fm->expanded());
        catcher.clear();
        fm->fitWindow();
        QCOMPARE(catcher.texts(), QStringList{QStringLiteral("File does not exist!")});

        select(*fm, {"a.jpg"});
        fm->viewSelected();
        QVERIFY(fm->expanded());
        QCOMPARE(fm->size(), fm->fullSize());
        QCOMPARE(fm->viewer()->shown(), QUrl(QString::fromStdString(fileUrl(f.path("a.jpg")))));
        QCOMPARE(fm->findChild<QLabel*>("pathLabel")->text(),
                 QString::fromStdString(f.path("a.jpg")));
        QCOMPARE(findPicture(f.group, "a.jpg")->mark, 'V');
        QCOMPARE(fm->currentRow(), 0);

        // The user's size stays at later views.
        fm->resize(800, 500);
        fm->viewNext();
        QCOMPARE(fm->size(), QSize(800, 500));
        QCOMPARE(fm->currentRow(), 1);
        QVERIFY(!fm->list()->topLevelItem(0)->isSelected() &&
                fm->list()->topLevelItem(1)->isSelected());
        QCOMPARE(findPicture(f.group, "b.jpg")->mark, 'V');

        // Fit Window: the picture page at the display width.
        fm->fitWindow();
        const std::string page = joinPath(f.dir, "__img.html");
        QCOMPARE(fm->viewer()->shown(), QUrl(QString::fromStdString(fileUrl(page))));
        QFile html(QString::fromStdString(page));
        QVERIFY(html.open(QIODevice::ReadOnly));
        QVERIFY(
            html.readAll().contains(QStringLiteral(" width=%1>").arg(fm->displayWidth()).toUtf8()));
        QCOMPARE(fm->displayWidth(), 800 - fm->viewer()->x() - 40);

        // What the pane cannot show goes to the desktop; "Next" past the end does nothing.
        QVERIFY(f.handedOut.isEmpty());
        fm->viewNext();
        QCOMPARE(f.handedOut, QList<QUrl>{QUrl(QString::fromStdString(fileUrl(f.path("c.zip"))))});
        fm->viewNext();
        QCOMPARE(fm->currentRow(), 2);
        QVERIFY(catcher.texts().size() == 1);
    }

    void thumbnailsLoadBesideTheListAndDeletingForgetsThePicture() {
        Folder f;
        f.add("a.png", "Alpha");
        f.add("b.jpg", "Beta");
        f.add("notes.txt", "Notes");
        const std::string folder = f.p.session.groupFolder(f.group).path();
        PictureDatabase db(f.p.settings.dataDirectory, [](std::string_view) {});
        QVERIFY(db.open());
        for (const char* name : {"a.png", "b.jpg"}) {
            QImage thumb(200, 125, QImage::Format_RGB32);
            thumb.fill(Qt::darkGreen);
            const std::string path = joinPath(folder, std::string("thumbs/") + name + ".jpg");
            QVERIFY(QDir().mkpath(QString::fromStdString(joinPath(folder, "thumbs"))));
            QVERIFY(thumb.save(QString::fromStdString(path), "JPG"));
            StoredPicture p;
            p.group = f.group.name();
            p.path = Demo.toStdString() + "/news.dat/" + name;
            p.state = PictureState::Shown;
            p.thumbWidth = 200;
            p.thumbHeight = 125;
            QVERIFY(db.add(p));
        }
        auto fm = f.open();
        ThumbnailModel* model = fm->thumbnails()->thumbnails();
        QCOMPARE(model->files(), (QStringList{"a.png", "b.jpg", "notes.txt"}));  // as listed
        // Cells ask for their icons as they are shown; they come from the loader thread.
        for (int row = 0; row < model->rowCount(); ++row)
            (void)model->data(model->index(row), Qt::DecorationRole);
        QVERIFY(waitUntil([&] { return model->loadedCount() == 3; }, 5000));
        auto iconSize = [&](int row) {
            return qvariant_cast<QIcon>(model->data(model->index(row), Qt::DecorationRole))
                .availableSizes()
                .value(0);
        };
        QCOMPARE(iconSize(0), QSize(96, 60));  // the thumbnail, scaled to the cell
        QCOMPARE(iconSize(2), QSize(96, 96));  // no thumbnail: the plain icon

        emit fm->thumbnails()->activated(model->index(1));
        QVERIFY(fm->viewer()->shown().toString().endsWith("b.jpg"));

        // One selection for grid and list: a highlighted cell is what View and Delete take,
        // and a row chosen in the list is highlighted in the grid.
        ThumbnailView* grid = fm->thumbnails();
        grid->selectionModel()->select(model->index(0), QItemSelectionModel::ClearAndSelect);
        QCOMPARE(fm->list()->selectedItems().size(), 1);
        QCOMPARE(fm->list()->selectedItems().front()->text(1), QStringLiteral("a.png"));
        fm->viewSelected();
        QVERIFY(fm->viewer()->shown().toString().endsWith("a.png"));
        select(*fm, {"notes.txt"});
        QCOMPARE(grid->selectedFiles(), QStringList{"notes.txt"});
        grid->selectionModel()->select(model->index(0), QItemSelectionModel::ClearAndSelect);
        fm->deleteSelected();
        QCOMPARE(model->files(), (QStringList{"b.jpg", "notes.txt"}));
        QCOMPARE(column(*fm, 1), (QStringList{"b.jpg", "notes.txt"}));
        QCOMPARE(fm->statusText(), QStringLiteral("a.png moved to the trash"));
        QVERIFY(!exists(joinPath(folder, "thumbs/a.png.jpg")));
        const std::vector<StoredPicture> left = db.all();
        QCOMPARE(left.size(), std::size_t{1});
        QCOMPARE(left[0].path, Demo.toStdString() + "/news.dat/b.jpg");
        const std::string gallery = readWholeFile(joinPath(folder, "gallery.html")).value_or("");
        QVERIFY(gallery.find("b.jpg") != std::string::npos);
        QVERIFY(gallery.find("a.png") == std::string::npos);
    }

    void theMainWindowOpensSeveral() {
        Folder f;
        f.add("a.png", "Alpha");
        f.p.window->fileManagement();
        f.p.window->findChild<QPushButton*>("viewButton")->click();
        QList<FileManager*> open;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* fm = qobject_cast<FileManager*>(w); fm && fm->isVisible()) open << fm;
        QCOMPARE(open.size(), 2);
        for (FileManager* fm : open) {
            QVERIFY(fm->testAttribute(Qt::WA_DeleteOnClose));
            fm->close();
        }
        f.p.window->exitProgram();
    }

    void pictures() {
        const QString dir = QStringLiteral(QM_SCREENSHOT_DIR);
        QDir().mkpath(dir);
        Folder f;
        f.add("sunset.jpg", "Sunset over the bay", "12071630-1998");
        f.add("harbour.png", "Harbour at night", "11300900-1999", 'V');
        f.add("notes.txt", "Notes");
        auto fm = f.open();
        QTest::qWait(50);
        QVERIFY(fm->grab().save(dir + "/filemanager-compact.png"));
        select(*fm, {"sunset.jpg"});
        fm->viewSelected();
        QTest::qWait(50);
        QVERIFY(fm->grab().save(dir + "/filemanager-expanded.png"));

        GroupTable table;
        table.add(f.group);
        GroupStats& s = f.group.ensureStats();
        s.first = 1;
        s.last = 480;
        s.current = 211;
        s.retrieved = 180;
        s.decoded = 34;
        s.bytes = 2'500'000;
        SavedArticle article;
        article.setSubject("Sunset over the bay - sunset.jpg (2/3)");
        article.lines = 480;
        article.lineCount = 120;
        s.articleInProgress = &article;
        GroupMonitor monitor(
            table, [] { return 48213; }, Demo);
        monitor.show();
        QTest::qWait(50);
        QVERIFY(monitor.grab().save(dir + "/groupmonitor.png"));
        f.group.set(Finished);
        monitor.refresh();
        QVERIFY(monitor.grab().save(dir + "/groupmonitor-done.png"));
        s.articleInProgress = nullptr;
    }
};

static RegisterGuiTest registerFileManager("FileManagerTest",
                                           [] { return std::make_unique<FileManagerTest>(); });

}  // namespace qm::test

#include "filemanager_test.moc"
