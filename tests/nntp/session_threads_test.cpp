// SPDX-License-Identifier: GPL-3.0-or-later
// The session's runs against the fixture news server, with the window thread's operations
// forced into the middle of a run: what readers read must not change under them, and what
// they write must be read under its lock.
#include "session/session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>

#include "enginefixture.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "nntp/readerpool.h"
#include "platform/file.h"
#include "platform/lockfile.h"
#include "platform/paths.h"

namespace qm::test {
namespace {

class SessionThreads : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        m_options.spool = m_dir.file("spool");
        m_session = std::make_unique<Session>(m_frontend, m_profile);
        SessionTestAccess::settings(*m_session).browserLookup = [] {
            return std::string("/bin/true");
        };
        ASSERT_TRUE(m_profile.setString("Config", "Data", m_dir.file("data")));
        ASSERT_TRUE(m_session->load({}).error.empty());
    }
    void TearDown() override {
        m_session.reset();
        EngineTest::TearDown();
    }

    void serve() {
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
        m_session->switchServer("127.0.0.1 " + std::to_string(m_server->port()));
    }
    GroupEntry& sessionGroup(std::string_view name) {
        AppSettings& s = SessionTestAccess::settings(*m_session);
        if (GroupEntry* known = s.allGroups.find(name)) return *known;
        GroupEntry& entry = s.newGroup(name, Active | Selected);
        s.allGroups.add(entry);
        return entry;
    }
    void postPictures(std::string_view group, int count) {
        for (int i = 1; i <= count; ++i) {
            const std::string name = std::string(group) + "-" + std::to_string(i) + ".jpg";
            // Each group's own bytes: a copy from another group would be skipped as one.
            const unsigned seed = static_cast<unsigned>(std::hash<std::string_view>{}(group)) + i;
            post(group, i, name, "<" + name + "@test>", uuencode(name, pictureBytes(300, seed)));
        }
    }
    // Starts a run of the session over the groups; the caller finishes it.
    void start(std::initializer_list<std::string_view> names, int readers) {
        GroupTable table;
        for (std::string_view name : names) table.add(sessionGroup(name));
        m_session->prepareReaders(readers);
        ASSERT_EQ(m_session->startRun(table), 0);
    }
    bool waitForEnd(int before) {
        return waitFor([&] { return m_frontend.runsFinished() > before; });
    }
    bool knows(std::string_view id) {
        std::lock_guard lock(DecodeLock);
        return SessionTestAccess::settings(*m_session).messageIds.contains(id) != 0;
    }

    std::unique_ptr<Session> m_session;
};

TEST_F(SessionThreads, ADataDirectoryChangeWaitsForTheRunAndKeepsEachFoldersHistory) {
    postPictures("alt.one", 3);
    serve();
    const std::string first = m_session->settings().dataDirectory;
    const std::string second = m_dir.file("other data");
    const int before = m_frontend.runsFinished();
    start({"alt.one"}, 2);
    // Given while the readers may be reading the data directory and the index.
    ConfigValues values = m_session->configuration();
    values.dataDirectory = second;
    const Session::Applied applied = m_session->applyConfiguration(values);
    EXPECT_TRUE(applied.deferred);
    EXPECT_EQ(m_session->settings().dataDirectory, first);
    EXPECT_EQ(m_session->configuration().dataDirectory, second) << "the dialog shows it";
    ASSERT_TRUE(waitForEnd(before));
    EXPECT_TRUE(m_session->finishRun()) << "applied once the run is over";
    EXPECT_EQ(m_session->settings().dataDirectory, second);
    EXPECT_FALSE(knows("<alt.one-1.jpg@test>")) << "the new folder has a history of its own";
    // The lock moved with it.
    LockFile probe;
    EXPECT_EQ(probe.acquire(joinPath(first, ".qmere.lock")), LockFile::Status::Held);
    probe.release();
    EXPECT_EQ(probe.acquire(joinPath(second, ".qmere.lock")), LockFile::Status::InUse);

    // A folder another program works in is refused, and nothing changes.
    const std::string taken = m_dir.file("taken");
    ASSERT_EQ(makeDirectories(taken), 0);
    ASSERT_EQ(probe.acquire(joinPath(taken, ".qmere.lock")), LockFile::Status::Held);
    values.dataDirectory = taken;
    values.keepText = 1;
    const Session::Applied refused = m_session->applyConfiguration(values);
    EXPECT_TRUE(refused.refused);
    EXPECT_NE(refused.message.value_or("").find("in use by process " + std::to_string(getpid())),
              std::string::npos);
    EXPECT_EQ(m_session->settings().dataDirectory, second);
    EXPECT_EQ(m_session->settings().keepText, 0);

    // Back to the first folder: its duplicate history is still there.
    values.keepText = 0;
    values.dataDirectory = first;
    EXPECT_TRUE(m_session->applyConfiguration(values).dataDirectoryChanged);
    for (const char* id : {"<alt.one-1.jpg@test>", "<alt.one-2.jpg@test>", "<alt.one-3.jpg@test>"})
        EXPECT_TRUE(knows(id)) << id;
}

