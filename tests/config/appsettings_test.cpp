// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/appsettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "settingsfixture.h"

namespace qm {
namespace {

using test::SettingsTest;

TEST_F(SettingsTest, AFreshProfileGivesTheDefaults) {
    AppSettings& s = settings();
    s.loadSettings();
    EXPECT_EQ(s.dataDirectory, programDirectory());
    EXPECT_EQ(s.server, "");
    EXPECT_EQ(s.browser, "") << "looked up only when needed";
    EXPECT_EQ(s.killPattern, "");
    EXPECT_EQ(s.maxThreads, 4);
    EXPECT_EQ(s.keepDup, 1);
    EXPECT_EQ(s.freeAlert, 500);
    EXPECT_EQ(s.skipLimit, 500);
    EXPECT_EQ(s.keepText + s.keepDesc + s.keepHeader + s.skipShort, 0);
    EXPECT_TRUE(s.servers.empty()) << "no server text, no entry";
    EXPECT_TRUE(s.visitedGroups.find("My-Collection"));
    EXPECT_TRUE(m_frontend.messages().empty());
}

TEST_F(SettingsTest, SavedSettingsLoadBackAtTheNextStart) {
    AppSettings& s = settings();
    s.loadSettings();
    s.dataDirectory = m_dir.file("data dir");
    s.browser = "/opt/web";
    s.killPattern = "spam eggs";
    s.maxThreads = 9;
    s.keepText = 1;
    s.keepDesc = 1;
    s.keepDup = 0;
    s.keepHeader = 1;
    s.freeAlert = -7;
    s.skipShort = 1;
    s.skipLimit = 123;
    s.saveSettings();

    AppSettings& t = fresh();
    t.loadSettings();
    EXPECT_EQ(t.dataDirectory, m_dir.file("data dir"));
    EXPECT_EQ(t.browser, "/opt/web");
    EXPECT_EQ(t.killPattern, "spam eggs");
    EXPECT_EQ(t.maxThreads, 9);
    EXPECT_EQ(t.keepText, 1);
    EXPECT_EQ(t.keepDesc, 1);
    EXPECT_EQ(t.keepDup, 0);
    EXPECT_EQ(t.keepHeader, 1);
    EXPECT_EQ(t.freeAlert, -7);
    EXPECT_EQ(t.skipShort, 1);
    EXPECT_EQ(t.skipLimit, 123);
    EXPECT_TRUE(isDirectory(joinPath(m_dir.file("data dir"), "My-Collection/news.dat")));
}

TEST_F(SettingsTest, OutOfRangeValuesAreClampedOnLoadAndTheCorrectionLogged) {
    // 99999 readers took 4 GB in seconds and ignored Ctrl-C.
    ASSERT_TRUE(m_profile.setString("Config", "Max Threads", "99999"));
    ASSERT_TRUE(m_profile.setString("Config", "Keep Dup", "-3"));
    AppSettings& s = settings();
    s.loadSettings();
    EXPECT_EQ(s.maxThreads, 24);
    EXPECT_EQ(s.keepDup, 0);
    EXPECT_TRUE(m_frontend.logContains(
        "Setting \"Max Threads\" 99999 is out of range (1 to 24): 24 is used"));
    EXPECT_TRUE(
        m_frontend.logContains("Setting \"Keep Dup\" -3 is out of range (0 to 1): 0 is used"));
}

TEST_F(SettingsTest, AServerWithAPortLoadsAsTheBareHostAndSavesBare) {
    ASSERT_TRUE(m_profile.setString("Config", "Server", "news.example 563"));
    AppSettings& s = settings();
    s.loadSettings();
    EXPECT_EQ(s.server, "news.example");
    ServerEntry* entry = s.currentServer();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->port, 563);
    EXPECT_EQ(entry->authFlag(), 0);
    EXPECT_EQ(entry->credentials().user, "-");
    EXPECT_EQ(entry->credentials().password, "-");
    s.saveSettings();
    EXPECT_EQ(m_profile.getString("Config", "Server"), "news.example");
}

TEST_F(SettingsTest, TheServerTextKeepsTheCredentialsOfAKnownHost) {
    m_dir.write("data/qmere/server.lst", "news.example 119\t1\tuser\tsecret\n");
    ASSERT_TRUE(m_profile.setString("Config", "Server", "news.example 8119"));
    AppSettings& s = settings();
    s.loadSettings();
    ServerEntry* entry = s.currentServer();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->port, 8119);
    EXPECT_EQ(entry->authFlag(), 1);
    EXPECT_EQ(entry->credentials().user, "user");
}

