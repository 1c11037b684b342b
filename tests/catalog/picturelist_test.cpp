// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturelist.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <thread>
#include <vector>

#include "config/threadcontext.h"
#include "decode/savedarticle.h"
#include "model/locks.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm {
namespace {

class PictureListTest : public ::testing::Test {
  protected:
    PictureListTest() : m_xdg(m_dir), m_profile(profilePath()), m_settings(m_frontend, m_profile) {
        m_settings.dataDirectory = m_dir.file("data");
        EXPECT_EQ(makeDirectories(groupDirectory(m_settings, m_group)), 0);
    }
    ~PictureListTest() override { ThreadContext::current() = ThreadContext{}; }

    std::string listPath() { return joinPath(groupDirectory(m_settings, m_group), "data.lst"); }
    void writeList(std::string_view content) { m_dir.write("data/alt.pics/data.lst", content); }
    std::string readList() { return m_dir.read("data/alt.pics/data.lst"); }

    test::TempDir m_dir;
    test::ScopedXdgHome m_xdg;
    Profile m_profile;
    test::RecordingFrontend m_frontend;
    AppSettings m_settings;
    GroupEntry m_group{"alt.pics"};
};

TEST_F(PictureListTest, LinesSplitAtTheirFirstThreeTabs) {
    struct Case {
        const char* line;
        const char* name;
        PictureRecord record;
    };
    const Case cases[] = {
        {"a description\tpic1.jpg\t12071630-1998\tV\n",
         "pic1.jpg",
         {"a description", "12071630-1998", 'V'}},
        {"whole line\n", "whole line", {"whole line", "0", 'N'}},
        {"a\tb\n", "b", {"a", "0", 'N'}},
        {"a\tb\tdate\n", "b", {"a", "date", 'N'}},
        {"a\tb\tdate\t\n", "b", {"a", "date", 'N'}},  // an empty mark keeps 'N'
        {"a\tb\tdate\tVx\textra\r\n", "b", {"a", "date", 'V'}},
    };
    for (const Case& c : cases) {
        m_group.ensureStats().pictures.clear();
        writeList(c.line);
        loadPictureList(m_settings, m_group);
        auto found = findPicture(m_group, c.name);
        ASSERT_TRUE(found) << c.line;
        EXPECT_EQ(*found, c.record) << c.line;
        EXPECT_EQ(m_group.stats()->pictures.size(), 1u) << c.line;
    }
}

TEST_F(PictureListTest, ARecordSavedGivesBackTheSameLine) {
    const std::string line = "a description\tpic1.jpg\t12071630-1998\tV\n";
    writeList(line);
    (void)pictures(m_settings, m_group);
    writeList("");
    savePictureList(m_settings, m_group);
    EXPECT_EQ(readList(), line);
}

TEST_F(PictureListTest, SavingAfterEveryRecordWasDetachedWritesAnEmptyFile) {
    writeList("d\tone.jpg\t1\tN\nd\ttwo.jpg\t1\tN\n");
    (void)pictures(m_settings, m_group);
    EXPECT_EQ(detachPicture(m_group, "one.jpg"), 0);
    EXPECT_EQ(detachPicture(m_group, "two.jpg"), 0);
    EXPECT_EQ(detachPicture(m_group, "never.jpg"), -1);
    EXPECT_FALSE(findPicture(m_group, "one.jpg"));
    savePictureList(m_settings, m_group);
    EXPECT_EQ(readList(), "");
    EXPECT_TRUE(m_frontend.logLines().empty());
}

TEST_F(PictureListTest, SavingAListThatNeverHadAKeyOnlyLogs) {
    m_group.ensureStats();
    savePictureList(m_settings, m_group);
    EXPECT_EQ(m_frontend.logLines(),
              std::vector<std::string>{"Picture list is empty for alt.pics"});
    EXPECT_EQ(readList(), "<missing>");
}

TEST_F(PictureListTest, AGroupWhoseContentsPageWasNeverPreparedRecordsNothing) {
    m_group.ensureStats();
    EXPECT_EQ(recordDecodedFile(m_settings, m_group, "<a>", m_dir.file("pic.jpg")), -1);
    EXPECT_FALSE(findPicture(m_group, "pic.jpg"));
    EXPECT_EQ(m_group.stats()->decoded.load(), 0);
    EXPECT_TRUE(m_frontend.updatedRows().empty());
}

TEST_F(PictureListTest, ADecodedFileIsAppendedCountedAndCatalogued) {
    GroupStats& stats = m_group.ensureStats();
    stats.setContPage(m_dir.file("cont.html"));
    ASSERT_EQ(recordDecodedFile(m_settings, m_group, "<a href=x>", "/d/news.dat/pic.jpg"), 0);
    ASSERT_EQ(recordDecodedFile(m_settings, m_group, "<b>", "no-slash.jpg"), 0);
    EXPECT_EQ(m_dir.read("cont.html"), "<a href=x>\n<b>\n");
    EXPECT_EQ(stats.decoded.load(), 2);
    EXPECT_EQ(m_frontend.updatedRows().size(), 2u);
    auto record = findPicture(m_group, "pic.jpg");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->description, "No description");
    EXPECT_EQ(record->mark, 'N');
    EXPECT_TRUE(std::regex_match(record->date, std::regex(R"(\d{8}-\d{4})"))) << record->date;
    EXPECT_FALSE(findPicture(m_group, "no-slash.jpg")) << "a path without a folder is not kept";
}

