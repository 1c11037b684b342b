// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/partassembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/partreader.h"
#include "uutestfixture.h"

namespace qm::test {
namespace {

std::vector<std::string> splitLines(const std::string& body, size_t count) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < body.size();) {
        size_t end = body.find('\n', at);
        lines.push_back(body.substr(at, end - at + 1));
        at = end + 1;
    }
    std::vector<std::string> parts(count);
    size_t per = (lines.size() + count - 1) / count;
    for (size_t i = 0; i < lines.size(); ++i) parts[std::min(i / per, count - 1)] += lines[i];
    return parts;
}

class AssemblerTest : public DecoderFixture {
  protected:
    std::string setDir() const { return joinPath(tmp(), "set") + "/"; }
    std::string part(int n) const { return setDir() + std::to_string(n); }

    void store(const std::vector<std::string>& parts) {
        for (size_t i = 0; i < parts.size(); ++i) {
            m_dir.write("data/tmp/set/" + std::to_string(i + 1), parts[i]);
        }
    }
    // Assembles the set and commits it, as the end of an article's decoding does.
    int assemble(int count) {
        int result = assembleParts(*m_decoder, setDir(), count);
        m_decoder->commit();
        return result;
    }

    // A reader over text, as the scanner hands it over.
    std::unique_ptr<PartReader> reader(const std::string& text) {
        std::string path = m_dir.write("in/streamed" + std::to_string(++m_streams), text);
        return std::make_unique<PartReader>(openFile(path, "r"));
    }
    int m_streams = 0;
};

TEST_F(AssemblerTest, StoredPartsGiveTheOriginalBytes) {
    // Every part after the first starts with a full data line, as the scanner stores them.
    struct Case {
        size_t size;
        size_t count;
    } cases[] = {{0, 1},  {1, 1},  {2, 1},    {3, 1},    {44, 1},   {45, 1},
                 {46, 1}, {90, 1}, {1000, 3}, {4500, 3}, {4501, 3}, {10007, 3}};
    for (const char* lineEnd : {"\n", "\r\n"}) {
        for (const Case& c : cases) {
            std::string data = sampleData(c.size, static_cast<unsigned>(c.size));
            std::string name = "f" + std::to_string(c.size) + (lineEnd[1] ? "r" : "n") + ".bin";
            store(splitLines(uuencodeBody(data, name, lineEnd), c.count));
            EXPECT_EQ(assemble(static_cast<int>(c.count)), 0);
            EXPECT_EQ(content(newsFile(name)), data) << name;
            EXPECT_FALSE(isDirectory(setDir())) << name;
        }
    }
    EXPECT_EQ(m_sink.assembled, 8);  // only the sets of three parts count
}

TEST_F(AssemblerTest, TheSetDescriptionBecomesTheDescFile) {
    m_dir.write("data/tmp/set/0", "what it shows\n");
    store({uuencodeBody(sampleData(10), "shown.gif")});
    EXPECT_EQ(assemble(1), 0);
    EXPECT_EQ(content(newsFile("shown.desc")), "what it shows\n");
}

TEST_F(AssemblerTest, ASetWithoutBeginGivesNoFileButIsCleared) {
    std::vector<std::string> parts = splitLines(uuencodeBody(sampleData(500), "x.bin"), 2);
    parts[0].erase(0, parts[0].find('\n') + 1);  // the begin line is lost
    store(parts);
    m_dir.write("data/tmp/set/CT", "2\n");
    EXPECT_EQ(assemble(2), 0);
    EXPECT_TRUE(listing(news()).empty());
    EXPECT_FALSE(isDirectory(setDir()));
}

TEST_F(AssemblerTest, ABeginLineInALaterPartIsStillFound) {
    std::string data = sampleData(500);
    store({"the text of part one\nno data here\n", uuencodeBody(data, "late.jpg")});
    EXPECT_EQ(assemble(2), 0);
    EXPECT_EQ(content(newsFile("late.jpg")), data);
}

TEST_F(AssemblerTest, ABeginLineWithoutNameGivesAGeneratedNameInNewsDat) {
    std::string data = sampleData(3000);
    store(splitLines(uuencodeBody(data, ""), 2));
    EXPECT_EQ(assemble(2), 0);
    EXPECT_EQ(content(newsFile("part1")), data);
    EXPECT_FALSE(isDirectory(setDir())) << "no part is left waiting";
    ASSERT_EQ(m_sink.files.size(), 1u);
    EXPECT_EQ(m_sink.files[0].first, newsFile("part1"));
}