TEST_F(SettingsTest, ABareServerKeepsThePortOfItsEntryAfterARestart) {
    // "Server" holds the host alone; "server.lst" the port. Loading used to put it back to 119.
    m_dir.write("data/qmere/server.lst", "127.0.0.1 1120\n");
    ASSERT_TRUE(m_profile.setString("Config", "Server", "127.0.0.1"));
    AppSettings& s = settings();
    s.loadSettings();
    EXPECT_EQ(s.server, "127.0.0.1");
    ASSERT_NE(s.currentServer(), nullptr);
    EXPECT_EQ(s.currentServer()->port, 1120);
    s.saveSettings();
    s.saveServers();
    AppSettings& t = fresh();
    t.loadSettings();
    EXPECT_EQ(t.currentServer()->port, 1120);
    EXPECT_EQ(m_profile.getString("Config", "Server"), "127.0.0.1");
    // A host not in "server.lst" yet gets the default port; a port named is taken.
    ASSERT_TRUE(m_profile.setString("Config", "Server", "news.example"));
    AppSettings& u = fresh();
    u.loadSettings();
    EXPECT_EQ(u.currentServer()->port, 119);
    ASSERT_TRUE(m_profile.setString("Config", "Server", "127.0.0.1 119"));
    AppSettings& v = fresh();
    v.loadSettings();
    EXPECT_EQ(v.currentServer()->port, 119);
}

TEST_F(SettingsTest, WhatAnotherProgramChangedMeanwhileSurvivesASave) {
    // A fetch (this record) and qmere-cli config or groups beside it (the other) share the
    // profile, "server.lst" and the group lists.
    ASSERT_TRUE(m_profile.setString("Config", "Server", "news.example"));
    m_dir.write("data/qmere/server.lst", "news.example 8119\nold.example\nmoved.example 119\n");
    m_dir.write("data/qmere/news.example/Groups.sub", "alt.old\nalt.keep\n.\n");
    AppSettings& fetch = settings();
    fetch.loadSettings();
    AppSettings other(m_frontend, m_profile);
    other.loadSettings();

    ASSERT_FALSE(other.setKillPattern("spam"));
    other.subscribe(other.newGroup("alt.new"));
    other.unsubscribe(*other.subscribedGroups.find("alt.old"));
    other.servers["added.example"] =
        std::make_unique<ServerEntry>(ServerEntry::parse("added.example 563"));
    other.servers["old.example"].reset();
    other.servers["moved.example"]->port = 8563;
    ASSERT_TRUE(other.saveSettings());
    ASSERT_EQ(other.saveServers(), 0);

    // The fetch's own changes, saved at its end over what it read at its start.
    fetch.maxThreads = 7;
    fetch.markVisited(fetch.newGroup("alt.seen"));
    fetch.subscribe(fetch.newGroup("alt.mine"));
    fetch.servers["news.example"]->setCredentials({"me", "pw"});
    ASSERT_TRUE(fetch.saveSettings());
    ASSERT_EQ(fetch.saveServers(), 0);

    AppSettings& next = fresh();
    next.loadSettings();
    EXPECT_EQ(next.killPattern, "spam");
    EXPECT_EQ(next.maxThreads, 7);
    std::set<std::string> subscribed, visited;
    for (const GroupEntry* g : next.subscribedGroups.entries()) subscribed.insert(g->name());
    for (const GroupEntry* g : next.visitedGroups.entries()) visited.insert(g->name());
    EXPECT_EQ(subscribed, (std::set<std::string>{"alt.keep", "alt.new", "alt.mine"}));
    EXPECT_TRUE(visited.contains("alt.seen"));
    EXPECT_EQ(m_dir.read("data/qmere/server.lst"),
              "added.example 563\nmoved.example 8563\nnews.example 8119\t1\tme\tpw\n");
    EXPECT_TRUE(m_frontend.messages().empty());
}

TEST(ServerText, TakesAPortAfterABlankOrAColon) {
    struct Case {
        const char* typed;
        const char* line;  // empty: refused
    };
    for (Case c :
         {Case{"news.example", "news.example"}, Case{"news.example 563", "news.example 563"},
          Case{"news.example:563", "news.example 563"}, Case{" h:1120 ", "h 1120 "},
          Case{"[::1]:1119", "::1 1119"}, Case{"[::1] 1119", "::1 1119"}, Case{"::1", "::1"},
          Case{"h 119\t1\tu\tp", "h 119\t1\tu\tp"}, Case{"h:", ""}, Case{"h:abc", ""},
          Case{"h:70000", ""}, Case{"h 0", ""}, Case{":119", ""}, Case{"[::1", ""},
          Case{"[::1]x", ""}, Case{"", ""}}) {
        const bool refused = *c.line == '\0';
        EXPECT_EQ(serverTextProblem(c.typed).has_value(), refused) << c.typed;
        if (!refused) {
            EXPECT_EQ(serverLine(c.typed), c.line) << c.typed;
        }
    }
}

