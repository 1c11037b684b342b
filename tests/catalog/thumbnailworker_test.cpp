// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/thumbnailworker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <regex>
#include <thread>

#include "catalog/gallerypage.h"
#include "catalog/picturegroups.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/tempdir.h"

// libvips and the libraries under it (GLib, libjpeg, ...) hand memory between their own
// threads under locks of their own, built without the thread sanitizer, which then takes the
// frees and copies of that memory for races. Only code built with it is checked. Read by the
// thread sanitizer at start; nothing in other builds.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}

namespace qm {
namespace {

using namespace std::chrono_literals;

class ThumbnailWorkerThreads : public ::testing::Test {
  protected:
    ThumbnailWorker::Log log() {
        return [this](std::string_view line) {
            std::lock_guard lock(m_logMutex);
            m_log.emplace_back(line);
        };
    }
    std::vector<std::string> logged() {
        std::lock_guard lock(m_logMutex);
        return m_log;
    }
    std::vector<StoredPicture> recorded() {
        PictureDatabase db(m_groups.dataDirectory(), [](std::string_view) {});
        EXPECT_TRUE(db.open());
        return db.all();
    }
    std::string gallery(const std::string& group) {
        return m_dir.read("data/" + group + "/" + std::string(GalleryPageName));
    }

    test::TempDir m_dir;
    test::PictureGroups m_groups{m_dir};
    std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

// The thumbnails named in a gallery page, in page order, with " near" after marked ones.
std::vector<std::string> galleryCells(const std::string& html) {
    static const std::regex cell("<figure( class=\"near\")?><a [^>]*><img src=\"thumbs/([^\"]+)\"");
    std::vector<std::string> out;
    for (std::sregex_iterator it(html.begin(), html.end(), cell), end; it != end; ++it) {
        out.push_back((*it)[2].str() + ((*it)[1].matched ? " near" : ""));
    }
    return out;
}

TEST_F(ThumbnailWorkerThreads, DecodedPicturesGetThumbnailsRecordsAndGalleries) {
    ThumbnailWorker worker(m_groups.dataDirectory(), log());
    const auto& pictures = m_groups.pictures();
    // Two readers hand pictures over at once.
    std::thread other([&] {
        for (std::size_t i = 1; i < pictures.size(); i += 2) m_groups.submit(worker, pictures[i]);
    });
    for (std::size_t i = 0; i < pictures.size(); i += 2) m_groups.submit(worker, pictures[i]);
    other.join();
    // A copy is known as soon as the first was submitted, thumbnail made or not.
    DuplicateCheck copy = worker.check(pictures[0].path);
    ASSERT_TRUE(copy.first);
    EXPECT_EQ(copy.first->path, "alt.pictures.a/news.dat/sunset.jpg");
    EXPECT_FALSE(worker.check(m_dir.write("new.jpg", "other content")).first);

    ASSERT_TRUE(worker.waitIdle(60s));
    EXPECT_EQ(worker.counters().made, 6);
    EXPECT_EQ(worker.counters().unreadable, 1);
    for (const test::DecodedPicture& p : pictures) {
        EXPECT_EQ(fileExists(thumbnailPath(m_groups.folder(p), p.name)), p.name != "broken.jpg")
            << p.name;
    }
    // Newest first; the sunset, its smaller copy and its exact copy are marked alike.
    EXPECT_EQ(galleryCells(gallery("alt.pictures.a")),
              (std::vector<std::string>{"flag.gif.jpg", "small-sunset.jpg.jpg near",
                                        "harbour.png.jpg", "sunset.jpg.jpg near"}));
    EXPECT_EQ(galleryCells(gallery("alt.pictures.b")),
              (std::vector<std::string>{"sunset-again.jpg.jpg near", "tiles.bmp.jpg"}));
    EXPECT_NE(gallery("alt.pictures.a").find("Harbour &lt;at&gt; night &amp; more"),
              std::string::npos);

    const std::vector<StoredPicture> all = recorded();
    ASSERT_EQ(all.size(), pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        auto row = std::find_if(all.begin(), all.end(), [&](const StoredPicture& p) {
            return p.path == pictures[i].group + "/news.dat/" + pictures[i].name;
        });
        ASSERT_NE(row, all.end()) << pictures[i].name;
        EXPECT_EQ(row->state == PictureState::Unreadable, pictures[i].name == "broken.jpg");
        EXPECT_EQ(row->date, 1'700'000'000 + static_cast<std::int64_t>(i));  // when decoded
        EXPECT_EQ(row->subject, pictures[i].subject);
        EXPECT_EQ(row->messageId, "<" + pictures[i].name + "@example>");
    }
    // Said once the run is over, not as each file comes; a single file by name.
    EXPECT_TRUE(logged().empty());
    worker.summarizeUnreadable();
    const std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("No thumbnail for " + pictures[4].path, 0), 0u) << lines[0];
}

// A group of files that are no pictures gives one line, however many there are.
TEST_F(ThumbnailWorkerThreads, FilesThatAreNoPicturesAreSaidOnce) {
    ThumbnailWorker worker(m_groups.dataDirectory(), log());
    const std::string folder = m_dir.file("data/alt.videos");
    for (int i = 0; i < 5; ++i) {
        const std::string path =
            m_dir.write("data/alt.videos/news.dat/clip" + std::to_string(i) + ".jpg",
                        "not a picture " + std::to_string(i));
        worker.submit({path, "alt.videos", folder, "s", "<m>"}, worker.check(path));
    }
    ASSERT_TRUE(worker.waitIdle(60s));
    EXPECT_EQ(worker.counters().unreadable, 5);
    worker.stop();
    const std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("No thumbnail for 5 files (not a picture, or damaged), such as ", 0),
              0u)
        << lines[0];
}

// Only a file of the same size can be a copy; among those, the content decides, whether
// the first is recorded already or still queued, and however alike their first bytes are.
TEST_F(ThumbnailWorkerThreads, CopiesAreFoundByTheirWholeContent) {
    ThumbnailWorker worker(m_groups.dataDirectory(), log());
    const std::string head(5000, 'h');
    const std::string folder = m_dir.file("data/alt.copies");
    auto file = [&](const std::string& name, const std::string& content) {
        return m_dir.write("data/alt.copies/news.dat/" + name, content);
    };
    auto submit = [&](const std::string& path) {
        DuplicateCheck check = worker.check(path);
        worker.submit({path, "alt.copies", folder, "s", "<m>"}, check);
        return check;
    };
    const std::string first = file("first.jpg", head + "tail one");
    EXPECT_FALSE(submit(first).first);
    struct Case {
        const char* name;
        std::string content;
        bool copy;
    };
    for (const Case& c : {Case{"same.jpg", head + "tail one", true},
                          Case{"other-tail.jpg", head + "tail two", false},
                          Case{"other-head.jpg", "x" + head.substr(1) + "tail one", false},
                          Case{"longer.jpg", head + "tail one!", false}}) {
        DuplicateCheck check = worker.check(file(c.name, c.content));
        EXPECT_EQ(check.first.has_value(), c.copy) << c.name;
        if (check.first) {
            EXPECT_EQ(check.first->path, "alt.copies/news.dat/first.jpg");
        }
    }
    // The same once the first is recorded; and not at all once its file is gone.
    ASSERT_TRUE(worker.waitIdle(60s));
    EXPECT_TRUE(worker.check(file("same.jpg", head + "tail one")).first);
    EXPECT_FALSE(worker.check(file("other-tail.jpg", head + "tail two")).first);
    std::remove(first.c_str());
    EXPECT_FALSE(worker.check(file("same.jpg", head + "tail one")).first);
    EXPECT_TRUE(recorded().empty()) << "the stale record went";
}

// A long run keeps only so many pictures in memory for the checks: past that the recorded
// ones are found through the database again, and so are those of an earlier run.
TEST_F(ThumbnailWorkerThreads, CopiesAreFoundPastWhatIsKeptInMemory) {
    const std::string folder = m_dir.file("data/alt.long");
    auto file = [&](const std::string& name, const std::string& content) {
        return m_dir.write("data/alt.long/news.dat/" + name, content);
    };
    auto submit = [&](ThumbnailWorker& worker, const std::string& path) {
        worker.submit({path, "alt.long", folder, "s", "<m>"}, worker.check(path));
    };
    ThumbnailWorkerOptions small;
    small.knownLimit = 1;
    {
        ThumbnailWorker worker(m_groups.dataDirectory(), log(), small);
        submit(worker, file("a.jpg", "first picture, A"));
        ASSERT_TRUE(worker.waitIdle(60s));
        submit(worker, file("b.jpg", "other picture, B"));  // one of the same size
        ASSERT_TRUE(worker.waitIdle(60s));
        for (const char* original : {"a.jpg", "b.jpg"}) {
            const std::string content =
                m_dir.read("data/alt.long/news.dat/" + std::string(original));
            DuplicateCheck copy = worker.check(file(std::string("copy-of-") + original, content));
            ASSERT_TRUE(copy.first) << original;
            EXPECT_EQ(copy.first->path, "alt.long/news.dat/" + std::string(original));
        }
        EXPECT_FALSE(worker.check(file("c.jpg", "third picture, C")).first);
    }
    ThumbnailWorker next(m_groups.dataDirectory(), log());
    DuplicateCheck copy = next.check(file("again.jpg", "other picture, B"));
    ASSERT_TRUE(copy.first);
    EXPECT_EQ(copy.first->path, "alt.long/news.dat/b.jpg");
}

// With no room in the queue, pictures wait in the database; the worker catches up once its
// queue is empty, and a worker started later finishes what an earlier one left.
TEST_F(ThumbnailWorkerThreads, PicturesWithoutRoomOrLeftByAStopAreDoneLater) {
    const auto& pictures = m_groups.pictures();
    {
        ThumbnailWorkerOptions noRoom;
        noRoom.queueCapacity = 0;
        ThumbnailWorker full(m_groups.dataDirectory(), log(), noRoom);
        m_groups.submit(full, pictures[0]);
        m_groups.submit(full, pictures[1]);
        EXPECT_EQ(full.counters().deferred, 2);
        ASSERT_TRUE(full.waitIdle(60s));
        EXPECT_EQ(full.counters().made, 2);
    }
    {
        ThumbnailWorker stopped(m_groups.dataDirectory(), log());
        stopped.stop();
        m_groups.submit(stopped, pictures[2]);
        m_groups.submit(stopped, pictures[5]);
        EXPECT_EQ(stopped.counters().made, 0);
    }
    ThumbnailWorker next(m_groups.dataDirectory(), log());
    ASSERT_TRUE(next.waitIdle(60s));
    EXPECT_EQ(next.counters().made, 2);
    for (const StoredPicture& p : recorded()) EXPECT_EQ(p.state, PictureState::Shown) << p.path;
    EXPECT_EQ(galleryCells(gallery("alt.pictures.a")).size(), 3u);
    EXPECT_EQ(galleryCells(gallery("alt.pictures.b")).size(), 1u);
    EXPECT_TRUE(logged().empty()) << logged().front();
}

// A picture recorded in haste (no room, or a stop) waits without its digest: it is still
// found as the first of its copies, before and after the worker made its digest, and a stop
// leaves every queued picture in the database for the next start.
TEST_F(ThumbnailWorkerThreads, PicturesRecordedInHasteAreStillFirstCopies) {
    const auto& pictures = m_groups.pictures();
    const test::DecodedPicture& sunset = pictures[0];
    const test::DecodedPicture& again = pictures[6];  // the sunset's bytes in the other group
    {
        ThumbnailWorker stopped(m_groups.dataDirectory(), log());
        stopped.stop();
        m_groups.submit(stopped, sunset);
        ASSERT_EQ(recorded().size(), 1u);
        EXPECT_EQ(recorded()[0].sha256, UnknownDigest);
        EXPECT_TRUE(stopped.check(again.path).first) << "found by its file, digest unknown";
        PictureDatabase db(m_groups.dataDirectory(), [](std::string_view) {});
        ASSERT_TRUE(db.open());
        StoredPicture unknown;
        unknown.group = again.group;
        unknown.path = again.group + "/news.dat/" + again.name;
        ASSERT_TRUE(db.add(unknown));
        EXPECT_TRUE(db.duplicates({}, 0).empty()) << "two unknown digests are no copies";
        EXPECT_TRUE(db.remove(again.group + "/news.dat/" + again.name));
    }
    // Many queued at a stop: all recorded, none lost.
    std::vector<std::string> many;
    {
        ThumbnailWorker worker(m_groups.dataDirectory(), log());
        for (int i = 0; i < 200; ++i) {
            const std::string path =
                m_dir.write("data/alt.many/news.dat/" + std::to_string(i) + ".jpg",
                            "not a picture " + std::to_string(i));
            many.push_back(relativeToData(m_groups.dataDirectory(), path));
            worker.submit({path, "alt.many", m_dir.file("data/alt.many"), "s", "<m>"},
                          worker.check(path));
        }
        worker.stop();
        std::vector<std::string> paths;
        for (const StoredPicture& p : recorded()) paths.push_back(p.path);
        for (const std::string& path : many)
            EXPECT_NE(std::find(paths.begin(), paths.end(), path), paths.end()) << path;
    }
    ThumbnailWorker next(m_groups.dataDirectory(), log());
    ASSERT_TRUE(next.waitIdle(60s));
    for (const StoredPicture& p : recorded()) {
        EXPECT_NE(p.state, PictureState::Pending) << p.path;
        EXPECT_EQ(p.sha256, sha256OfFile(joinPath(m_groups.dataDirectory(), p.path))) << p.path;
    }
    DuplicateCheck copy = next.check(again.path);
    ASSERT_TRUE(copy.first);
    EXPECT_EQ(copy.first->path, sunset.group + "/news.dat/" + sunset.name);
    m_groups.submit(next, again);
    ASSERT_TRUE(next.waitIdle(60s));
    PictureDatabase db(m_groups.dataDirectory(), [](std::string_view) {});
    ASSERT_TRUE(db.open());
    const std::vector<DuplicatePair> pairs = db.duplicates({}, 0);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_TRUE(pairs[0].exact);
}

// A copy is found by the digest on record, but the first file may have been changed since:
// it is hashed again before the new one is taken for its copy (and removed). Changed, it is no
// first copy any more, and its record takes its new content, whether it is still queued or
// recorded by an earlier run (whose check reads the first bytes afresh, so only a change past
// them is left to the digest).
TEST_F(ThumbnailWorkerThreads, AFirstCopyChangedSinceItWasRecordedIsNoFirstCopy) {
    const std::string head(5000, 'h');
    const std::string folder = m_dir.file("data/alt.changed");
    auto file = [&](const std::string& name, const std::string& content) {
        return m_dir.write("data/alt.changed/news.dat/" + name, content);
    };
    const std::string first = file("first.jpg", head + "tail one");
    {
        ThumbnailWorker worker(m_groups.dataDirectory(), log());
        worker.submit({first, "alt.changed", folder, "s", "<m>"}, worker.check(first));
        ASSERT_TRUE(worker.check(file("copy.jpg", head + "tail one")).first);  // digests kept
        file("first.jpg", "x" + head.substr(1) + "tail two");                  // then changed
        EXPECT_FALSE(worker.check(file("copy.jpg", head + "tail one")).first);
        ASSERT_TRUE(worker.waitIdle(60s));
    }
    ASSERT_EQ(recorded().size(), 1u);
    EXPECT_EQ(recorded()[0].sha256, sha256OfFile(first)) << "recorded as it is now";

    const std::string changedHead = "x" + head.substr(1);
    file("first.jpg", changedHead + "tail six");
    ThumbnailWorker next(m_groups.dataDirectory(), log());
    EXPECT_FALSE(next.check(file("copy.jpg", changedHead + "tail two")).first);
    ASSERT_TRUE(next.waitIdle(60s));
    ASSERT_EQ(recorded().size(), 1u);
    EXPECT_EQ(recorded()[0].sha256, sha256OfFile(first));
    EXPECT_NE(recorded()[0].state, PictureState::Pending) << "its thumbnail made again";
    EXPECT_TRUE(next.check(file("copy.jpg", changedHead + "tail six")).first) << "as it is now";
}

// A killed program leaves pictures in the picture lists that the database lacks (queued, or
// catalogued from its journal at the next start). The next worker of the program's catalogue
// finds them by name and records them; those recorded before stay as they were.
TEST_F(ThumbnailWorkerThreads, ListedPicturesTheDatabaseLacksAreRecordedByTheNextWorker) {
    const auto& pictures = m_groups.pictures();
    ThumbnailWorkerOptions catalogue;
    catalogue.recordListed = true;
    {
        // The first worker makes the database: nothing listed is taken for missing then.
        ThumbnailWorker worker(m_groups.dataDirectory(), log(), catalogue);
        m_groups.submit(worker, pictures[0]);
        m_groups.submit(worker, pictures[5]);
        ASSERT_TRUE(worker.waitIdle(60s));
        EXPECT_EQ(worker.counters().made, 2);
    }
    ASSERT_EQ(recorded().size(), 2u);

    ThumbnailWorker next(m_groups.dataDirectory(), log(), catalogue);
    ASSERT_TRUE(next.waitIdle(60s));
    EXPECT_EQ(next.counters().made, 4);
    EXPECT_EQ(next.counters().unreadable, 1);
    const std::vector<StoredPicture> all = recorded();
    ASSERT_EQ(all.size(), pictures.size());
    for (const StoredPicture& p : all) {
        EXPECT_NE(p.state, PictureState::Pending) << p.path;
        EXPECT_EQ(p.sha256, sha256OfFile(joinPath(m_groups.dataDirectory(), p.path))) << p.path;
        // Recorded before and unchanged: kept as it was, message-id and all.
        const bool before = p.path == pictures[0].group + "/news.dat/" + pictures[0].name ||
                            p.path == pictures[5].group + "/news.dat/" + pictures[5].name;
        EXPECT_EQ(p.messageId.empty(), !before) << p.path;
    }
    EXPECT_EQ(galleryCells(gallery("alt.pictures.a")).size(), 4u);
    EXPECT_EQ(galleryCells(gallery("alt.pictures.b")).size(), 2u);
    const std::vector<std::string> lines = logged();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.find(": 5 pictures") != l.npos; }),
              lines.end());
}

// The database is never required: without one the thumbnails are still made.
TEST_F(ThumbnailWorkerThreads, WithoutADatabaseThumbnailsAreStillMade) {
    ASSERT_EQ(makeDirectories(m_dir.file("data/pictures.db")), 0);  // a folder in its place
    ThumbnailWorker worker(m_groups.dataDirectory(), log());
    const test::DecodedPicture& sunset = m_groups.pictures()[0];
    m_groups.submit(worker, sunset);
    EXPECT_FALSE(worker.check(sunset.path).first);
    ASSERT_TRUE(worker.waitIdle(60s));
    EXPECT_EQ(worker.counters().made, 1);
    EXPECT_TRUE(fileExists(thumbnailPath(m_groups.folder(sunset), sunset.name)));
    ASSERT_FALSE(logged().empty());
    EXPECT_NE(logged()[0].find("pictures.db"), std::string::npos) << logged()[0];
}

}  // namespace
}  // namespace qm