TEST_F(AssemblerTest, AMissingPartFailsAndDropsThePendingDescription) {
    store({splitLines(uuencodeBody(sampleData(1000), "gap.jpg"), 2)[0]});
    m_dir.write("data/tmp/set/0", "desc\n");
    EXPECT_EQ(assemble(2), 1);
    EXPECT_FALSE(fileExists(m_decoder->pendingDescriptionPath()));
}

TEST_F(AssemblerTest, AnEndLineInAnEarlierPartClearsTheLaterParts) {
    std::string data = sampleData(100);
    store({uuencodeBody(data, "early.jpg"), "trailing junk\n"});
    m_dir.write("data/tmp/set/CT", "2\n");
    EXPECT_EQ(assemble(2), 0);
    EXPECT_EQ(content(newsFile("early.jpg")), data);
    EXPECT_FALSE(isDirectory(setDir()));
}

TEST_F(AssemblerTest, ABinHexSetGivesNoFile) {
    store({"(This file must be converted with BinHex 4.0)\n:ABCDEF\n", "---\n:GHIJ\n"});
    EXPECT_EQ(assemble(2), 0);
    EXPECT_TRUE(listing(news()).empty());
    EXPECT_FALSE(isDirectory(setDir()));
}

TEST_F(AssemblerTest, AStreamedPartGivesWhatItsStoredPartWould) {
    std::string data = sampleData(20000);
    std::vector<std::string> parts = splitLines(uuencodeBody(data, "s.jpg"), 3);
    for (int streamedNumber = 1; streamedNumber <= 3; ++streamedNumber) {
        std::vector<std::string> stored = parts;
        stored.erase(stored.begin() + streamedNumber - 1);
        for (int n = 1, i = 0; n <= 3; ++n) {
            if (n != streamedNumber) m_dir.write("data/tmp/set/" + std::to_string(n), stored[i++]);
        }
        auto input = reader(parts[streamedNumber - 1] + "after the end\n");
        StreamedPart streamed{streamedNumber, std::nullopt, *input};
        EXPECT_EQ(assembleParts(*m_decoder, setDir(), 3, streamed), 0);
        m_decoder->commit();
        EXPECT_TRUE(input->atEnd());
        EXPECT_FALSE(isDirectory(setDir()));
    }
    EXPECT_EQ(content(newsFile("s.jpg")), data);
    EXPECT_EQ(content(newsFile("1_s.jpg")), data);
    EXPECT_EQ(content(newsFile("2_s.jpg")), data);
}

TEST_F(AssemblerTest, AStreamedPartIsStoredWhenTheOutputCannotBeCreated) {
    m_dir.write("data/group/news.dat", "a file where the folder would go");
    // In the streamed part itself: the text before the begin line is kept too.
    std::string text = "words\nbegin 644 a.bin\nM" + std::string(60, 'A') + "\nend\n";
    m_dir.write("data/tmp/set/1", "part one\n");
    auto first = reader(text.substr(6));
    StreamedPart streamed{2, std::string_view("words\n"), *first};
    EXPECT_EQ(assembleParts(*m_decoder, setDir(), 2, streamed), 1);
    EXPECT_EQ(content(part(2)), text);
    EXPECT_EQ(content(part(1)), "part one\n");

    // In an earlier part: the streamed part is stored whole.
    m_dir.write("data/tmp/set/1", "begin 644 b.bin\n");
    auto second = reader("M" + std::string(60, 'B') + "\n");
    StreamedPart later{2, std::nullopt, *second};
    EXPECT_EQ(assembleParts(*m_decoder, setDir(), 2, later), 1);
    EXPECT_EQ(content(part(2)), "M" + std::string(60, 'B') + "\n");
    EXPECT_EQ(content(part(1)), "begin 644 b.bin\n");
    EXPECT_EQ(m_decoder->result().path, news()) << "the folder that could not be made";
    EXPECT_EQ(m_decoder->result().error, ENOTDIR);
    EXPECT_TRUE(m_sink.files.empty());
}

TEST(BeginLines, NameRunsToTheLineEnd) {
    EXPECT_EQ(beginLineName("begin 644 my pic (1).jpg \r\n"), "my pic (1).jpg");
    EXPECT_EQ(beginLineName("begin 644\tx.gif\n"), "x.gif");
    EXPECT_EQ(beginLineName("begin 644 \n"), "");
    EXPECT_EQ(beginLineName("begin\n"), "");
    EXPECT_TRUE(isEndLine("end\r\n"));
    EXPECT_FALSE(isEndLine("end \n"));
}

}  // namespace
}  // namespace qm::test
