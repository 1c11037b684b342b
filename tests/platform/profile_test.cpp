// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "support/tempdir.h"

namespace qm {
namespace {

TEST(Profile, MissingValuesReadAsTheirDefaults) {
    test::TempDir dir;
    Profile p(dir.file("none/qmere.ini"));
    EXPECT_EQ(p.getString("Config", "Data", "dflt"), "dflt");
    EXPECT_EQ(p.getInt("Config", "Max Threads", 4), 4);
    dir.write("none/qmere.ini", "[Config]\nMax Threads=many\nFree Alert=99999999999\nX=\n");
    EXPECT_EQ(p.getInt("Config", "Max Threads", 4), 4) << "not a number";
    EXPECT_EQ(p.getInt("Config", "Free Alert", 500), 500) << "beyond 32 bits";
    EXPECT_EQ(p.getInt("Config", "X", 7), 7);
    EXPECT_EQ(p.getString("Config", "X", "d"), "") << "an empty value is a value";
    EXPECT_EQ(p.getString("Tip", "X", "d"), "d");
}

TEST(Profile, ValuesRoundTripWhateverTheyHold) {
    test::TempDir dir;
    Profile p(dir.file("sub/folder/qmere.ini"));
    const std::string values[] = {
        "plain",
        "",
        " lead and trail ",
        "a=b=c",
        "[Section]",
        "line\nbreak\r\n",
        "back\\slash\\n",
        "; not a comment",
        "tab\there",
        "\xc3\xa9t\xc3\xa9",
        "\tlead",
        "trail\t ",
        "\\s",
        "x\\",
        " ",
    };
    for (const std::string& v : values) {
        ASSERT_TRUE(p.setString("Config", "Kill pattern", v));
        EXPECT_EQ(p.getString("Config", "Kill pattern"), v);
    }
    for (std::int32_t n : {0, -1, 24, INT32_MAX, INT32_MIN}) {
        ASSERT_TRUE(p.setInt("Tip", "FilePos", n));
        EXPECT_EQ(p.getInt("Tip", "FilePos", 5), n);
    }
}

TEST(Profile, HandEditedLinesAreRead) {
    test::TempDir dir;
    std::string path = dir.write("q.ini",
                                 "; a comment\r\n[ Config ]\r\n  Max Threads = 8 \r\n"
                                 "Data=/d\r\n\r\n[Tip]\nStartUp=1\n");
    Profile p(path);
    EXPECT_EQ(p.getInt("Config", "Max Threads"), 8);
    EXPECT_EQ(p.getString("Config", "Data"), "/d");
    EXPECT_EQ(p.getInt("Tip", "StartUp"), 1);
}

TEST(Profile, TwoProgramsSharingTheFileKeepEachOthersKeys) {
    test::TempDir dir;
    Profile gui(dir.file("qmere.ini"));
    Profile cli(dir.file("qmere.ini"));
    ASSERT_TRUE(gui.setString("Config", "Data", "/from/gui"));
    ASSERT_TRUE(cli.setInt("Config", "Max Threads", 12));
    ASSERT_TRUE(gui.setMany("Tip", {{"StartUp", "1"}, {"TimeStamp", "t"}}));
    EXPECT_EQ(cli.getString("Config", "Data"), "/from/gui");
    EXPECT_EQ(gui.getInt("Config", "Max Threads"), 12);
    EXPECT_EQ(cli.getString("Tip", "TimeStamp"), "t");
}

// The window saving a key while qmere-cli config saves another: each reads the file, merges
// and renames it over the old one; without the settings lock a rename based on an older read
// drops the key the other has just written.
TEST(ProfileThreads, WritersWithProfilesOfTheirOwnNeverDropEachOthersKeys) {
    test::TempDir dir;
    constexpr int Writers = 4;
    constexpr int Keys = 50;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w)
        threads.emplace_back([&, w] {
            Profile own(dir.file("qmere.ini"));
            for (int k = 0; k < Keys; ++k)
                if (!own.setInt("Config", std::to_string(w) + "." + std::to_string(k), k)) ++failed;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    const Profile::Values written = Profile(dir.file("qmere.ini")).getSection("Config");
    EXPECT_EQ(written.size(), static_cast<std::size_t>(Writers * Keys));
}

TEST(Profile, HostileContentNeverCrashesAndStillTakesNewValues) {
    test::TempDir dir;
    const std::string fixed[] = {
        "[",
        "[]",
        "]\n=\n",
        "=x\n",
        std::string("[Config]\nData=\0x\n", 17),
        "[Config\nData=x\n",
        "[Config]\nData",
        "\\",
        "[Config]\nData=\\",
    };
    std::mt19937 random(7);
    std::vector<std::string> contents(std::begin(fixed), std::end(fixed));
    for (int i = 0; i < 300; ++i) {
        std::string junk(random() % 200, '\0');
        for (char& c : junk) c = "[]=\n\r\\ aC;#\0\xff"[random() % 13];
        contents.push_back(junk);
    }
    for (const std::string& content : contents) {
        std::string path = dir.write("hostile.ini", content);
        Profile p(path);
        (void)p.getString("Config", "Data");
        (void)p.getInt("Config", "Max Threads", 4);
        ASSERT_TRUE(p.setInt("Config", "Max Threads", 3));
        EXPECT_EQ(p.getInt("Config", "Max Threads"), 3);
    }
}

TEST(Profile, AWriteThatFailsHalfWayKeepsTheOldProfile) {
    test::TempDir dir;
    Profile p(dir.file("qmere.ini"));
    ASSERT_TRUE(p.setString("Config", "Data", "/old"));
    std::string before = dir.read("qmere.ini");
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool written = p.setString("Config", "Kill pattern", std::string(100000, 'k'));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);
    EXPECT_FALSE(written);
    EXPECT_EQ(dir.read("qmere.ini"), before);
    EXPECT_EQ(p.getString("Config", "Data"), "/old");
}

}  // namespace
}  // namespace qm
