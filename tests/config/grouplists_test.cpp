// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include "config/appsettings.h"
#include "settingsfixture.h"

namespace qm {
namespace {

using test::SettingsTest;

std::vector<std::string> names(const GroupTable& table) {
    std::vector<std::string> out;
    for (const GroupEntry* e : table.entries()) out.push_back(e->name());
    return out;
}

class GroupListsTest : public SettingsTest {
  protected:
    std::string listFile(std::string_view name) {
        return joinPath(settings().groupListDirectory(), name);
    }
    void writeList(std::string_view name, std::string_view content) {
        m_dir.write(listFile(name).substr(m_dir.path().size() + 1), content);
    }
    std::string readList(std::string_view name) {
        return m_dir.read(listFile(name).substr(m_dir.path().size() + 1));
    }
};

TEST_F(GroupListsTest, AListLoadedAndSavedComesOutInReverseOrder) {
    writeList("Groups.fet", "a.b\nc.d\n.\n");
    EXPECT_EQ(settings().loadList(settings().selectedGroups, "Groups.fet", false), 0);
    EXPECT_EQ(names(settings().selectedGroups), (std::vector<std::string>{"c.d", "a.b"}));
    EXPECT_EQ(settings().saveList(settings().selectedGroups, "Groups.fet"), 0);
    EXPECT_EQ(readList("Groups.fet"), "c.d\na.b\n.\n");
}

TEST_F(GroupListsTest, ListFilesAreReadAsWordsUntilTheDotLine) {
    struct Case {
        const char* content;
        int result;
        std::vector<std::string> loaded;  // front first
    };
    const std::vector<Case> cases = {
        {"a.b\n", -1, {"a.b"}},                                // no "." line: incomplete, kept
        {"a.b c.d\t e.f\r\n.\r\n", 0, {"e.f", "c.d", "a.b"}},  // any white space splits
        {"a.b\n.\nafter.dot\n", 0, {"a.b"}},                   // nothing after "." is read
        {"a.b\na.b\n.\n", 0, {"a.b"}},                         // a name twice is added once
        {"", -1, {}},
        {".", 0, {}},
    };
    for (const Case& c : cases) {
        AppSettings& s = fresh();
        writeList("Groups.fet", c.content);
        EXPECT_EQ(s.loadList(s.selectedGroups, "Groups.fet", false), c.result) << c.content;
        EXPECT_EQ(names(s.selectedGroups), c.loaded) << c.content;
    }
}

TEST_F(GroupListsTest, SubscribedGroupsShareTheirEntryWithAllGroups) {
    writeList("Groups.sub", "alt.x\n.\n");
    settings().loadSubscribed();
    GroupEntry* sub = settings().subscribedGroups.find("alt.x");
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(settings().allGroups.find("alt.x"), sub);
    EXPECT_TRUE(sub->has(Subscribed));
    EXPECT_TRUE(sub->has(Active));
    EXPECT_EQ(m_frontend.offeredGroups(), std::vector<std::string>{"alt.x"});
}

TEST_F(GroupListsTest, LoadingGroupsAgainFindsEveryNameAndOffersItAgain) {
    writeList("Groups", "a.b\nc.d\n.\n");
    AppSettings& s = settings();
    ASSERT_EQ(s.loadList(s.allGroups, "Groups", true), 0);
    GroupEntry* first = s.allGroups.find("a.b");
    ASSERT_EQ(s.loadList(s.allGroups, "Groups", true), 0);
    EXPECT_EQ(s.allGroups.size(), 2u);
    EXPECT_EQ(s.allGroups.find("a.b"), first);
    EXPECT_EQ(m_frontend.offeredGroups(), (std::vector<std::string>{"a.b", "c.d", "a.b", "c.d"}));
}

TEST_F(GroupListsTest, AStoppedWorkerAbandonsTheLoadAndKeepsWhatItRead) {
    writeList("Groups", "a.b\nc.d\ne.f\n.\n");
    WorkerRecord worker;
    worker.state = WorkerRecord::AbortRequested;
    ThreadContext::current().worker = &worker;
    EXPECT_EQ(settings().loadList(settings().allGroups, "Groups", true), -9999);
    EXPECT_EQ(names(settings().allGroups), std::vector<std::string>{"a.b"});
}

TEST_F(GroupListsTest, AMissingVisitedListStillLeavesMyCollection) {
    AppSettings& s = settings();
    s.loadVisited();
    EXPECT_EQ(names(s.visitedGroups), std::vector<std::string>{"My-Collection"});
    EXPECT_TRUE(isDirectory(joinPath(s.dataDirectory, "My-Collection/news.dat")));

    writeList("Groups.vis", "My-Collection\nalt.y\n.\n");
    s.loadVisited();
    EXPECT_EQ(names(s.visitedGroups), (std::vector<std::string>{"alt.y", "My-Collection"}));
}

TEST_F(GroupListsTest, DeselectLogsOnlyWhatItRemoves) {
    AppSettings& s = settings();
    GroupEntry& g = s.newGroup("alt.z");
    s.deselect(g);
    EXPECT_TRUE(m_frontend.logLines().empty());
    s.select(g);
    s.select(g);
    EXPECT_EQ(s.selectedGroups.size(), 1u);
    s.deselect(g);
    EXPECT_EQ(m_frontend.logLines(), std::vector<std::string>{"alt.z removed.."});
    EXPECT_FALSE(s.selectedGroups.find("alt.z"));

    s.subscribe(g);
    s.markVisited(g);
    s.unsubscribe(g);
    EXPECT_FALSE(s.subscribedGroups.find("alt.z"));
    EXPECT_TRUE(s.visitedGroups.find("alt.z"));
}

TEST_F(GroupListsTest, ServersRoundTripAndRemovedHostsAreSkipped) {
    AppSettings& s = settings();
    ASSERT_EQ(makeDirectories(s.dataDirectory = m_dir.file("data")), 0);
    m_dir.write("data/server.lst", "plain\nsecure 563\nauth 119\t1\tu\tp\n\nplain 8119\n");
    ASSERT_EQ(s.loadServers(), 0);
    ASSERT_EQ(s.servers.size(), 4u) << "a blank line names no server";
    // Two ports of one host are two entries; the last line is the host's own, as a version
    // that keeps one line per host reads it.
    EXPECT_EQ(s.servers.at("plain")->port, 8119);
    EXPECT_EQ(s.servers.at("plain 119")->port, 119);
    EXPECT_EQ(s.servers.at("auth")->credentials().password, "p");
    s.servers["secure"].reset();
    ASSERT_EQ(s.saveServers(), 0);
    std::string saved = m_dir.read("data/server.lst");
    EXPECT_EQ(saved.find("secure"), std::string::npos);
    EXPECT_NE(saved.find("auth 119\t1\tu\tp\n"), std::string::npos);
    EXPECT_LT(saved.find("plain\n"), saved.find("plain 8119\n"));
    ASSERT_EQ(s.loadServers(), 0);
    EXPECT_EQ(s.servers.at("plain")->port, 8119);
    EXPECT_EQ(s.servers.at("plain 119")->port, 119);
    // It holds passwords: private from its first write on, an older public one included.
    struct stat status {};
    ASSERT_EQ(::stat(m_dir.file("data/server.lst").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(GroupListsTest, AServerLineWhosePortIsNoTcpPortIsLeftOutWithAMessageAndKept) {
    // Taken as it stood, port 70000 connected to 4464, and a number too long for an int to 119.
    const std::string lines = "wrapped 70000\nlong 99999999999\tmore\nzero 0\tx\ngood 8119\n";
    m_dir.write("data/qmere/server.lst", lines);
    ASSERT_TRUE(m_profile.setString("Config", "Server", "wrapped"));
    AppSettings& s = settings();
    s.loadSettings();
    ASSERT_EQ(s.servers.size(), 1u);
    EXPECT_EQ(s.servers.at("good")->port, 8119);
    EXPECT_EQ(s.currentServer(), nullptr) << "not put on port 119 either";
    const std::string file = joinPath(s.dataDirectory, "server.lst");
    EXPECT_EQ(m_frontend.messages(),
              (std::vector<std::string>{"The server wrapped in " + file +
                                            " is left out: its port 70000 is not a "
                                            "number from 1 to 65535",
                                        "The server long in " + file +
                                            " is left out: its port 99999999999 is not a "
                                            "number from 1 to 65535",
                                        "The server zero in " + file +
                                            " is left out: its port 0 is not a number "
                                            "from 1 to 65535"}));
    // Saved, the lines stay for the user to mend.
    ASSERT_TRUE(s.saveSettings());
    ASSERT_EQ(s.saveServers(), 0);
    EXPECT_EQ(m_dir.read("data/qmere/server.lst"),
              "good 8119\nlong 99999999999\tmore\nwrapped 70000\nzero 0\tx\n");
    EXPECT_EQ(m_profile.getString("Config", "Server"), "wrapped");
}

TEST_F(GroupListsTest, ListsOfAServerWhoseFolderIsNotMadeYetAreSaved) {
    // A group added by name to a server whose groups were never listed.
    AppSettings& s = settings();
    s.loadSettings();
    s.useServerText("never.listed");
    ASSERT_FALSE(isDirectory(s.groupListDirectory()));
    s.subscribe(s.newGroup("alt.added"));
    EXPECT_TRUE(s.saveSettings());
    EXPECT_EQ(readList("Groups.sub"), "alt.added\n.\n");
}

// Makes writes beyond limit bytes fail as a full disk would (even for root).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = m_old;
        small.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_handler);
    }

  private:
    rlimit m_old{};
    void (*m_handler)(int);
};

TEST_F(GroupListsTest, AListWriteThatFailsHalfWayKeepsTheOldFile) {
    writeList("Groups", "old.group\n.\n");
    AppSettings& s = settings();
    for (int i = 0; i < 2000; ++i)
        s.allGroups.add(s.newGroup("alt.binaries.g" + std::to_string(i)));
    int result;
    {
        FileSizeLimit limit(4096);
        result = s.saveList(s.allGroups, "Groups");
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readList("Groups"), "old.group\n.\n");
}

}  // namespace
}  // namespace qm
