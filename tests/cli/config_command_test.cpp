// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built qmere-cli (its path in QM_CLI) on a throw-away profile and data folder.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "newsserver/newsserver.h"
#include "newsserver/spool.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/clirunner.h"
#include "support/tempdir.h"

namespace qm {
namespace {

using test::CliRun;
using test::runCli;

class ConfigCommand : public ::testing::Test {
  protected:
    ConfigCommand() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
    }

    CliRun run(std::vector<std::string> args) {
        args.insert(args.begin(), "config");
        return runCli(m_dir, args);
    }

    std::string profile() { return readWholeFile(profilePath()).value_or("<missing>"); }

    test::TempDir m_dir;
    test::ScopedXdgHome m_xdg;
};

TEST_F(ConfigCommand, AFreshProfileShowsTheDefaultsInSaveOrder) {
    CliRun r = run({});
    ASSERT_EQ(r.status, 0) << r.err;
    // No browser: the command line never opens a page, so it never looks for one.
    EXPECT_EQ(r.out,
              "Data=" + programDirectory() +
                  "\nServer=\nBrowser=\nMax Threads=4\nKill pattern=\nKeep Text=0\n"
                  "Keep Desc=0\nKeep Dup=1\nKeep Header=0\nFree Alert=500\nSkip short=0\n"
                  "Skip limit=500\nFirst visit=1000\nFirst visit days=0\nCompress=0\n"
                  "Skip duplicate pictures=1\nThumbnails=1\nRemove par2 files after repair=0\n"
                  "Use fill servers when the main server is down=0\n");
}

TEST_F(ConfigCommand, ChangesAreSavedAndShownNextTime) {
    CliRun set = run({"Kill pattern=SPAM", "Skip short=1", "Max Threads=24", "Free Alert=-3",
                      "First visit=250", "First visit days=7", "Compress=1"});
    ASSERT_EQ(set.status, 0) << set.err;
    CliRun shown = run({"Kill pattern", "Skip short", "Max Threads", "Free Alert", "First visit",
                        "First visit days", "Compress"});
    EXPECT_EQ(shown.out,
              "Max Threads=24\nKill pattern=SPAM\nFree Alert=-3\nSkip short=1\n"
              "First visit=250\nFirst visit days=7\nCompress=1\n");
    EXPECT_NE(profile().find("Kill pattern=SPAM\n"), std::string::npos);
}

TEST_F(ConfigCommand, RefusedValuesChangeNothing) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"Max Threads=0"}, 1, "Please enter an integer between 1 and 24."},
        {{"Max Threads=25"}, 1, "Please enter an integer between 1 and 24."},
        {{"Skip short=1", "Max Threads=x"}, 1, "Please enter an integer."},
        {{"Free Alert=1.5"}, 1, "Please enter an integer."},
        {{"Skip limit=99999999999"}, 1, "Please enter an integer."},
        {{"Browser=" + std::string(257, 'b')}, 1, "Please enter no more than 256 characters."},
        {{"Kill pattern=" + std::string(257, 'k')}, 1, "Please enter no more than 256 characters."},
        {{"Data=/" + std::string(1024, 'd')}, 1, "Please enter no more than 1024 characters."},
        {{"Keep Header=1"}, 1, "Keep Header"},
        {{"Colour=red"}, 2, "Colour"},
        // A port that is no port used to wrap around (70000 is 4464) or mean 119.
        {{"Server=news.example 70000"}, 2, "Please enter a port between 1 and 65535."},
        {{"Server=news.example abc"}, 2, "Please enter a port between 1 and 65535."},
    };
    for (const Case& c : cases) {
        CliRun r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_EQ(profile(), "<missing>") << c.args[0];
    }
}

