// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/uuscanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/subject.h"
#include "uutestfixture.h"

namespace qm::test {
namespace {

// The encoded body cut into count pieces at line boundaries, the "begin" line in the first.
std::vector<std::string> splitLines(const std::string& body, int count) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < body.size();) {
        size_t end = body.find('\n', at);
        lines.push_back(body.substr(at, end - at + 1));
        at = end + 1;
    }
    std::vector<std::string> parts(count);
    size_t per = (lines.size() + count - 1) / count;
    for (size_t i = 0; i < lines.size(); ++i)
        parts[std::min(i / per, parts.size() - 1)] += lines[i];
    return parts;
}

class ScannerTest : public DecoderFixture {
  protected:
    std::vector<std::string> tmpListing() {
        std::vector<std::string> names = listing(tmp());
        return names;
    }
};

struct MarkerCase {
    const char* line;
    PartMarker::Kind kind;
    const char* name;
    int part;
    int count;
};

TEST(PartMarkers, RecognisesTheMarkerLinesOfSplitPosts) {
    using K = PartMarker::Kind;
    const MarkerCase cases[] = {
        {"section 2 of uuencode 5.25 of file foo.zip    by R.E.M.\n", K::Part, "foo.zip", 2, 0},
        {"section 2/5 file foo.zip  [ Wincode v2.7 ]\n", K::Part, "foo.zip", 2, 5},
        {"section 2/5   file foo.zip \n", K::Part, "foo.zip", 2, 5},
        {"section 0/5 file foo.zip \n", K::Ignored, "", 0, 0},
        {"section 6/5 file foo.zip \n", K::Ignored, "", 0, 0},
        {"section 2/5 file foo.zip\n", K::Ignored, "", 0, 0},  // name not followed by a blank
        {"section 2 of something else\n", K::Ignored, "", 0, 0},
        {"section 99999999999999/5 file a \n", K::Ignored, "", 0, 0},
        {"section 2 is here\n", K::None, "", 0, 0},
        {"POST V2.0.0 foo.jpg (Part 3/4)\n", K::Part, "foo.jpg", 3, 4},
        {"POST V2.0.0 foo.jpg (Part 5/4)\n", K::None, "", 0, 0},
        {"POST V2.0.0 foo.jpg (Part 0/4)\n", K::None, "", 0, 0},
        {"File: foo.gif -- part 1 of 2 -- posted\n", K::Part, "foo.gif", 1, 2},
        {"File: foo.gif -- part 1 of 2\n", K::None, "", 0, 0},
        {"[Section: 2/3  File: bar.jpg  Encoder: x]\n", K::Part, "bar.jpg", 2, 3},
        {"[Section: 4/3  File: bar.jpg ]\n", K::None, "", 0, 0},
        {"[bar.jpg - part 2 of 3]\n", K::Part, "bar.jpg", 2, 3},
        {"[bar.jpg (a-b) - part 2 of 3]\n", K::Part, "bar.jpg", 2, 3},
        {"[bar.jpg - part 2 of 3\n", K::None, "", 0, 0},
        {"[ bar.jpg - part 2 of 3]\n", K::None, "", 0, 0},
        {"[bar.jpg - part 2 of 99999999999]\n", K::None, "", 0, 0},
        {"just text\n", K::None, "", 0, 0},
    };
    for (const MarkerCase& c : cases) {
        PartMarker m = parsePartMarker(c.line);
        EXPECT_EQ(m.kind, c.kind) << c.line;
        if (c.kind != K::Part) continue;
        EXPECT_EQ(m.name, c.name) << c.line;
        EXPECT_EQ(m.part, c.part) << c.line;
        EXPECT_EQ(m.count, c.count) << c.line;
    }
}

TEST_F(ScannerTest, SingleUnnumberedPostIsDecodedByItsOwnEndLine) {
    std::string data = sampleData(10000);
    decode(article("a picture for you", "Look:\n\n" + uuencodeBody(data, "sunset.jpg")));
    EXPECT_EQ(content(newsFile("sunset.jpg")), data);
    ASSERT_EQ(m_sink.files.size(), 1u);
    EXPECT_EQ(m_sink.assembled, 0);
    EXPECT_TRUE(tmpListing().empty());
    EXPECT_EQ(listing(news()), std::vector<std::string>{"sunset.jpg"});
    EXPECT_EQ(log(), "");
}

