#include "decode/decoder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "decode/outputnames.h"
#include "uutestfixture.h"

namespace qm::test {
namespace {

class DecoderTest : public DecoderFixture {
  protected:
    std::string open(std::optional<std::string_view> name) {
        FilePtr file = m_decoder->openOutputFile(name, "image/jpeg");
        if (!file) return "<failed>";
        std::fputs("x", file.get());
        return m_decoder->lastOutputPath();
    }
};

TEST_F(DecoderTest, NothingFoundWritesTheWarningFollowedByTwoEmptyLines) {
    decode(article("hello", "just some text\nand more\n"));
    EXPECT_EQ(log(), "Warning: Did not find anything to unpack...\n\n\n");
    EXPECT_FALSE(m_decoder->found());
}

TEST_F(DecoderTest, InformationSetsFoundAndIsSilentWhenQuiet) {
    m_decoder->information("Saving part 1 of 2 x");
    EXPECT_TRUE(m_decoder->found());
    m_decoder->warning("careful");
    EXPECT_EQ(log(), "Saving part 1 of 2 x\n\nWarning: careful\n\n");

    // A quiet decode still saves the part but writes no information line.
    decode(article("x.jpg (1/2)", uuencodeBody(sampleData(100), "x.jpg")), false, true);
    EXPECT_EQ(log().find("Saving part 1 of 2"), log().rfind("Saving part 1 of 2"));
}

TEST_F(DecoderTest, HostileNamesStayInsideNewsDat) {
    const std::string names[] = {
        "../../x", "..\\..\\x",    "/etc/passwd", "..",
        ".",       "\x01\x02\x0a", "a/../../b",   std::string(5000, 'n') + ".jpg"};
    for (const std::string& name : names) {
        std::string path = open(name);
        ASSERT_EQ(path.substr(0, news().size() + 1), news() + "/") << name;
        std::string file = path.substr(news().size() + 1);
        EXPECT_EQ(file.find('/'), std::string::npos) << name;
        EXPECT_LE(file.size(), MaxNameBytes) << name;
        EXPECT_NE(file, "..");
        EXPECT_NE(file, ".");
        EXPECT_EQ(content(path), "x") << name;
    }
    EXPECT_EQ(open("..\\..\\x"), newsFile("2_..X..Xx"));  // the 1st and 2nd name above
    EXPECT_EQ(open(std::string(5000, 'n') + ".jpg").substr(news().size() + 1).size(), MaxNameBytes);
}

TEST_F(DecoderTest, ExistingNamesAreNumberedUnlessOverwriting) {
    EXPECT_EQ(open("pic.jpg"), newsFile("pic.jpg"));
    EXPECT_EQ(open("pic.jpg"), newsFile("1_pic.jpg"));
    EXPECT_EQ(open("pic.jpg"), newsFile("2_pic.jpg"));
    ASSERT_EQ(m_sink.files.size(), 3u);
    EXPECT_EQ(m_sink.files[1].first, newsFile("1_pic.jpg"));
}

TEST_F(DecoderTest, KeepDupKeepsBothPostsAndOverwriteReplacesTheFirst) {
    std::string first = sampleData(300, 1);
    std::string second = sampleData(200, 2);
    decode(article("pic", uuencodeBody(first, "pic.jpg")), false);
    decode(article("pic", uuencodeBody(second, "pic.jpg")), false);
    EXPECT_EQ(content(newsFile("pic.jpg")), first);
    EXPECT_EQ(content(newsFile("1_pic.jpg")), second);

    decode(article("pic", uuencodeBody(second, "pic.jpg")), true);
    EXPECT_EQ(content(newsFile("pic.jpg")), second);
    EXPECT_EQ(listing(news()), (std::vector<std::string>{"1_pic.jpg", "pic.jpg"}));
}

TEST_F(DecoderTest, NamelessFilesArePartNInTheThreadDirectoryAndNotReported) {
    std::string dir = ThreadContext::current().directory;
    EXPECT_EQ(open(std::nullopt), joinPath(dir, "part1"));
    EXPECT_EQ(open("~~"), joinPath(dir, "part2"));
    EXPECT_TRUE(m_sink.files.empty());
    EXPECT_TRUE(m_decoder->found());
}

TEST_F(DecoderTest, PendingDescriptionBecomesTheDescFileOfTheNextFile) {
    struct Case {
        const char* name;
        const char* desc;
    } cases[] = {{"photo.jpg", "photo.desc"}, {"README", "README.desc"}};
    for (const Case& c : cases) {
        m_dir.write("data/tmp/tempdesc.txt", std::string("about ") + c.name);
        EXPECT_EQ(m_decoder->pendingDescriptionPath(), joinPath(tmp(), "tempdesc.txt"));
        std::string path = open(c.name);
        EXPECT_EQ(content(newsFile(c.desc)), std::string("about ") + c.name);
        EXPECT_EQ(m_sink.files.back(), std::make_pair(path, newsFile(c.desc)));
        EXPECT_FALSE(fileExists(m_decoder->pendingDescriptionPath()));
    }
    open("other.jpg");
    EXPECT_EQ(m_sink.files.back().second, "");
    EXPECT_FALSE(fileExists(newsFile("other.desc")));
}

TEST_F(DecoderTest, CollectionNamesLoseSlashesAndBlanks) {
    auto dir = m_decoder->partDirectory("a/b c\\d");
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, joinPath(tmp(), "abcd") + "/");
    EXPECT_TRUE(isDirectory(*dir));
    EXPECT_EQ(*m_decoder->partDirectory("../.."), joinPath(tmp(), "XXXX") + "/");
    m_decoder->removePartDirectory(*dir);
    EXPECT_FALSE(isDirectory(*dir));
}

TEST_F(DecoderTest, UncreatableCollectionIsAWarning) {
    m_dir.write("data/tmp/blocked", "a file where the directory would go");
    EXPECT_FALSE(m_decoder->partDirectory("blocked"));
    EXPECT_NE(log().find("Warning: fail create dir for blocked\n"), std::string::npos);
}

TEST_F(DecoderTest, AFileThatCannotBeCreatedIsNeitherReportedNorFound) {
    ASSERT_EQ(makeDirectories(newsFile("pic.jpg")), 0);  // a folder in the way
    m_dir.write("data/tmp/tempdesc.txt", "waiting");
    decode(article("pic", uuencodeBody(sampleData(50), "pic.jpg")), true);
    EXPECT_TRUE(m_sink.files.empty());
    EXPECT_NE(log().find("Did not find anything to unpack"), std::string::npos);
    EXPECT_EQ(content(m_decoder->pendingDescriptionPath()), "waiting");
}

TEST_F(DecoderTest, ADataDirectoryWithBlanksIsUsedAsItIs) {
    useDataDirectory("my data (2)");
    std::string data = sampleData(1000);
    decode(article("pic", uuencodeBody(data, "pic.jpg")));
    EXPECT_EQ(content(m_dir.file("my data (2)/group/news.dat/pic.jpg")), data);
}

TEST_F(DecoderTest, WithoutAThreadDirectoryFilesGoBelowTheDataDirectory) {
    ThreadContext::current().directory.clear();
    EXPECT_EQ(open("pic.jpg"), joinPath(data(), "news.dat/pic.jpg"));
}

}  // namespace
}  // namespace qm::test