TEST_F(ConfigCommand, AKillPatternThatDoesNotCompileIsRefusedAndTheOldOneStays) {
    ASSERT_EQ(run({"Kill pattern=good"}).status, 0);
    CliRun r = run({"Kill pattern=a(b", "Skip limit=7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(run({"Kill pattern", "Skip limit"}).out, "Kill pattern=good\nSkip limit=7\n");
    ASSERT_EQ(run({"Kill pattern="}).status, 0) << "an empty pattern switches the filter off";
    EXPECT_EQ(run({"Kill pattern"}).out, "Kill pattern=\n");
}

TEST_F(ConfigCommand, ANewDataDirectoryIsCreatedOrRefused) {
    std::string data = m_dir.file("new/data");
    ASSERT_EQ(run({"Data=" + data}).status, 0);
    EXPECT_TRUE(isDirectory(data));
    EXPECT_EQ(run({"Data"}).out, "Data=" + data + "\n");

    std::string blocked = m_dir.write("a-file", "x") + "/below";
    CliRun r = run({"Data=" + blocked, "Max Threads=2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Fail make direcotry " + blocked), std::string::npos) << r.err;
    EXPECT_EQ(run({"Data", "Max Threads"}).out, "Data=" + data + "\nMax Threads=4\n");
}

TEST_F(ConfigCommand, AServerWithAPortIsSavedBareWithItsPortInTheServerList) {
    ASSERT_EQ(run({"Server=news.example 563"}).status, 0);
    EXPECT_EQ(run({"Server"}).out, "Server=news.example\n");
    EXPECT_EQ(readWholeFile(joinPath(programDirectory(), "server.lst")).value_or(""),
              "news.example 563\n");
    ASSERT_EQ(run({"Server=other.example:8119"}).status, 0);
    EXPECT_EQ(run({"Server"}).out, "Server=other.example\n");
    EXPECT_NE(readWholeFile(joinPath(programDirectory(), "server.lst"))
                  .value_or("")
                  .find("other.example 8119\n"),
              std::string::npos);
}

TEST_F(ConfigCommand, AProfileThatCannotBeWrittenFailsTheChangeAndSaysWhy) {
    const std::string path = profilePath();
    m_dir.write(path.substr(m_dir.path().size() + 1, path.rfind('/') - m_dir.path().size() - 1),
                "a file where the profile's folder goes");
    CliRun r = run({"Skip short=1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Fail create file " + path + ": "), std::string::npos) << r.err;
}

TEST_F(ConfigCommand, ChangesMadeBesideARunningFetchOutliveItsEnd) {
    // A fetch of some seconds: each line of its one article comes 100 ms late.
    newsd::NewsServerOptions slow;
    slow.spool = m_dir.file("spool");
    slow.lineDelayMs = 100;
    std::string body;
    for (int i = 0; i < 60; ++i) body += "line " + std::to_string(i) + "\n";
    newsd::writeSpoolArticle(slow.spool, "alt.slow", 1, "Subject: slow\nMessage-ID: <s@x>", body);
    newsd::NewsServer fetched(slow);
    fetched.start();
    newsd::NewsServerOptions quick;
    quick.spool = m_dir.file("other-spool");
    newsd::writeSpoolArticle(quick.spool, "alt.other", 1, "Subject: o\nMessage-ID: <o@x>", "o\n");
    newsd::NewsServer other(quick);
    other.start();
    const std::string fetchPort = std::to_string(fetched.port());
    const std::string otherPort = std::to_string(other.port());

    test::CliChild fetch =
        test::startCli(m_dir, {"fetch", "--server", "127.0.0.1:" + fetchPort, "alt.slow"}, "fetch");
    // Its settings are loaded (and its server saved) once it asks for the group.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto asked = [&] {
        for (const std::string& command : fetched.commands())
            if (command == "GROUP alt.slow") return true;
        return false;
    };
    while (!asked() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(asked());
    CliRun config = run({"Kill pattern=spam"});
    EXPECT_EQ(config.status, 0) << config.err;
    CliRun groups = runCli(m_dir, {"groups", "--server", "localhost:" + otherPort});
    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_EQ(groups.out, "alt.other\n");
    ASSERT_TRUE(test::cliRunning(fetch)) << "the fetch ended before the changes were made";
    CliRun ended = test::finishCli(fetch);
    ASSERT_EQ(ended.status, 0) << ended.err;

    EXPECT_EQ(run({"Kill pattern", "Server"}).out, "Server=localhost\nKill pattern=spam\n");
    EXPECT_EQ(readWholeFile(joinPath(programDirectory(), "server.lst")).value_or(""),
              "127.0.0.1 " + fetchPort + "\nlocalhost " + otherPort + "\n");
}

TEST_F(ConfigCommand, ARelativeDataFolderMeansOneFolderWhereverAProgramStarts) {
    const std::string here = m_dir.file("here");
    const std::string elsewhere = m_dir.file("elsewhere");
    ASSERT_EQ(makeDirectories(here) | makeDirectories(elsewhere), 0);
    CliRun set = test::finishCli(test::startCli(m_dir, {"config", "Data=reldata"}, "set", here));
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(isDirectory(here + "/reldata"));
    CliRun shown = test::finishCli(test::startCli(m_dir, {"config", "Data"}, "show", elsewhere));
    EXPECT_EQ(shown.out, "Data=" + here + "/reldata\n");

    // One an older version stored relative is taken below the home folder, said so, and
    // stored absolute at the next save.
    const std::string home = m_dir.file("home");
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.c_str(), 1);
    ASSERT_TRUE(Profile(profilePath()).setString("Config", "Data", "olddata"));
    CliRun saved =
        test::finishCli(test::startCli(m_dir, {"config", "Skip short=1"}, "saved", elsewhere));
    ::setenv("HOME", oldHome.c_str(), 1);
    ASSERT_EQ(saved.status, 0) << saved.err;
    EXPECT_NE(
        saved.out.find("Setting \"Data\" olddata is a relative path: " + home + "/olddata is used"),
        std::string::npos)
        << saved.out;
    EXPECT_NE(profile().find("Data=" + home + "/olddata\n"), std::string::npos) << profile();
    EXPECT_TRUE(isDirectory(home + "/olddata"));
}

TEST_F(ConfigCommand, HelpNamesTheKeysTheRangesAndTheProfile) {
    CliRun r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* text : {"Max Threads", "1 to 24", "Kill pattern", "Skip limit", "Free Alert",
                             "First visit days", "Compress", "Corvane,LLC/qmere.ini"}) {
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(profile(), "<missing>");
}

}  // namespace
}  // namespace qm
