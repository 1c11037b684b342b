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
    const std::vector<std::string> lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("No thumbnail for " + pictures[4].path, 0), 0u) << lines[0];
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