TEST_F(ScannerTest, StoredAndDirectRoadsLeaveTheSameFiles) {
    std::string data = sampleData(5000);
    std::string text = article("no numbers", "intro\n" + uuencodeBody(data, "same.jpg") + "bye\n");
    decode(text);
    // A count file of the set sends the next post along the stored road.
    m_dir.write("data/tmp/unknown/CT", "7\n");
    decode(text);
    EXPECT_EQ(content(newsFile("same.jpg")), data);
    EXPECT_EQ(content(newsFile("1_same.jpg")), data);
    EXPECT_TRUE(tmpListing().empty());
    EXPECT_EQ(m_sink.files.size(), 2u);
    EXPECT_EQ(m_sink.assembled, 0);
}

TEST_F(ScannerTest, PartsArrivingOutOfOrderAcrossRunsAreDecodedWhenTheSetIsComplete) {
    std::string data = sampleData(20000);
    std::vector<std::string> parts = splitLines(uuencodeBody(data, "pic.jpg"), 3);
    decode(article("pic.jpg (2/3)", parts[1]));
    decode(article("pic.jpg (3/3)", parts[2]));
    EXPECT_FALSE(fileExists(newsFile("pic.jpg")));
    EXPECT_EQ(tmpListing().size(), 1u);
    EXPECT_NE(log().find("Saving part 2 of 3 "), std::string::npos);

    restartDecoder();  // the next run
    decode(article("pic.jpg (1/3)", parts[0]));
    EXPECT_EQ(content(newsFile("pic.jpg")), data);
    EXPECT_TRUE(tmpListing().empty());
    EXPECT_EQ(m_sink.assembled, 1);
    EXPECT_EQ(log().find("Did not find"), std::string::npos);
}

TEST_F(ScannerTest, PartsInOrderWithCrLfLineEndsAreDecoded) {
    std::string data = sampleData(30000);
    std::vector<std::string> parts = splitLines(uuencodeBody(data, "crlf.gif", "\r\n"), 4);
    for (int i = 0; i < 4; ++i) {
        decode(article("crlf.gif (" + std::to_string(i + 1) + "/4)", parts[i]));
    }
    EXPECT_EQ(content(newsFile("crlf.gif")), data);
    EXPECT_TRUE(tmpListing().empty());
}

TEST_F(ScannerTest, XPartHeadersCollectAPostWithoutNumberedSubjects) {
    std::string data = sampleData(8000);
    std::vector<std::string> parts = splitLines(uuencodeBody(data, "xp.bin"), 2);
    auto body = [&](int n) {
        return "X-File-Name: xp.bin\nx-part: " + std::to_string(n) + "\nX-Part-Total: 2\n\n" +
               parts[n - 1];
    };
    decode(article("something", body(2)));
    EXPECT_FALSE(fileExists(newsFile("xp.bin")));
    EXPECT_TRUE(isDirectory(joinPath(tmp(), "xp.bin")));
    decode(article("something", body(1)));
    EXPECT_EQ(content(newsFile("xp.bin")), data);
    EXPECT_TRUE(tmpListing().empty());
}

TEST_F(ScannerTest, TextBeforeTheDataOfPartOneBecomesTheDescription) {
    struct Case {
        const char* name;
        std::string before;
        const char* desc;
        const char* expected;
    } cases[] = {
        {"photo.jpg", "\n  \nX-Poster: me\nHello there\n\nnice pic\n", "photo.desc",
         "Hello there\n\nnice pic\n"},
        {"README", "About it\n---\nnot this\n", "README.desc", "About it\n"},
    };
    for (const Case& c : cases) {
        std::string data = sampleData(700);
        decode(article(std::string(c.name) + " (1/1)", c.before + uuencodeBody(data, c.name)));
        EXPECT_EQ(content(newsFile(c.name)), data);
        EXPECT_EQ(content(newsFile(c.desc)), c.expected) << c.name;
        EXPECT_EQ(m_sink.files.back().second, newsFile(c.desc));
    }
    EXPECT_TRUE(tmpListing().empty());
}