TEST_F(PictureListTest, TheDescriptionIsTheSubjectCutTo36Characters) {
    m_group.ensureStats().setContPage(m_dir.file("cont.html"));
    ASSERT_EQ(
        recordDecodedFile(m_settings, m_group, "f", "/d/p.gif",
                          "A subject\twith a tab that is much longer than 36 characters (1/1)"),
        0);
    auto record = findPicture(m_group, "p.gif");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->description, "A subject with a tab that is much lo");
    savePictureList(m_settings, m_group);
    std::string saved = readList();
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\t'), 3) << saved;
}

TEST_F(PictureListTest, PictureNamesGoByTheirLastExtension) {
    struct Case {
        const char* name;
        bool picture;
    };
    const Case cases[] = {
        {"pic.JPG", true}, {"a.gif", true},    {"a.jpeg", true},  {"a.Tip", true},
        {"a.bmp", true},   {"pic.tif", false}, {"readme", false}, {"x.jpeg.txt", false},
        {"jpg", false},    {".jpg", true},     {"a.jpg.", false}, {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(isPictureName(c.name), c.picture) << c.name;
}

TEST_F(PictureListTest, CountAssembledCountsForTheArticlesGroup) {
    countAssembled(nullptr);   // no group: nothing
    countAssembled(&m_group);  // no stats yet: nothing
    m_group.ensureStats();
    countAssembled(&m_group);
    countAssembled(&m_group);
    EXPECT_EQ(m_group.stats()->assembled.load(), 2);
}

TEST_F(PictureListTest, AListWriteThatFailsHalfWayKeepsTheOldFile) {
    writeList("old\told.jpg\t1\tN\n");
    m_group.ensureStats();
    for (int i = 0; i < 500; ++i) {
        setPicture(m_settings, m_group, "pic" + std::to_string(i) + ".jpg",
                   PictureRecord{std::string(30, 'd'), "12071630-1998", 'N'});
    }
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    savePictureList(m_settings, m_group);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);
    EXPECT_EQ(readList(), "old\told.jpg\t1\tN\n");
    EXPECT_EQ(m_frontend.messages(),
              std::vector<std::string>{"Fail to save picture list for alt.pics"});
}

class PictureListThreads : public PictureListTest {};

// A reader records files while the file manager views and detaches them on another thread.
TEST_F(PictureListThreads, ReaderAndFileManagerShareTheList) {
    m_group.ensureStats().setContPage(m_dir.file("cont.html"));
    std::thread reader([this] {
        for (int i = 0; i < 200; ++i) {
            std::string path = "/d/f" + std::to_string(i) + ".jpg";
            EXPECT_EQ(recordDecodedFile(m_settings, m_group, "x", path), 0);
            if (i % 50 == 0) savePictureList(m_settings, m_group);
        }
    });
    for (int i = 0; i < 200; ++i) {
        std::string name = "f" + std::to_string(i) + ".jpg";
        if (auto r = findPicture(m_group, name)) {
            r->mark = 'V';
            setPicture(m_settings, m_group, name, r);
        }
        (void)detachPicture(m_group, "f" + std::to_string(i / 2) + ".jpg");
    }
    reader.join();
    savePictureList(m_settings, m_group);
    std::lock_guard lock(PictureListLock);
    EXPECT_EQ(pictures(m_settings, m_group).size(), 200u);
    EXPECT_EQ(m_group.stats()->decoded.load(), 200);
}

}  // namespace
}  // namespace qm
