// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/decoder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "decode/outputnames.h"
#include "uutestfixture.h"

namespace qm::test {
namespace {

// An article read through a stream that looks at the output folder on every read after the
// first, that is while the body is being decoded: a process killed at such a moment leaves
// what is there then.
struct WatchedArticle {
    std::string text;
    size_t position = 0;
    int reads = 0;
    std::string news;
    std::string finalName;
    int temporariesSeen = 0;
    int temporariesLost = 0;
    int finalSeen = 0;
};

ssize_t readWatched(void* cookie, char* buffer, size_t size) {
    auto& article = *static_cast<WatchedArticle*>(cookie);
    if (article.reads++ > 0 && article.position < article.text.size()) {
        bool temporary = false;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(article.news, ec)) {
            std::string name = entry.path().filename().string();
            if (name == article.finalName) ++article.finalSeen;
            if (name.starts_with(TemporaryOutputPrefix)) temporary = true;
        }
        // The first reads fetch the header, before the output is started.
        if (temporary) {
            ++article.temporariesSeen;
        } else if (article.temporariesSeen > 0) {
            ++article.temporariesLost;
        }
    }
    size_t n = std::min(size, article.text.size() - article.position);
    std::memcpy(buffer, article.text.data() + article.position, n);
    article.position += n;
    return static_cast<ssize_t>(n);
}

FilePtr openWatched(WatchedArticle& article) {
    cookie_io_functions_t functions{};
    functions.read = readWatched;
    return FilePtr(fopencookie(&article, "r", functions));
}

class DecoderTest : public DecoderFixture {
  protected:
    std::string open(std::optional<std::string_view> name) {
        OutputFile file = m_decoder->openOutputFile(name, "image/jpeg");
        if (!file) return "<failed>";
        std::fputs("x", file.get());
        if (!m_decoder->finishOutputFile(file)) return "<unfinished>";
        m_decoder->commit();
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

// Inside "news.dat", where the catalogue and the file manager see them, and reported.
TEST_F(DecoderTest, NamelessFilesGetAGeneratedNameInNewsDat) {
    // A picture stays one: its type gives the extension.
    EXPECT_EQ(open(std::nullopt), newsFile("part1.jpg"));
    EXPECT_EQ(open("~~"), newsFile("part2.jpg"));
    EXPECT_EQ(m_sink.files.size(), 2u);
    EXPECT_TRUE(m_decoder->found());

    decode(
        "Subject: no name\nContent-Type: image/gif\nContent-Transfer-Encoding: base64\n\nYWJj\n");
    EXPECT_EQ(content(newsFile("part1.gif")), "abc");
    std::string data = sampleData(500);
    decode(article("no name either", uuencodeBody(data, "")));
    EXPECT_EQ(content(newsFile("part1")), data);
    EXPECT_EQ(m_sink.files.size(), 4u);
    EXPECT_TRUE(listing(tmp()).empty()) << "nothing waits in tmp";
    EXPECT_EQ(listing(m_inputs.outputDirectory), std::vector<std::string>{"news.dat"});
}

TEST_F(DecoderTest, ADescriptionNeverReplacesAFile) {
    // A decoded file called like the description, and an earlier file's description.
    m_dir.write("data/tmp/tempdesc.txt", "about notes");
    EXPECT_EQ(content(open("notes.desc")), "x");
    m_dir.write("data/tmp/tempdesc.txt", "about x.jpg");
    open("x.jpg");
    m_dir.write("data/tmp/tempdesc.txt", "about x.gif");
    open("x.gif");
    EXPECT_EQ(content(newsFile("x.desc")), "about x.jpg");
    EXPECT_EQ(m_sink.files.back(), std::make_pair(newsFile("x.gif"), std::string()));
    EXPECT_FALSE(fileExists(m_decoder->pendingDescriptionPath())) << "not kept for another file";
    EXPECT_NE(log().find("Warning: description not kept: " + newsFile("x.desc") + " exists"),
              std::string::npos)
        << log();
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
    m_decoder->commit();
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
    // The body decoded for it is not left behind under its temporary name either.
    EXPECT_EQ(listing(news()), std::vector<std::string>{"pic.jpg"});
}

TEST_F(DecoderTest, AMimeBodyHasNoFinalNameUntilItIsWrittenWhole) {
    ASSERT_EQ(makeDirectories(news()), 0);
    std::string data = sampleData(3 << 20);  // several reads of the article
    WatchedArticle article;
    article.text =
        "Subject: big\nMIME-Version: 1.0\nContent-Type: application/octet-stream; "
        "name=\"big.bin\"\nContent-Transfer-Encoding: base64\n\n" +
        base64Lines(data);
    article.news = news();
    article.finalName = "big.bin";
    EXPECT_FALSE(m_decoder->decodeArticle(openWatched(article), m_inputs, false, false, false)
                     .outputFailed());
    EXPECT_GT(article.temporariesSeen, 1);
    EXPECT_EQ(article.temporariesLost, 0);
    EXPECT_EQ(article.finalSeen, 0);
    EXPECT_EQ(content(newsFile("big.bin")), data);
    EXPECT_EQ(listing(news()), std::vector<std::string>{"big.bin"});
    ASSERT_EQ(m_sink.files.size(), 1u);
    EXPECT_EQ(m_sink.files[0].first, newsFile("big.bin"));
    // What the sink is told of the file spares it reading the file: it must be the file's.
    EXPECT_EQ(m_sink.starts[0].size, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(m_sink.starts[0].head, data.substr(0, FileStart::Bytes));
}

TEST_F(DecoderTest, ASplitPostHasNoFinalNameUntilItIsAssembled) {
    std::string data = sampleData(2 << 20);
    std::string body = uuencodeBody(data, "pic.jpg");
    size_t half = body.find('\n', body.size() / 2) + 1;
    decode(article("pic.jpg (1/2)", body.substr(0, half)));
    ASSERT_FALSE(fileExists(newsFile("pic.jpg")));
    WatchedArticle second;
    second.text = article("pic.jpg (2/2)", body.substr(half));
    second.news = news();
    second.finalName = "pic.jpg";
    EXPECT_FALSE(m_decoder->decodeArticle(openWatched(second), m_inputs, false, false, false)
                     .outputFailed());
    EXPECT_GT(second.temporariesSeen, 1);
    EXPECT_EQ(second.temporariesLost, 0);
    EXPECT_EQ(second.finalSeen, 0);
    EXPECT_EQ(content(newsFile("pic.jpg")), data);
    EXPECT_EQ(listing(news()), std::vector<std::string>{"pic.jpg"});
    ASSERT_EQ(m_sink.files.size(), 1u);
}

TEST_F(DecoderTest, AMimeBodyCutShortIsStillKeptWhole) {
    // The end of the article is no crash: what was decoded becomes the file.
    decode(
        "Subject: cut\nMIME-Version: 1.0\nContent-Type: application/octet-stream; "
        "name=\"cut.bin\"\nContent-Transfer-Encoding: base64\n\nYWJjZGVm\nYWJ");
    EXPECT_EQ(content(newsFile("cut.bin")), "abcdefab");
    EXPECT_NE(log().find("Premature EOF"), std::string::npos);
    EXPECT_EQ(listing(news()), std::vector<std::string>{"cut.bin"});
    ASSERT_EQ(m_sink.files.size(), 1u);
    EXPECT_EQ(m_sink.starts[0].size, 8);
    EXPECT_EQ(m_sink.starts[0].head, "abcdefab");
}

TEST_F(DecoderTest, ADataDirectoryWithBlanksIsUsedAsItIs) {
    useDataDirectory("my data (2)");
    std::string data = sampleData(1000);
    decode(article("pic", uuencodeBody(data, "pic.jpg")));
    EXPECT_EQ(content(m_dir.file("my data (2)/group/news.dat/pic.jpg")), data);
}

TEST_F(DecoderTest, WithoutAnOutputDirectoryFilesGoBelowTheDataDirectory) {
    m_inputs.outputDirectory.clear();
    m_decoder->setInputs(m_inputs);
    EXPECT_EQ(open("pic.jpg"), joinPath(data(), "news.dat/pic.jpg"));
}

}  // namespace
}  // namespace qm::test
