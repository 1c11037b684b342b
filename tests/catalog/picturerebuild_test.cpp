// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturerebuild.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "catalog/gallerypage.h"
#include "catalog/picturegroups.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/tempdir.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

// Records without their ids (a rebuild numbers them afresh), by path.
std::vector<StoredPicture> withoutIds(std::vector<StoredPicture> pictures) {
    for (StoredPicture& p : pictures) p.id = 0;
    std::sort(pictures.begin(), pictures.end(),
              [](const StoredPicture& a, const StoredPicture& b) { return a.path < b.path; });
    return pictures;
}

class PictureRebuildTest : public ::testing::Test {
  protected:
    PictureRebuildTest() {
        // The run: every picture handed to the worker as it was decoded.
        ThumbnailWorker worker(m_groups.dataDirectory(), [](std::string_view) {});
        for (const test::DecodedPicture& p : m_groups.pictures()) m_groups.submit(worker, p);
        EXPECT_TRUE(worker.waitIdle(60s));
        worker.stop();
        m_recorded = withoutIds(open().all());
        for (const char* group : {"alt.pictures.a", "alt.pictures.b"})
            m_galleries.push_back(gallery(group));
    }

    PictureDatabase& open() {
        m_db = std::make_unique<PictureDatabase>(m_groups.dataDirectory(), [](std::string_view) {});
        EXPECT_TRUE(m_db->open());
        return *m_db;
    }
    RebuildReport rebuild() {
        Thumbnailer thumbnailer([](std::string_view) {});
        return rebuildPictures(open(), thumbnailer, pictureGroupsIn(m_groups.dataDirectory()));
    }
    std::string gallery(const std::string& group) {
        return m_dir.read("data/" + group + "/" + std::string(GalleryPageName));
    }
    std::vector<std::string> galleries() {
        return {gallery("alt.pictures.a"), gallery("alt.pictures.b")};
    }

    test::TempDir m_dir;
    test::PictureGroups m_groups{m_dir};
    std::unique_ptr<PictureDatabase> m_db;
    std::vector<StoredPicture> m_recorded;
    std::vector<std::string> m_galleries;
};

TEST_F(PictureRebuildTest, RebuildingInPlaceGivesWhatRecordingGave) {
    // Damage on disk the rebuild repairs: a thumbnail lost, one of a picture since deleted.
    const std::string folder = m_dir.file("data/alt.pictures.a");
    ASSERT_EQ(std::remove(thumbnailPath(folder, "flag.gif").c_str()), 0);
    ASSERT_TRUE(writeFileAtomic(thumbnailPath(folder, "deleted.jpg"), "old thumbnail"));
    std::remove(joinPath(folder, std::string(GalleryPageName)).c_str());

    RebuildReport report = rebuild();
    EXPECT_TRUE(report.stored);
    EXPECT_EQ(report.pictures, 7);
    EXPECT_EQ(report.shown, 6);
    EXPECT_EQ(report.removedThumbnails, 1);
    EXPECT_EQ(report.unreadable, 1) << "counted, to be said once";
    EXPECT_NE(report.firstUnreadable.find(m_dir.file("data/")), std::string::npos);
    EXPECT_EQ(withoutIds(m_db->all()), m_recorded);
    EXPECT_TRUE(fileExists(thumbnailPath(folder, "flag.gif")));
    EXPECT_EQ(galleries(), m_galleries);
}

// With the database gone, all but what only the articles knew comes back from the files.
TEST_F(PictureRebuildTest, RebuildingALostDatabaseGivesWhatRecordingGaveButMessageIds) {
    m_db.reset();
    for (const char* file : {"pictures.db", "pictures.db-wal", "pictures.db-shm"}) {
        std::remove(m_dir.file(std::string("data/") + file).c_str());
    }
    // A picture listed whose file is gone is left out.
    ASSERT_EQ(std::remove(m_groups.pictures()[3].path.c_str()), 0);

    RebuildReport report = rebuild();
    EXPECT_EQ(report.missing, 1);
    std::vector<StoredPicture> expected;
    for (StoredPicture p : m_recorded) {
        p.messageId.clear();
        if (!p.path.ends_with("flag.gif")) expected.push_back(p);
    }
    EXPECT_EQ(withoutIds(m_db->all()), expected);
    EXPECT_EQ(gallery("alt.pictures.b"), m_galleries[1]);
}

// Folder names stand for group names with "/" and "%" encoded.
TEST(PictureGroupsTest, GroupNamesAreReadBackFromTheirFolders) {
    test::TempDir dir;
    for (const char* folder : {"alt.a", "odd%2Fname%25", "%2E%2E", "no-list"}) {
        if (std::string_view(folder) != "no-list") dir.write(std::string(folder) + "/data.lst", "");
        ASSERT_EQ(makeDirectories(dir.file(folder)), 0);
    }
    std::vector<std::string> names;
    for (const PictureGroup& g : pictureGroupsIn(dir.path())) {
        names.push_back(g.name);
        EXPECT_EQ(g.folder.rfind(dir.path() + "/", 0), 0u);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"..", "alt.a", "odd/name%"}));
}

}  // namespace
}  // namespace qm
