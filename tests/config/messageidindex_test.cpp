// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/messageidindex.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "platform/logfile.h"
#include "support/tempdir.h"

namespace qm {
namespace {

std::string idOf(int i) {
    return "<" + std::to_string(i) + "@example.net>";
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            lines.push_back(text.substr(pos) + "<no line end>");
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

TEST(MessageIdIndex, ChecksumIsTheSumOfBytesAndPositions) {
    EXPECT_EQ(MessageIdIndex::checksum(""), 0);
    EXPECT_EQ(MessageIdIndex::checksum("a"), 97);
    EXPECT_EQ(MessageIdIndex::checksum("ab"), 97 + 1 + 98);
    EXPECT_EQ(MessageIdIndex::checksum("\xff"), 255) << "bytes count unsigned";
    // Long enough to wrap a 32-bit sum: never negative, so never the empty-slot mark.
    EXPECT_GE(MessageIdIndex::checksum(std::string(200000, '\xff')), 0);
}

TEST(MessageIdIndex, OneAddPastCapacityDropsTheOldestAndSavesTheRestOldestFirst) {
    test::TempDir dir;
    MessageIdIndex index(10000);
    index.setDirectory(dir.path());
    EXPECT_EQ(index.path(), dir.path() + "/MSGLIST");
    for (int i = 1; i <= 10001; ++i) ASSERT_EQ(index.add(idOf(i), true), 0);
    EXPECT_EQ(index.size(), 10000);
    EXPECT_EQ(index.contains(idOf(1)), 0);
    EXPECT_EQ(index.contains(idOf(2)), 1);
    EXPECT_EQ(index.contains(idOf(10001)), 1);

    ASSERT_EQ(index.save(), 0);
    std::vector<std::string> lines = linesOf(dir.read("MSGLIST"));
    ASSERT_EQ(lines.size(), 10000u);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(lines[static_cast<size_t>(i)], idOf(i + 2));
}

TEST(MessageIdIndex, IdsWithTheSameChecksumAreToldApart) {
    ASSERT_EQ(MessageIdIndex::checksum("<ab@x>"), MessageIdIndex::checksum("<ba@x>"));
    MessageIdIndex index(10);
    ASSERT_EQ(index.add("<ab@x>", true), 0);
    EXPECT_EQ(index.contains("<ab@x>"), 1);
    EXPECT_EQ(index.contains("<ba@x>"), 0);
    EXPECT_EQ(index.contains("<AB@x>"), 0) << "ids compare case-sensitively";
}

TEST(MessageIdIndex, AddWithoutOverwriteOnAFullIndexStoresNothing) {
    MessageIdIndex index(3);
    for (const char* id : {"a", "b", "c"}) ASSERT_EQ(index.add(id, false), 0);
    EXPECT_EQ(index.add("d", false), -1);
    EXPECT_EQ(index.size(), 3);
    EXPECT_EQ(index.contains("a"), 1);
    EXPECT_EQ(index.contains("d"), 0);

    EXPECT_EQ(index.add("d", true), 0);
    EXPECT_EQ(index.contains("a"), 0);
    EXPECT_EQ(index.contains("d"), 1);
}

TEST(MessageIdIndex, ARepeatedIdStaysFoundUntilItsLastCopyIsDropped) {
    MessageIdIndex index(3);
    for (const char* id : {"a", "b", "a", "c"}) ASSERT_EQ(index.add(id, true), 0);
    EXPECT_EQ(index.contains("a"), 1) << "the newer copy is still in the ring";
    ASSERT_EQ(index.add("d", true), 0);
    EXPECT_EQ(index.contains("b"), 0);
    EXPECT_EQ(index.contains("a"), 1);
    ASSERT_EQ(index.add("e", true), 0);
    EXPECT_EQ(index.contains("a"), 0);
    EXPECT_EQ(index.contains("c"), 1);
}

TEST(MessageIdIndex, ContainsWritesTheDuplicateToTheLog) {
    test::TempDir dir;
    LogFile log;
    ASSERT_TRUE(log.open(dir.file("Log")));
    MessageIdIndex index;
    EXPECT_EQ(index.contains("<x@y>", &log), 0) << "an empty index holds nothing";
    ASSERT_EQ(index.add("<x@y>", true), 0);
    EXPECT_EQ(index.contains("<x@y>", &log), 1);
    EXPECT_EQ(index.contains("<other@y>", &log), 0);
    log.close();
    EXPECT_EQ(dir.read("Log"), "Duplicated id <x@y>\n");
}

TEST(MessageIdIndex, LoadSplitsOnAnyWhiteSpaceAndKeepsTheNewest) {
    struct Case {
        std::string_view file;
        std::string_view saved;
    };
    const Case cases[] = {
        {"a\nb\nc\n", "a\nb\nc\n"},
        {"\n\na\n\n  b \r\n\n\tc\x0b\x0c", "a\nb\nc\n"},  // blank lines and stray blanks
        {"a b c d e", "c\nd\ne\n"},                       // longer than the capacity
        {"", ""},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        dir.write("MSGLIST", c.file);
        MessageIdIndex index(3);
        index.setDirectory(dir.path());
        ASSERT_EQ(index.load(), 0);
        ASSERT_EQ(index.save(), 0);
        EXPECT_EQ(dir.read("MSGLIST"), c.saved) << c.file;
    }
}

TEST(MessageIdIndex, IdsAddedAfterALoadComeAfterTheFilesAsIfItWasReadAtOnce) {
    // The file is read at first use; what it held still comes first and a save keeps it.
    test::TempDir dir;
    dir.write("MSGLIST", "a\nb\n");
    MessageIdIndex index(3);
    index.setDirectory(dir.path());
    ASSERT_EQ(index.load(), 0);
    ASSERT_EQ(index.add("c", true), 0);
    ASSERT_EQ(index.add("d", true), 0);
    ASSERT_EQ(index.save(), 0);
    EXPECT_EQ(dir.read("MSGLIST"), "b\nc\nd\n");
}

TEST(MessageIdIndex, SetDirectoryEmptiesAndAMissingFileLoadsNothing) {
    test::TempDir dir;
    MessageIdIndex index;
    ASSERT_EQ(index.add("a", true), 0);
    index.setDirectory(dir.path());
    EXPECT_EQ(index.size(), 0);
    EXPECT_EQ(index.contains("a"), 0);
    EXPECT_EQ(index.load(), -1);
    EXPECT_EQ(index.size(), 0);
    ASSERT_EQ(index.save(), 0);
    EXPECT_EQ(dir.read("MSGLIST"), "");
}

TEST(MessageIdIndex, HostileMsglistLoadsWithoutHarm) {
    test::TempDir dir;
    std::string huge(1 << 20, 'h');
    std::string binary("\x01\x00\x7f\xff\x80", 5);
    dir.write("MSGLIST", huge + "\n" + binary + "\n<ok@x>");
    MessageIdIndex index(10);
    index.setDirectory(dir.path());
    ASSERT_EQ(index.load(), 0);
    EXPECT_EQ(index.size(), 3);
    EXPECT_EQ(index.contains(huge), 1);
    EXPECT_EQ(index.contains(binary), 1);
    EXPECT_EQ(index.contains("<ok@x>"), 1);
    ASSERT_EQ(index.save(), 0);
    EXPECT_EQ(dir.read("MSGLIST"), huge + "\n" + binary + "\n<ok@x>\n");
}

TEST(MessageIdIndex, ASaveThatFailsHalfWayKeepsTheOldMsglist) {
    test::TempDir dir;
    std::string old = "<old@x>\n";
    dir.write("MSGLIST", old);
    MessageIdIndex index;
    index.setDirectory(dir.path());
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(index.add(idOf(i), true), 0);

    // A file-size limit makes the write fail part-way, as a full disk would (even for root).
    struct rlimit previous {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = index.save();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(dir.read("MSGLIST"), old);
}

}  // namespace
}  // namespace qm
