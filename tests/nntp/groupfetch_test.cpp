// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/groupfetchthread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "nntp/enginefixture.h"
#include "platform/paths.h"

namespace qm::test {
namespace {

using Lines = std::vector<std::string>;

class GroupFetchThreads : public EngineTest {
  protected:
    // The groups the list shows, in the order they first came (the view shows each once).
    Lines fetch() {
        GroupFetchThread worker(settings());
        EXPECT_EQ(worker.start(), 0);
        EXPECT_TRUE(worker.wait(std::chrono::seconds(30)));
        Lines shown;
        for (const std::string& name : m_frontend.offeredGroups())
            if (std::find(shown.begin(), shown.end(), name) == shown.end()) shown.push_back(name);
        return shown;
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

TEST_F(GroupFetchThreads, AnUnreachableServerIsReportedAtEveryRequestAndNothingSaved) {
    startServer();
    settings().useServerText("127.0.0.1 1");
    GroupFetchThread worker(settings());
    for (std::size_t request = 1; request <= 2; ++request) {
        ASSERT_EQ(worker.start(), 0);
        ASSERT_TRUE(worker.wait(std::chrono::seconds(30)));
        EXPECT_EQ(m_frontend.messages().size(), request) << "once per request, not per program";
    }
    EXPECT_EQ(m_frontend.offeredGroups(), Lines{});
    EXPECT_TRUE(m_frontend.logContains("Fail NNTP connection - 127.0.0.1"));
    EXPECT_EQ(groupsFile(), "<missing>");
}

TEST_F(GroupFetchThreads, ARefusedOrCutOffListIsNotSavedAndTheNextRequestAsksAgain) {
    for (const char* g : {"alt.a", "alt.b", "alt.c"})
        post(g, 1, "x", std::string("<1@") + g + ">", "x\n");
    struct Case {
        const char* fault;
        std::function<void(newsd::NewsServerOptions&)> set;
        const char* said;
    };
    const Case cases[] = {
        {"5xx", [](auto& o) { o.refuseList = 502; }, " was refused: 502 LIST refused"},
        {"480 and no login given",
         [](auto& o) {
             o.authUser = "joe";
             o.authPassword = "pw";
         },
         " needs a login, and none was given or accepted: 480 "},
        {"cut off", [](auto& o) { o.cutListAfter = 2; }, " was cut off after 2 groups"},
    };
    for (const Case& c : cases) {
        m_frontend.clear();
        m_options = newsd::NewsServerOptions{};
        m_options.spool = m_dir.file("spool");
        c.set(m_options);
        startServer();
        fetch();
        EXPECT_EQ(groupsFile(), "<missing>") << c.fault;
        ASSERT_EQ(m_frontend.messages().size(), 1u) << c.fault;
        EXPECT_NE(m_frontend.messages()[0].find(c.said), std::string::npos)
            << c.fault << ": " << m_frontend.messages()[0];
    }
    // The server mended: the list is asked for again, whole this time, and kept.
    m_options = newsd::NewsServerOptions{};
    m_options.spool = m_dir.file("spool");
    startServer();
    m_frontend.clear();
    EXPECT_EQ(fetch(), (Lines{"alt.a", "alt.b", "alt.c"}));
    EXPECT_EQ(m_server->commands(), (Lines{"CAPABILITIES", "LIST", "QUIT"}));
    EXPECT_EQ(groupsFile(), "alt.c\nalt.b\nalt.a\n.\n");
    EXPECT_TRUE(m_frontend.messages().empty());
}

TEST_F(GroupFetchThreads, GroupsKnownBeforeAreInTheListedGroups) {
    post("alt.subscribed", 1, "x", "<1@s>", "x\n");
    post("alt.new", 1, "x", "<1@n>", "x\n");
    startServer();
    ASSERT_EQ(makeDirectories(settings().groupListDirectory()), 0);
    ASSERT_TRUE(writeFileAtomic(joinPath(settings().groupListDirectory(), "Groups.sub"),
                                "alt.subscribed\n.\n"));
    settings().loadSubscribed();
    m_frontend.clear();
    Lines shown = fetch();
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, (Lines{"alt.new", "alt.subscribed"}));
    EXPECT_EQ(settings().allGroups.find("alt.subscribed"),
              settings().subscribedGroups.find("alt.subscribed"))
        << "the same entry, not a second one";
}

}  // namespace
}  // namespace qm::test