TEST_F(SettingsTest, ASettingsFileThatCannotBeWrittenIsReported) {
    // Its folder is a file: no one can write it, root included.
    m_dir.write("blocked", "a file");
    Profile blocked(m_dir.file("blocked/qmere.ini"));
    AppSettings s(m_frontend, blocked);
    s.loadSettings();
    EXPECT_FALSE(s.saveSettings());
    ASSERT_EQ(m_frontend.messages().size(), 1u);
    EXPECT_TRUE(m_frontend.messages()[0].starts_with("Fail create file " + blocked.path() + ": "))
        << m_frontend.messages()[0];
    m_frontend.clear();
    settings().loadSettings();
    EXPECT_TRUE(settings().saveSettings());
    EXPECT_EQ(m_frontend.messages(), std::vector<std::string>{});
}

TEST_F(SettingsTest, TheServerTextSetsTlsOnlyWhereItSaysSo) {
    AppSettings& s = settings();
    EXPECT_TRUE(s.useServerText("fresh.example 563").secure());
    ServerEntry& known = s.useServerText("news.example 119\t0\t-\t-\ttls\tAB:CD");
    EXPECT_TRUE(known.secure());
    EXPECT_EQ(known.fingerprint, "AB:CD");
    // A text without extras keeps what the entry has.
    ServerEntry& again = s.useServerText("news.example 8119");
    EXPECT_TRUE(again.secure());
    EXPECT_EQ(again.fingerprint, "AB:CD");
    // As the server box may give it.
    EXPECT_EQ(&s.useServerText("news.example:8563"), &again);
    EXPECT_EQ(again.port, 8563);
    EXPECT_EQ(s.server, "news.example");
}

TEST_F(SettingsTest, TheDefaultBrowserIsLookedUpOnceWhenFirstNeededAndThenKept) {
    int lookups = 0;
    AppSettings& s = settings();
    s.browserLookup = [&] {
        ++lookups;
        return m_browser;
    };
    s.loadSettings();
    EXPECT_EQ(lookups, 0) << "loading runs no program";
    EXPECT_EQ(s.resolveBrowser(), m_browser);
    EXPECT_EQ(s.resolveBrowser(), m_browser);
    EXPECT_EQ(lookups, 1);
    s.saveSettings();
    EXPECT_EQ(m_profile.getString("Config", "Browser"), m_browser);

    // A stored browser is used as it is.
    ASSERT_TRUE(m_profile.setString("Config", "Browser", "/opt/mine"));
    s.loadSettings();
    EXPECT_EQ(s.resolveBrowser(), "/opt/mine");
    EXPECT_EQ(lookups, 1);
    EXPECT_TRUE(m_frontend.messages().empty());
}

TEST_F(SettingsTest, AFailedBrowserLookupSaysSoOncePerLoadAndLeavesItEmpty) {
    m_browser.clear();
    AppSettings& s = settings();
    s.loadSettings();
    EXPECT_EQ(s.resolveBrowser(), "");
    EXPECT_EQ(s.resolveBrowser(), "");
    s.loadSettings();
    EXPECT_EQ(s.resolveBrowser(), "");
    EXPECT_EQ(m_frontend.messages(),
              (std::vector<std::string>{"Unable to find default Web Browser",
                                        "Unable to find default Web Browser"}));
    s.saveSettings();
    EXPECT_EQ(m_profile.getString("Config", "Browser", "unset"), "");
}

TEST_F(SettingsTest, AnEmptyDataSettingFallsBackToTheProgramDirectory) {
    // Else every group folder would be made at the file-system root.
    ASSERT_TRUE(m_profile.setString("Config", "Data", ""));
    settings().loadSettings();
    EXPECT_EQ(settings().dataDirectory, programDirectory());
}

TEST_F(SettingsTest, TheKillPatternIsRefusedOnlyWhenItDoesNotCompileAndIsNotEmpty) {
    AppSettings& s = settings();
    struct Case {
        const char* text;
        bool accepted;
        const char* expected;  // killPattern afterwards
    };
    const Case cases[] = {
        {"abc def", true, "abc def"},
        {"a(b", false, "abc def"},
        {"   ", false, "abc def"},  // no words: nothing to compile
        {"", true, ""},
        {"x[", false, ""},
    };
    for (const Case& c : cases) {
        auto error = s.setKillPattern(c.text);
        EXPECT_EQ(!error.has_value(), c.accepted) << c.text;
        EXPECT_EQ(s.killPattern, c.expected) << c.text;
    }
    ASSERT_FALSE(s.setKillPattern("abc def"));
    EXPECT_TRUE(s.killTest("def abc")) << "every pattern, in any place";
    EXPECT_FALSE(s.killTest("abc"));
}

