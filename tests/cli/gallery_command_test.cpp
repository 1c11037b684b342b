// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures made on the spot, posted through the fixture news server and fetched by the built
// qmere-cli (its path in QM_CLI): their thumbnails, the gallery, duplicates by content, and
// the picture database rebuilt from the files ("qmere-cli gallery", "qmere-cli dupes").
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "catalog/picturedatabase.h"
#include "catalog/picturelist.h"
#include "newsserver/newsserver.h"
#include "platform/file.h"
#include "platform/lockfile.h"
#include "platform/paths.h"
#include "support/clirunner.h"
#include "support/encoders.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace qm::test {
namespace {

class GalleryRunThreads : public ::testing::Test {
  protected:
    GalleryRunThreads() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
        m_options.spool = m_dir.file("spool");
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
    }

    CliRun run(const std::vector<std::string>& args) { return runCli(m_dir, args); }
    // One reader: several would share the group and record its pictures in the order their
    // articles happen to arrive, and the gallery shows the newest recorded first.
    CliRun fetch(const std::string& group) {
        return run({"fetch", "--server", "127.0.0.1:" + std::to_string(m_server->port()),
                    "--threads", "1", group});
    }

    // Posts content as a file of that name, uuencoded, in the next article of group.
    void post(const std::string& group, const std::string& name, const std::string& content) {
        const int number = ++m_posted[group];
        const std::string id = "<" + std::to_string(number) + "." + group + "@t>";
        newsd::writeSpoolArticle(m_options.spool, group, number,
                                 "Subject: " + name + " (1/1)\nMessage-ID: " + id,
                                 uuencodeBody(content, name));
    }
    std::string picture(const std::string& convertArgs, const std::string& name) {
        const std::string path = m_dir.file("made/" + name);
        (void)makeDirectories(m_dir.file("made"));
        EXPECT_TRUE(convertPicture(convertArgs, path)) << convertArgs;
        return readWholeFile(path).value_or("");
    }

    std::string data() const { return m_dir.file("data/qmere"); }
    std::string folder(const std::string& group) const { return joinPath(data(), group); }
    std::string decoded(const std::string& group, const std::string& name) const {
        return joinPath(joinPath(folder(group), "news.dat"), name);
    }
    std::string thumb(const std::string& group, const std::string& name) const {
        return joinPath(joinPath(folder(group), "thumbs"), name + ".jpg");
    }

    // Every record, without the ids a rebuild gives afresh, by path.
    std::vector<StoredPicture> records(bool withMessageIds = true) const {
        PictureDatabase db(data(), [](std::string_view) {});
        EXPECT_TRUE(db.open());
        std::vector<StoredPicture> all = db.all();
        for (StoredPicture& p : all) {
            p.id = 0;
            if (!withMessageIds) p.messageId.clear();
        }
        std::sort(all.begin(), all.end(),
                  [](const StoredPicture& a, const StoredPicture& b) { return a.path < b.path; });
        return all;
    }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
    std::map<std::string, int> m_posted;
};