// A run killed while part 1's description was being written leaves no description for the
// set to keep: when the part comes again (it was never committed) the description is written
// whole.
TEST_F(ScannerTest, ADescriptionCutShortByAKillIsWrittenWholeWhenThePartComesAgain) {
    const std::string data = sampleData(20000);
    std::vector<std::string> parts = splitLines(uuencodeBody(data, "kill.jpg"), 2);
    std::string key;
    int part = 0;
    int total = 0;
    ASSERT_EQ(recognizeSubject("kill.jpg (1/2)", key, part, total), 0);
    {
        PartDescription cut = openPartDescription(*m_decoder, key);
        ASSERT_TRUE(cut.file);
        std::fputs("Hel", cut.file.get());
    }
    restartDecoder();
    decode(article("kill.jpg (1/2)", "Hello there\nnice pic\n" + parts[0]));
    decode(article("kill.jpg (2/2)", parts[1]));
    EXPECT_EQ(content(newsFile("kill.jpg")), data);
    EXPECT_EQ(content(newsFile("kill.desc")), "Hello there\nnice pic\n");
    EXPECT_TRUE(tmpListing().empty());
}

TEST_F(ScannerTest, MimeHeaderInsideAPlainBodyIsHandedToTheMimeDecoder) {
    std::string gif = "GIF89a" + sampleData(600);
    decode(article("a gif",
                   "Some words first.\nAnd more.\nContent-Type: image/gif\n"
                   "Content-Transfer-Encoding: base64\n\n" +
                       base64Lines(gif)));
    EXPECT_EQ(content(newsFile("part1.gif")), gif);
}

TEST_F(ScannerTest, BoundaryLineFollowedByAHeaderIsDecodedAsAMultipart) {
    std::string jpeg = sampleData(900);
    decode(article("no mime header",
                   "--xyz\nContent-Type: image/jpeg; name=\"m.jpg\"\n"
                   "Content-Transfer-Encoding: base64\n\n" +
                       base64Lines(jpeg) + "--xyz--\n"));
    EXPECT_EQ(content(newsFile("m.jpg")), jpeg);
}

TEST_F(ScannerTest, BinHexNoteGivesNoOutput) {
    decode(article("mac file", "(This file must be converted with BinHex 4.0)\n:abc\n"));
    EXPECT_TRUE(listing(news()).empty());
    EXPECT_EQ(log(), "Warning: Did not find anything to unpack...\n\n\n");
}

TEST_F(ScannerTest, EveryFileOfAnUnnumberedPostIsDecoded) {
    std::string a = sampleData(400, 1);
    std::string b = sampleData(500, 2);
    decode(article("two files", uuencodeBody(a, "a.jpg") + "\nnext:\n" + uuencodeBody(b, "b.jpg")));
    EXPECT_EQ(content(newsFile("a.jpg")), a);
    EXPECT_EQ(content(newsFile("b.jpg")), b);
}

TEST_F(ScannerTest, UnnumberedPostCutBeforeItsEndLeavesNothing) {
    std::string body = uuencodeBody(sampleData(3000), "cut.jpg");
    body.resize(body.size() / 2);
    body.resize(body.rfind('\n') + 1);
    decode(article("cut", body));
    EXPECT_TRUE(listing(news()).empty());
    EXPECT_TRUE(tmpListing().empty());
    EXPECT_NE(log().find("Did not find anything to unpack"), std::string::npos);
}

TEST_F(ScannerTest, MarkerLinesNameTheSet) {
    std::string data = sampleData(6000);
    std::vector<std::string> parts = splitLines(uuencodeBody(data, "sec.zip"), 2);
    decode(article("whatever 2", "[sec.zip - part 2 of 2]\n" + parts[1]));
    decode(article("whatever 1", "intro\n[sec.zip - part 1 of 2]\n" + parts[0]));
    EXPECT_EQ(content(newsFile("sec.zip")), data);
    EXPECT_NE(log().find("Saving part 2 of 2 sec.zip\n"), std::string::npos);
    EXPECT_TRUE(tmpListing().empty());
}

TEST_F(ScannerTest, HostileTextIsSurvived) {
    std::string nested;
    for (int i = 0; i < 5000; ++i) nested += "Content-X: y\n\n";
    const std::string bodies[] = {
        nested,
        "x-part: 99999999999999999999\nx-part-total: -3\nM" + std::string(61, 'A') + "\n",
        "section 99999999999999999/99999999999999 file a \n",
        "begin 644 \n" + std::string(5000, 'M') + "\nend\n",
        std::string("begin 644 z\n\0\0\0\nM\xff\xfe\nend\n", 25),
        "--" + std::string(5000, 'b') + "\nContent-Type: text/plain\n\n",
    };
    for (const std::string& body : bodies) decode(article("x (1/1)", body));
    // The decoder is still sound afterwards.
    std::string data = sampleData(2000);
    decode(article("after", uuencodeBody(data, "after.jpg")));
    EXPECT_EQ(content(newsFile("after.jpg")), data);
}

}  // namespace
}  // namespace qm::test
