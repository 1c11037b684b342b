// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/partreader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mimefixture.h"

namespace qm {
namespace {

struct Walk {
    std::vector<std::string> parts;
    std::string epilogue;
};

// Reads a multipart with one boundary the way the MIME decoder does.
Walk walkMultipart(PartReader& reader, std::string_view boundary) {
    reader.addBoundary(boundary);
    reader.pushBack("\n");
    reader.ignoreRest();
    Walk walk;
    while (reader.readBoundary() == 0) walk.parts.push_back(test::readToEnd(reader));
    walk.epilogue = test::readToEnd(reader);
    return walk;
}

TEST(PartReader, SplitsAMultipartIntoItsParts) {
    struct Case {
        std::string input, boundary;
        std::vector<std::string> parts;
        std::string epilogue;
    };
    const Case cases[] = {
        {"pre\n--b\nA\n--b\nB\n--b--\nepi", "b", {"A", "B"}, "epi"},
        {"pre\r\n--b\r\nA\r\n--b\r\nB\r\n--b--\r\nepi", "b", {"A", "B"}, "epi"},
        {"--b\nA\n--b--\n", "b", {"A"}, ""},
        {"--b\nA\n--bxyz\nB\n--b--", "b", {"A", "B"}, ""},  // a prefix test
        {"--b\nA\n--c\n--b--", "b", {"A\n--c"}, ""},
        {"--b\nA --b\n--b--", "b", {"A --b"}, ""},  // only at a line start
        {"--b\nA\n--b\nB", "b", {"A", "B"}, ""},    // the end of the file closes it
        {"--b\nA\n-", "b", {"A\n-"}, ""},
        {"no boundary at all", "b", {}, ""},
        {"--\nA\n--x\nB\n----", "", {"A", "B"}, ""},  // the empty boundary
    };
    for (const auto& c : cases) {
        auto reader = test::readerOver(c.input);
        Walk walk = walkMultipart(*reader, c.boundary);
        EXPECT_EQ(walk.parts, c.parts) << c.input;
        EXPECT_EQ(walk.epilogue, c.epilogue) << c.input;
        EXPECT_EQ(reader->depth(), 0) << c.input;
    }
}

TEST(PartReader, InnerMultipartWithoutCloseDelimiterEndsAtTheOuterBoundary) {
    auto reader =
        test::readerOver("--outer\nX\n--inner\ni1\n--inner\ni2\n--outer\nY\n--outer--\nepilogue");
    reader->addBoundary("outer");
    reader->pushBack("\n");
    reader->ignoreRest();
    ASSERT_EQ(reader->readBoundary(), 0);
    reader->addBoundary("inner");
    reader->pushBack("\n");
    reader->ignoreRest();  // "X", the inner preamble
    ASSERT_EQ(reader->readBoundary(), 0);
    EXPECT_EQ(test::readToEnd(*reader), "i1");
    ASSERT_EQ(reader->readBoundary(), 0);
    EXPECT_EQ(test::readToEnd(*reader), "i2");
    EXPECT_EQ(reader->readBoundary(), 1) << "the outer boundary ends the inner multipart";
    EXPECT_EQ(reader->depth(), 1);
    EXPECT_EQ(test::readToEnd(*reader), "") << "and its epilogue";
    ASSERT_EQ(reader->readBoundary(), 0) << "the outer multipart continues";
    EXPECT_EQ(test::readToEnd(*reader), "Y");
    EXPECT_EQ(reader->readBoundary(), 1);
    EXPECT_EQ(test::readToEnd(*reader), "epilogue");
}

TEST(PartReader, BoundaryAcrossTheEdgeOfTheReadBufferIsFound) {
    // The buffer holds 256 KiB; move the delimiter across its edge byte by byte.
    const size_t edge = 256 * 1024;
    for (size_t size = edge - 90; size < edge + 8; ++size) {
        std::string filler(size, 'x');
        filler[size / 2] = '\n';
        filler[size - 1] = '\r';  // a lone CR at the end of a part's text stays
        auto reader = test::readerOver("--bound\n" + filler + "\r\n--bound--\n");
        Walk walk = walkMultipart(*reader, "bound");
        ASSERT_EQ(walk.parts.size(), 1u) << size;
        EXPECT_EQ(walk.parts[0], filler) << size;
    }
}

TEST(PartReader, ReadLineStopsAtTheLineEndOrTheLimit) {
    auto reader = test::readerOver(std::string(2500, 'a') + "\nshort\nlast");
    std::string line;
    ASSERT_TRUE(reader->readLine(line, 1024));
    EXPECT_EQ(line.size(), 1023u);
    ASSERT_TRUE(reader->readLine(line, 1024));
    ASSERT_TRUE(reader->readLine(line, 1024));
    EXPECT_EQ(line, std::string(2500 - 2046, 'a') + "\n");
    ASSERT_TRUE(reader->readLine(line, 1024));
    EXPECT_EQ(line, "short\n");
    ASSERT_TRUE(reader->readLine(line, 1024));
    EXPECT_EQ(line, "last");
    EXPECT_FALSE(reader->readLine(line, 1024));
    EXPECT_TRUE(reader->atEnd());
}

TEST(PartReader, PushedBackTextIsReadFirstWhateverItsSize) {
    auto reader = test::readerOver("rest");
    std::string line;
    ASSERT_TRUE(reader->readLine(line, 3));
    EXPECT_EQ(line, "re");
    const std::string big(20000, 'p');
    reader->pushBack(big);
    reader->pushBack("small\n");
    EXPECT_EQ(test::readToEnd(*reader), "small\n" + big + "st");
}

TEST(PartReader, PushBackBeforeABoundaryIsFollowedByTheSameBoundary) {
    auto reader = test::readerOver("--b\nline\n--b--\n");
    reader->addBoundary("b");
    reader->pushBack("\n");
    reader->ignoreRest();
    ASSERT_EQ(reader->readBoundary(), 0);
    std::string line;
    ASSERT_TRUE(reader->readLine(line, 100));
    const std::string first = line;
    EXPECT_EQ(first, "line");
    EXPECT_FALSE(reader->readLine(line, 100));
    reader->pushBack(first);
    EXPECT_EQ(test::readToEnd(*reader), "line");
    EXPECT_EQ(reader->readBoundary(), 1);
}

TEST(PartReader, ThousandsOfNestedBoundariesStayBounded) {
    auto reader = test::readerOver("text\n--x2999y\nmore\n--x5y\nrest");
    for (int i = 0; i < 3000; ++i) reader->addBoundary("x" + std::to_string(i) + "y");
    EXPECT_EQ(reader->depth(), 3000);
    // Boundaries past the table never match; "x5y" does, and ends every level inside it.
    EXPECT_EQ(test::readToEnd(*reader), "text\n--x2999y\nmore");
    for (int level = 3000; level > 6; --level) ASSERT_EQ(reader->readBoundary(), 1) << level;
    EXPECT_EQ(reader->readBoundary(), 0);
    EXPECT_EQ(reader->depth(), 6);
    EXPECT_EQ(test::readToEnd(*reader), "rest");
    EXPECT_EQ(reader->readBoundary(), 1);
    EXPECT_EQ(reader->depth(), 5);
}

}  // namespace
}  // namespace qm