TEST_F(SettingsTest, AStoredPatternThatDoesNotCompileExcludesNothing) {
    ASSERT_TRUE(m_profile.setString("Config", "Kill pattern", "a(b"));
    AppSettings& s = settings();
    s.loadSettings();
    EXPECT_TRUE(s.compileKillPattern().has_value());
    EXPECT_FALSE(s.killTest("a(b"));
}

TEST_F(SettingsTest, LowFreeSpaceShowsItsMessageAndThenOffersTheDialog) {
    AppSettings& s = settings();
    s.loadSettings();
    m_freeKB = 400 * 1024;
    EXPECT_TRUE(s.freeSpaceCheck(true));
    EXPECT_EQ(m_frontend.messages(),
              std::vector<std::string>{"Free disk space is below low water mark!"});
    EXPECT_EQ(m_frontend.configurationsOpened(), 1);
    EXPECT_TRUE(s.freeSpaceCheck(false)) << "the timer's check";
    EXPECT_EQ(m_frontend.messages().size(), 2u);
    EXPECT_EQ(m_frontend.configurationsOpened(), 1);
    m_freeKB = 500 * 1024;
    EXPECT_FALSE(s.freeSpaceCheck(true));
    EXPECT_EQ(m_frontend.messages().size(), 2u);
}

// A front end whose message box lets the timer's check come in while it is open.
class ReentrantFrontend : public test::RecordingFrontend {
  public:
    void messageBox(std::string_view text, MessageIcon icon) override {
        RecordingFrontend::messageBox(text, icon);
        if (settings && nestedChecks++ == 0) nestedResult = settings->freeSpaceCheck(false);
    }
    AppSettings* settings = nullptr;
    int nestedChecks = 0;
    bool nestedResult = true;
};

TEST(FreeSpaceCheck, ACheckWhileItsMessageIsOpenDoesNothing) {
    test::TempDir dir;
    test::ScopedXdgHome xdg(dir);
    Profile profile(profilePath());
    ReentrantFrontend frontend;
    AppSettings s(frontend, profile);
    s.freeSpaceProbe = [](const std::string&) { return std::int64_t{10 * 1024}; };
    s.freeAlert = 500;
    frontend.settings = &s;
    EXPECT_TRUE(s.freeSpaceCheck(true));
    EXPECT_EQ(frontend.nestedChecks, 1);
    EXPECT_FALSE(frontend.nestedResult);
    EXPECT_EQ(frontend.messages().size(), 1u);
    EXPECT_EQ(frontend.configurationsOpened(), 1);
}

TEST(SafeFolderName, KeepsOrdinaryNamesAndNeverLeavesItsParent) {
    struct Case {
        const char* name;
        const char* folder;
    };
    const Case cases[] = {
        {"alt.binaries.example", "alt.binaries.example"},
        {"news.example.com", "news.example.com"},
        {"..", "%2E%2E"},
        {".", "%2E"},
        {"", "%"},
        {"../etc", "..%2Fetc"},
        {"a/b", "a%2Fb"},
        {"a%2Fb", "a%252Fb"},
        {"tab\there", "tab%09here"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(safeFolderName(c.name), c.folder) << c.name;
        // The rebuild finds each group again by its folder's name.
        EXPECT_EQ(GroupFolder::groupNameOf(c.folder), c.name) << c.folder;
        EXPECT_EQ(GroupFolder("/data", c.name).path(), std::string("/data/") + c.folder);
    }
}

}  // namespace
}  // namespace qm

namespace qm::test {
namespace {

// Readers test subjects while the window thread replaces the pattern (the Options dialog
// during a run): every answer must be one of the two patterns', never a torn read.
class KillPatternThreads : public SettingsTest {};

TEST_F(KillPatternThreads, ReadersSeeWholePatternsWhileThePatternChanges) {
    AppSettings& s = settings();
    ASSERT_FALSE(s.setKillPattern("spam"));
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                if (!s.killTest("cheap spam offer")) ++wrong;  // both patterns match it
                if (s.killTest("holiday pictures")) ++wrong;   // neither does
            }
        });
    }
    for (int i = 0; i < 300; ++i) ASSERT_FALSE(s.setKillPattern(i % 2 ? "spam" : "offer cheap"));
    done = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qm::test
