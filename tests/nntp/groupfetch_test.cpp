#include "nntp/groupfetchthread.h"

#include <gtest/gtest.h>

#include <chrono>

#include "nntp/enginefixture.h"
#include "platform/paths.h"

namespace qm::test {
namespace {

using Lines = std::vector<std::string>;

class GroupFetchThreads : public EngineTest {
  protected:
    Lines fetch() {
        GroupFetchThread worker(settings());
        EXPECT_EQ(worker.start(), 0);
        EXPECT_TRUE(worker.wait(std::chrono::seconds(30)));
        return m_frontend.offeredGroups();
    }
    std::string groupsFile() const {
        return m_dir.read(
            joinPath(m_settings->groupListDirectory(), "Groups").substr(m_dir.path().size() + 1));
    }
};

TEST_F(GroupFetchThreads, ACompleteGroupsFileNeedsNoConnection) {
    startServer();
    ASSERT_EQ(makeDirectories(settings().groupListDirectory()), 0);
    ASSERT_TRUE(
        writeFileAtomic(joinPath(settings().groupListDirectory(), "Groups"), "alt.a\nalt.b\n.\n"));
    EXPECT_EQ(fetch(), (Lines{"alt.a", "alt.b"}));
    EXPECT_EQ(m_server->connectionsAccepted(), 0);
    EXPECT_EQ(m_frontend.groupListsFinished(), 1);
}

TEST_F(GroupFetchThreads, AnIncompleteFileIsCompletedFromListWithoutDuplicates) {
    post("alt.b", 1, "x", "<1@b>", "x\n");
    post("alt.c", 1, "x", "<1@c>", "x\n");
    startServer();
    ASSERT_EQ(makeDirectories(settings().groupListDirectory()), 0);
    ASSERT_TRUE(
        writeFileAtomic(joinPath(settings().groupListDirectory(), "Groups"), "alt.a\nalt.b\n"));
    EXPECT_EQ(fetch(), (Lines{"alt.a", "alt.b", "alt.c"}));
    EXPECT_EQ(m_server->commands(), (Lines{"CAPABILITIES", "LIST", "QUIT"}));
    EXPECT_EQ(groupsFile(), "alt.c\nalt.b\nalt.a\n.\n");
    EXPECT_TRUE(m_frontend.logContains("....retrieving LIST of groups..."));
    EXPECT_TRUE(m_frontend.logContains("Connection to NNTP server closed."));
}

TEST_F(GroupFetchThreads, AStopDuringListKeepsWhatCameAndWritesNoFile) {
    for (int i = 0; i < 40; ++i) post("alt.g" + std::to_string(i), 1, "x", "<x@g>", "x\n");
    m_options.lineDelayMs = 100;
    startServer();
    GroupFetchThread worker(settings());
    ASSERT_EQ(worker.start(), 0);
    ASSERT_TRUE(waitFor([&] { return m_frontend.offeredGroups().size() >= 2; }));
    const auto start = std::chrono::steady_clock::now();
    worker.stop();
    ASSERT_TRUE(worker.wait(std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
    EXPECT_LT(m_frontend.offeredGroups().size(), 40u);
    EXPECT_TRUE(m_frontend.logContains("Abort action. - "));
    EXPECT_EQ(groupsFile(), "<missing>");
}

TEST_F(GroupFetchThreads, AnUnreachableServerIsReportedAndNothingSaved) {
    startServer();
    settings().useServerText("127.0.0.1 1");
    EXPECT_EQ(fetch(), Lines{});
    EXPECT_EQ(m_frontend.messages().size(), 1u);
    EXPECT_TRUE(m_frontend.logContains("Fail NNTP connection - 127.0.0.1"));
    EXPECT_EQ(groupsFile(), "<missing>");
}

}  // namespace
}  // namespace qm::test