TEST_F(SessionThreads, ANewDataFolderBringsItsOwnPositionsPicturesCountsAndLists) {
    postPictures("alt.one", 3);
    serve();
    AppSettings& s = SessionTestAccess::settings(*m_session);
    const std::string first = s.dataDirectory;
    const std::string second = m_dir.file("second");
    GroupEntry& one = sessionGroup("alt.one");
    GroupEntry& dropped = sessionGroup("alt.dropped");
    s.select(one);
    s.select(dropped);
    ASSERT_TRUE(s.saveSettings());
    int before = m_frontend.runsFinished();
    start({"alt.one"}, 1);
    ASSERT_TRUE(waitForEnd(before));
    m_session->finishRun();
    ASSERT_EQ(one.stats()->current.load(), 3);
    ASSERT_EQ(one.stats()->decoded.load(), 3);
    s.deselect(dropped);  // as "<< Remove" does, not saved yet

    ConfigValues values = m_session->configuration();
    values.dataDirectory = second;
    ASSERT_TRUE(m_session->applyConfiguration(values).dataDirectoryChanged);
    for (GroupEntry* g : s.selectedGroups.entries()) g->set(Selected);  // as the window refills
    const GroupStats& stats = *one.stats();
    EXPECT_EQ(stats.current.load(), -1) << "the new folder has no position for it";
    EXPECT_EQ(stats.decoded.load(), 0);
    EXPECT_EQ(stats.idxPage(), "");
    {
        std::lock_guard lock(PictureListLock);
        EXPECT_TRUE(stats.pictures.empty());
    }
    EXPECT_TRUE(s.selectedGroups.find("alt.one"));
    EXPECT_FALSE(s.selectedGroups.find("alt.dropped")) << "a group removed stays removed";

    // Read from its start into the new folder; the old folder keeps what it had.
    before = m_frontend.runsFinished();
    start({"alt.one"}, 1);
    ASSERT_TRUE(waitForEnd(before));
    m_session->finishRun();
    EXPECT_EQ(stats.decoded.load(), 3);
    for (const std::string& folder : {first, second}) {
        EXPECT_EQ(readWholeFile(joinPath(folder, "alt.one/Last")).value_or(""), "3") << folder;
        for (int i = 1; i <= 3; ++i)
            EXPECT_TRUE(fileExists(
                joinPath(folder, "alt.one/news.dat/alt.one-" + std::to_string(i) + ".jpg")))
                << folder << " " << i;
        const std::string list = readWholeFile(joinPath(folder, "alt.one/data.lst")).value_or("");
        EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 3) << folder << ":\n" << list;
    }
}

TEST_F(SessionThreads, TheVisitedGroupsAreReadWhileReadersAddToThem) {
    std::vector<std::string> names;
    for (int g = 0; g < 24; ++g) {
        names.push_back("alt.visit." + std::to_string(g));
        postPictures(names.back(), 1);
    }
    serve();
    GroupTable table;
    for (const std::string& name : names) table.add(sessionGroup(name));
    const int before = m_frontend.runsFinished();
    m_session->prepareReaders(4);
    ASSERT_EQ(m_session->startRun(table), 0);
    // The file manager's reads, as readers mark their groups visited.
    std::size_t seen = 0;
    while (m_frontend.runsFinished() == before) {
        seen = m_session->visitedGroups().size();
        (void)m_session->findVisited(names.back());
    }
    m_session->finishRun();
    EXPECT_EQ(m_session->visitedGroups().size(), names.size() + 1) << "and My-Collection";
    EXPECT_LE(seen, names.size() + 1);
}

TEST_F(SessionThreads, AGroupShowsNoArticleInProgressOnceItsReaderHasMovedOn) {
    postPictures("alt.first", 2);
    postPictures("alt.second", 2);
    serve();
    const int before = m_frontend.runsFinished();
    start({"alt.first", "alt.second"}, 1);
    ASSERT_TRUE(waitForEnd(before));
    m_session->finishRun();
    // The one reader read both groups; its article record now holds the second group's last
    // article, which the monitor must not show under the first.
    for (const char* name : {"alt.first", "alt.second"}) {
        const GroupStats* stats = sessionGroup(name).stats();
        ASSERT_TRUE(stats) << name;
        EXPECT_EQ(stats->decoded.load(), 2) << name;
        EXPECT_EQ(stats->articleInProgress.load(), nullptr) << name;
    }
}

}  // namespace
}  // namespace qm::test