// The thumbnails named in a gallery page, in page order, with " near" after framed ones.
// Each card as its thumbnail's name, or its picture's name and "no preview" when it has none.
std::vector<std::string> galleryCells(const std::string& html) {
    static const std::regex cell(
        "<figure( class=\"near\")?><a [^>]*><img src=\"thumbs/([^\"]+)\"|"
        "<figure class=\"nopreview\"><a href=\"_view.html#news.dat%2F([^\"]+)\">");
    std::vector<std::string> out;
    for (std::sregex_iterator it(html.begin(), html.end(), cell), end; it != end; ++it) {
        if ((*it)[3].matched)
            out.push_back((*it)[3].str() + " no preview");
        else
            out.push_back((*it)[2].str() + ((*it)[1].matched ? " near" : ""));
    }
    return out;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(GalleryRunThreads, ARunShowsEveryPictureDropsACopyAndRebuildsTheSameDatabase) {
    const std::string sunset = picture("-seed 1 -size 640x480 plasma:fractal", "sunset.jpg");
    const std::string cut = picture("-seed 3 -size 400x300 plasma:fractal", "cut.jpg");
    post("alt.pics", "sunset.jpg", sunset);
    post("alt.pics", "harbour.png", picture("-seed 2 -size 300x400 plasma:fractal", "h.png"));
    post("alt.pics", "flag.gif",
         picture("-size 120x80 xc:navy -fill gold -draw 'rectangle 10,10 60,40'", "f.gif"));
    post("alt.pics", "tiles.bmp", picture("-size 256x256 pattern:checkerboard", "t.bmp"));
    post("alt.pics", "small-sunset.jpg",
         picture("'" + m_dir.file("made/sunset.jpg") + "' -resize 50% -quality 70", "s.jpg"));
    post("alt.pics", "sunset-again.jpg", sunset);
    // Hostile ones: cut off half way, and a header that declares 900 million pixels.
    post("alt.pics", "cut.jpg", cut.substr(0, cut.size() / 2));
    post("alt.pics", "huge.png", zeroPng(30000, 30000, false));

    CliRun r = fetch("alt.pics");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* name :
         {"sunset.jpg", "harbour.png", "flag.gif", "tiles.bmp", "small-sunset.jpg", "cut.jpg"})
        EXPECT_TRUE(fileExists(thumb("alt.pics", name))) << name;
    EXPECT_EQ(identifySize(thumb("alt.pics", "sunset.jpg")), "200x150");
    EXPECT_FALSE(fileExists(thumb("alt.pics", "huge.png")));
    EXPECT_TRUE(fileExists(decoded("alt.pics", "huge.png"))) << "kept, only not shown";

    // The copy: removed again, not catalogued, logged, and its article not fetched again.
    EXPECT_FALSE(fileExists(decoded("alt.pics", "sunset-again.jpg")));
    EXPECT_FALSE(contains(m_dir.read("data/qmere/alt.pics/data.lst"), "sunset-again.jpg"));
    EXPECT_TRUE(contains(m_dir.read("data/qmere/MSGLIST"), "<6.alt.pics@t>"));
    EXPECT_TRUE(contains(r.out, "Duplicate picture " + decoded("alt.pics", "sunset-again.jpg") +
                                    " removed: a copy of " + decoded("alt.pics", "sunset.jpg")))
        << r.out;

    // Newest first; the resized copy and its original framed as look-alikes, the picture too
    // large for a thumbnail shown without one.
    EXPECT_EQ(galleryCells(m_dir.read("data/qmere/alt.pics/gallery.html")),
              (std::vector<std::string>{"huge.png no preview", "cut.jpg.jpg",
                                        "small-sunset.jpg.jpg near", "tiles.bmp.jpg",
                                        "flag.gif.jpg", "harbour.png.jpg", "sunset.jpg.jpg near"}));
    EXPECT_TRUE(contains(m_dir.read("data/qmere/alt.pics/cont" + timeStamp(false) + ".html"),
                         "<a href=\"gallery.html\" target=_top>Gallery</a>"));
    CliRun dupes = run({"dupes"});
    EXPECT_EQ(dupes.status, 0) << dupes.err;
    const std::regex pair("near\t([0-9])\t([^\t]*)\t([^\t]*)\n");
    std::smatch found;
    ASSERT_TRUE(std::regex_match(dupes.out, found, pair)) << dupes.out;
    EXPECT_LE(std::stoi(found[1]), 6);
    EXPECT_EQ(found[2], decoded("alt.pics", "sunset.jpg"));
    EXPECT_EQ(found[3], decoded("alt.pics", "small-sunset.jpg"));

    // Rebuilt from the files with the database there, and again without it (message-ids
    // are what only the database knew).
    const std::vector<StoredPicture> built = records();
    ASSERT_EQ(built.size(), 7u);
    CliRun rebuilt = run({"gallery", "--rebuild"});
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.out << rebuilt.err;
    EXPECT_EQ(records(), built);
    for (const char* file : {"pictures.db", "pictures.db-wal", "pictures.db-shm"})
        std::remove(joinPath(data(), file).c_str());
    rebuilt = run({"gallery"});
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.out << rebuilt.err;
    EXPECT_TRUE(contains(rebuilt.out, "No picture database yet")) << rebuilt.out;
    std::vector<StoredPicture> withoutIds = built;
    for (StoredPicture& p : withoutIds) p.messageId.clear();
    EXPECT_EQ(records(false), withoutIds);

    // Without --rebuild, what went missing is made again, and the gallery's place is said.
    std::remove(thumb("alt.pics", "flag.gif").c_str());
    std::remove(joinPath(folder("alt.pics"), "gallery.html").c_str());
    CliRun caught = run({"gallery", "alt.pics"});
    ASSERT_EQ(caught.status, 0) << caught.out << caught.err;
    EXPECT_TRUE(fileExists(thumb("alt.pics", "flag.gif")));
    EXPECT_TRUE(contains(caught.out,
                         "alt.pics: 7 pictures, " + joinPath(folder("alt.pics"), "gallery.html")))
        << caught.out;
    EXPECT_EQ(run({"gallery", "alt.nothing"}).status, 1);
    EXPECT_EQ(run({"gallery", "--bogus"}).status, 2);
}

