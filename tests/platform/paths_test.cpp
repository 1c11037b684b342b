// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "platform/file.h"
#include "support/tempdir.h"

namespace qm {
namespace {

TEST(JoinPath, PutsExactlyOneSlashBetweenTheParts) {
    EXPECT_EQ(joinPath("/data/", "x"), "/data/x");
    EXPECT_EQ(joinPath("/data", "x"), "/data/x");
    EXPECT_EQ(joinPath("", "x"), "/x");
}

TEST(MakeDirectories, CreatesEveryLevelAndStopsAtAFile) {
    test::TempDir dir;
    EXPECT_EQ(makeDirectories(dir.file("a/b/c/")), 0);
    EXPECT_TRUE(isDirectory(dir.file("a/b/c")));
    EXPECT_EQ(makeDirectories(dir.file("a/b/c")), 0) << "an existing directory is no error";
    dir.write("f/file", "x");
    EXPECT_NE(makeDirectories(dir.file("f/file/d")), 0);
    EXPECT_FALSE(fileExists(dir.file("f/file/d")));
    EXPECT_EQ(makeDirectories(""), 0);
}

TEST(VolumeFreeKB, MeasuresTheNearestExistingFolder) {
    test::TempDir dir;
    EXPECT_GT(volumeFreeKB(dir.path()), 0);
    // The disk is shared with other work, so its free space moves between two calls.
    const double tolerance = 1024.0 * 1024.0;  // 1 GiB in KB
    EXPECT_NEAR(double(volumeFreeKB(dir.file("not/yet/there"))), double(volumeFreeKB(dir.path())),
                tolerance);
}

TEST(WriteFileAtomic, ReplacesTheFileAndLeavesNoTemporary) {
    test::TempDir dir;
    std::string path = dir.write("state", "old");
    ASSERT_TRUE(writeFileAtomic(path, "new content"));
    EXPECT_EQ(dir.read("state"), "new content");
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(WriteFileAtomic, AWriteThatFailsHalfWayKeepsTheOldFile) {
    // A file-size limit makes the write fail part-way, as a full disk would (even for root).
    test::TempDir dir;
    std::string path = dir.write("state", "old");
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool written = writeFileAtomic(path, std::string(100000, 'x'));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(dir.read("state"), "old");
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1) << "the temporary file is removed";
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
}

TEST(WriteFileAtomic, APrivateFileStaysPrivateAndAStricterModeIsKept) {
    test::TempDir dir;
    const std::string secret = dir.file("server.lst");
    ASSERT_TRUE(writeFileAtomic(secret, "h 119\t1\tu\tp\n", PrivateFileMode));
    EXPECT_EQ(modeOf(secret), 0600u);
    ASSERT_TRUE(writeFileAtomic(secret, "h 119\t1\tu\tq\n", PrivateFileMode));
    EXPECT_EQ(modeOf(secret), 0600u) << "kept across rewrites";
    // An older file, readable by everyone, is made private at its next write.
    const std::string old = dir.write("old.lst", "h\n");
    ASSERT_EQ(::chmod(old.c_str(), 0644), 0);
    ASSERT_TRUE(writeFileAtomic(old, "h 119\t1\tu\tp\n", PrivateFileMode));
    EXPECT_EQ(modeOf(old), 0600u);
    // A file the user made private is not opened up again.
    const std::string state = dir.write("Last", "1");
    ASSERT_EQ(::chmod(state.c_str(), 0640), 0);
    ASSERT_TRUE(writeFileAtomic(state, "2"));
    EXPECT_EQ(modeOf(state), 0640u);
    ASSERT_TRUE(writeFileAtomic(dir.file("public"), "x"));
    EXPECT_EQ(modeOf(dir.file("public")), 0644u);
}

TEST(WriteFileAtomic, ALinkIsWrittenThroughAndStaysALink) {
    test::TempDir dir;
    dir.write("elsewhere/qmere.ini", "old");
    ASSERT_EQ(makeDirectories(dir.file("config")), 0);
    // A relative link, and a link to that link.
    ASSERT_EQ(::symlink("../elsewhere/qmere.ini", dir.file("config/qmere.ini").c_str()), 0);
    ASSERT_EQ(::symlink("config/qmere.ini", dir.file("chain").c_str()), 0);
    ASSERT_TRUE(writeFileAtomic(dir.file("chain"), "new"));
    EXPECT_EQ(dir.read("elsewhere/qmere.ini"), "new");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("chain")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("config/qmere.ini")));
    EXPECT_EQ(symlinkTarget(dir.file("chain")), dir.file("config/../elsewhere/qmere.ini"));
    // A link to a file not made yet makes that file.
    ASSERT_EQ(::symlink(dir.file("later").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_TRUE(writeFileAtomic(dir.file("dangling"), "made"));
    EXPECT_EQ(dir.read("later"), "made");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling")));
    // A loop of links is refused, not followed for ever.
    ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
    EXPECT_FALSE(writeFileAtomic(dir.file("loop-a"), "x"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("loop-a")));
}

TEST(FileHolds, OnlyARegularFileWithExactlyTheContent) {
    test::TempDir dir;
    const std::string path = dir.write("state", "1234");
    EXPECT_TRUE(fileHolds(path, "1234"));
    EXPECT_FALSE(fileHolds(path, "1235")) << "same size, other bytes";
    EXPECT_FALSE(fileHolds(path, "123")) << "other size";
    EXPECT_FALSE(fileHolds(path, "12345"));
    EXPECT_FALSE(fileHolds(dir.file("missing"), ""));
    ASSERT_EQ(makeDirectories(dir.file("folder")), 0);
    EXPECT_FALSE(fileHolds(dir.file("folder"), ""));
    EXPECT_TRUE(fileHolds(dir.write("empty", ""), ""));
}

}  // namespace
}  // namespace qm
