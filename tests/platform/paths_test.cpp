#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

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
    EXPECT_EQ(volumeFreeKB(dir.file("not/yet/there")), volumeFreeKB(dir.path()));
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