TEST_F(GalleryRunThreads, CopiesAreKeptWhenAskedAndAFirstCopyGoneMakesNoDuplicate) {
    const std::string sunset = picture("-seed 1 -size 320x240 plasma:fractal", "sunset.jpg");
    ASSERT_EQ(run({"config", "Skip duplicate pictures=0"}).status, 0);
    post("alt.copies", "sunset.jpg", sunset);
    post("alt.copies", "copy.jpg", sunset);
    ASSERT_EQ(fetch("alt.copies").status, 0);
    EXPECT_TRUE(fileExists(decoded("alt.copies", "copy.jpg")));
    CliRun dupes = run({"dupes", "alt.copies"});
    EXPECT_EQ(dupes.out, "copy\t0\t" + decoded("alt.copies", "sunset.jpg") + "\t" +
                             decoded("alt.copies", "copy.jpg") + "\n");
    EXPECT_EQ(run({"dupes", "alt.other"}).out, "");

    // Both copies deleted outside the program: a third is no duplicate of what is gone.
    ASSERT_EQ(run({"config", "Skip duplicate pictures=1"}).status, 0);
    std::remove(decoded("alt.copies", "sunset.jpg").c_str());
    std::remove(decoded("alt.copies", "copy.jpg").c_str());
    post("alt.copies", "third.jpg", sunset);
    CliRun r = fetch("alt.copies");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fileExists(decoded("alt.copies", "third.jpg")));
    EXPECT_FALSE(contains(r.out, "Duplicate picture")) << r.out;
}

// "Thumbnails" off leaves the picture work out: no record, no thumbnail, and no copy removed
// (finding copies needs the records). Turned on again, the next picture is catalogued.
TEST_F(GalleryRunThreads, ThumbnailsOffRecordsNothingAndMakesNoThumbnail) {
    const std::string sunset = picture("-seed 1 -size 320x240 plasma:fractal", "sunset.jpg");
    ASSERT_EQ(run({"config", "Thumbnails=0"}).status, 0);
    post("alt.plain", "sunset.jpg", sunset);
    post("alt.plain", "copy.jpg", sunset);
    CliRun off = fetch("alt.plain");
    ASSERT_EQ(off.status, 0) << off.out << off.err;
    EXPECT_TRUE(fileExists(decoded("alt.plain", "sunset.jpg")));
    EXPECT_TRUE(fileExists(decoded("alt.plain", "copy.jpg")));
    EXPECT_FALSE(fileExists(joinPath(data(), "pictures.db")));
    EXPECT_FALSE(fileExists(joinPath(folder("alt.plain"), "thumbs")));

    ASSERT_EQ(run({"config", "Thumbnails=1"}).status, 0);
    post("alt.plain", "harbour.png", picture("-seed 2 -size 300x400 plasma:fractal", "h.png"));
    CliRun on = fetch("alt.plain");
    ASSERT_EQ(on.status, 0) << on.out << on.err;
    EXPECT_TRUE(fileExists(thumb("alt.plain", "harbour.png")));
    const std::vector<StoredPicture> recorded = records();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].path, "alt.plain/news.dat/harbour.png");
}

// One program per data folder, for every command that writes it: while another program holds
// the folder (this one, as the window holds it), or when no lock can be taken there at all,
// each is refused with the reason and leaves the folder as it was.
TEST_F(GalleryRunThreads, EveryCommandThatWritesTheFolderIsRefusedWithoutItsLock) {
    post("alt.pics", "sunset.jpg", picture("-seed 1 -size 320x240 plasma:fractal", "s.jpg"));
    ASSERT_EQ(fetch("alt.pics").status, 0);
    const std::string gallery = joinPath(folder("alt.pics"), "gallery.html");
    ASSERT_EQ(std::remove(gallery.c_str()), 0);
    post("alt.pics", "harbour.png", picture("-seed 2 -size 300x400 plasma:fractal", "h.png"));
    const std::string text =
        m_dir.write("in/note.txt", "Subject: a note\n\n" + uuencodeBody("some text\n", "note.txt"));
    const std::vector<std::vector<std::string>> commands = {
        {"gallery"},
        {"gallery", "--rebuild"},
        {"dupes"},
        {"decode", text},
        {"fetch", "--server", "127.0.0.1:" + std::to_string(m_server->port()), "alt.pics"}};
    // The reason: how the message starts, and what it names.
    auto allRefused = [&](const std::string& reason, const std::string& named) {
        for (const std::vector<std::string>& args : commands) {
            CliRun r = run(args);
            EXPECT_EQ(r.status, 1) << args.back() << "\n" << r.out << r.err;
            EXPECT_TRUE(contains(r.err, "qmere-cli " + args[0] + ": " + reason) &&
                        contains(r.err, named))
                << args.back() << ": " << r.err;
        }
        EXPECT_FALSE(fileExists(gallery));
        EXPECT_FALSE(fileExists(decoded("alt.pics", "harbour.png")));
        EXPECT_FALSE(fileExists(joinPath(data(), "news.dat/note.txt")));
    };
    const std::string lockPath = joinPath(data(), ".qmere.lock");
    {
        LockFile window;
        ASSERT_EQ(window.acquire(lockPath), LockFile::Status::Held);
        allRefused("The data folder " + data(),
                   " is in use by process " + std::to_string(::getpid()));
    }
    ASSERT_EQ(std::remove(lockPath.c_str()), 0);
    ASSERT_EQ(makeDirectories(lockPath), 0);
    allRefused("Cannot lock the data folder " + data(), "(" + lockPath + ": Is a directory)");

    ASSERT_EQ(::rmdir(lockPath.c_str()), 0);
    CliRun shown = run({"gallery"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(fileExists(gallery));
}

}  // namespace
}  // namespace qm::test
