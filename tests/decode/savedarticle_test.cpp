// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/savedarticle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "model/groupentry.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm {
namespace {

TEST(SavedArticle, ResetRestoresTheDefaults) {
    SavedArticle article;
    article.number = 17;
    article.part = 3;
    article.total = 9;
    article.key = "k";
    article.lines = 40;
    article.lineCount = 12;
    article.file = FilePtr(std::tmpfile());
    article.reset();
    EXPECT_EQ(article.number, -1);
    EXPECT_EQ(article.part, 1);
    EXPECT_EQ(article.total, 1);
    EXPECT_EQ(article.key, "");
    EXPECT_EQ(article.lines.load(), 0);
    EXPECT_EQ(article.lineCount.load(), 0);
    EXPECT_EQ(article.file, nullptr);
}

TEST(SavedArticle, PathIsTheGroupDirectoryAndTheNumber) {
    test::TempDir dir;
    GroupEntry group("alt.binaries.pictures");
    SavedArticle article;
    article.setGroup(dir.path() + "/data", group);
    EXPECT_EQ(article.groupDirectory(), dir.path() + "/data/alt.binaries.pictures");
    EXPECT_FALSE(isDirectory(article.groupDirectory()));
    article.number = 4711;
    EXPECT_EQ(article.path(), dir.path() + "/data/alt.binaries.pictures/4711");
    EXPECT_TRUE(isDirectory(article.groupDirectory())) << "created on the way";

    article.setGroup(dir.path() + "/", group);
    EXPECT_EQ(article.path(), dir.path() + "/alt.binaries.pictures/4711") << "one separator";
}

TEST(SavedArticle, PathIsEmptyWhenNothingCanBeSaved) {
    test::TempDir dir;
    dir.write("file", "not a folder");
    struct Case {
        std::string dataDirectory, group;
        std::int64_t number;
    };
    const Case cases[] = {
        {dir.path(), "alt.test", -1},
        {"", "", 5},  // no group set
        {dir.path() + "/file", "alt.test", 5},
    };
    for (const Case& c : cases) {
        GroupEntry group(c.group);
        SavedArticle article;
        if (!c.dataDirectory.empty()) article.setGroup(c.dataDirectory, group);
        article.number = c.number;
        EXPECT_EQ(article.path(), "") << c.dataDirectory << " " << c.group << " " << c.number;
    }
}

TEST(SavedArticle, GroupNamesThatArePathsStayInsideTheDataDirectory) {
    test::TempDir dir;
    for (const char* name : {"..", ".", "alt/../../escape", "/etc", ""}) {
        GroupEntry group(name);
        SavedArticle article;
        article.setGroup(dir.path(), group);
        article.number = 5;
        std::string path = article.path();
        ASSERT_FALSE(path.empty()) << name;
        EXPECT_EQ(path.rfind(dir.path() + "/", 0), 0u) << path;
        EXPECT_EQ(path.substr(dir.path().size() + 1).find('/'), path.size() - dir.path().size() - 3)
            << "one folder below the data directory: " << path;
    }
}

TEST(SavedArticle, OpeningTheFileLogsAFailureWithThePath) {
    test::TempDir dir;
    test::RecordingFrontend frontend;
    GroupEntry group("alt.test");
    SavedArticle article;
    article.setGroup(dir.path(), group);

    article.number = -1;
    EXPECT_EQ(article.open(frontend, true), -1);
    EXPECT_EQ(frontend.logLines(),
              std::vector<std::string>{"Failed to open file  when saving message"});

    frontend.clear();
    article.number = 12;
    ASSERT_EQ(makeDirectories(dir.file("alt.test/12")), 0);  // a folder where the file goes
    EXPECT_EQ(article.open(frontend, true), -1);
    EXPECT_EQ(frontend.logLines(),
              std::vector<std::string>{"Failed to open file " + dir.file("alt.test/12") +
                                       " when saving message"});
}

TEST(SavedArticle, WrittenFileIsDiscarded) {
    test::TempDir dir;
    test::RecordingFrontend frontend;
    GroupEntry group("alt.test");
    SavedArticle article;
    article.setGroup(dir.path(), group);
    article.number = 3;
    ASSERT_EQ(article.open(frontend, true), 0);
    article.append("Subject: x\n\n");
    article.appendLine("body");
    article.finish();
    EXPECT_EQ(dir.read("alt.test/3"), "Subject: x\n\nbody\n");
    article.discard();
    EXPECT_EQ(article.file, nullptr);
    EXPECT_FALSE(fileExists(dir.file("alt.test/3")));
    EXPECT_TRUE(frontend.logLines().empty());
}

TEST(SavedArticle, SetSubjectRecognisesPartsAndKey) {
    struct Case {
        std::string subject;
        int part, total;
        std::string key;
    };
    const Case cases[] = {
        {"Holiday [3/12] beach.jpg", 3, 12, "Holidbeach.jpg"},
        {"Re: my pics", 1, 1, "Remypics"},
        {"", 1, 1, ""},
    };
    for (const Case& c : cases) {
        SavedArticle article;
        article.reset();
        article.setSubject(c.subject);
        EXPECT_EQ(article.subject(), c.subject);
        EXPECT_EQ(article.part, c.part) << c.subject;
        EXPECT_EQ(article.total, c.total) << c.subject;
        EXPECT_EQ(article.key, c.key) << c.subject;
    }
}

int filesIn(const std::string& folder) {
    std::error_code ec;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

// A data folder with its settings and decoder, and an article of "alt.test" whose decoded
// files go below its group folder.
struct DecodingSetup {
    explicit DecodingSetup(int keepDup = 0)
        : home(dir), profile(dir.file("profile.ini")), settings(frontend, profile) {
        settings.dataDirectory = dir.path();
        settings.keepDup = keepDup;
        logOpen = settings.logFile.open(dir.file("Log"));
        decoder.emplace();
        article.setGroup(dir.path(), group);
        inputs = {settings.dataDirectory,
                  article.groupDirectory(),
                  nullptr,
                  "",
                  &settings.logFile,
                  "",
                  -1};
    }
    DecodeResult decode() {
        return article.decode(*decoder, inputs, settings.keepDup == 0, settings.keepText != 0);
    }

    test::TempDir dir;
    test::ScopedXdgHome home;
    test::RecordingFrontend frontend;
    Profile profile;
    AppSettings settings;
    bool logOpen = false;
    std::optional<Decoder> decoder;
    DecodeInputs inputs;
    GroupEntry group{"alt.test"};
    SavedArticle article;
};

// "Keep Dup" decides whether a second decode of the same file overwrites the first or is
// written beside it; "Keep Text" is handed on as it is.
TEST(SavedArticle, DecodePassesTheSavedFileAndTheSettingsToTheDecoder) {
    for (int keepDup : {0, 1}) {
        DecodingSetup setup(keepDup);
        ASSERT_TRUE(setup.logOpen);
        auto [dir, frontend, settings, decoder, article] =
            std::tie(setup.dir, setup.frontend, setup.settings, *setup.decoder, setup.article);

        article.number = 99;  // nothing saved under this number: the decoder is not called
        EXPECT_FALSE(setup.decode().outputFailed());
        EXPECT_EQ(dir.read("Log"), "");

        for (int round = 0; round < 2; ++round) {
            article.number = 1 + round;
            ASSERT_EQ(article.open(frontend, true), 0);
            article.append(
                "Subject: hello.txt\n\nbegin 644 hello.txt\n,:&5L;&\\@=V]R;&0*\n`\nend\n");
            // decode closes the file itself, so nothing written stays in a buffer.
            EXPECT_FALSE(setup.decode().outputFailed());
        }
        EXPECT_EQ(filesIn(joinPath(article.groupDirectory(), "news.dat")), keepDup ? 2 : 1)
            << "keepDup " << keepDup << "; log:\n"
            << dir.read("Log");
    }
}

// Without "Keep Text" an article is decoded from memory and no file is made for it, unless it
// outgrows the memory limit; then its whole text is in the file, which discard removes. A
// file that cannot be made then drops the text with the usual message.
TEST(SavedArticle, TextStaysInMemoryUntilItOutgrowsTheLimit) {
    DecodingSetup setup;
    ASSERT_TRUE(setup.logOpen);
    auto [dir, frontend, settings, decoder, article] =
        std::tie(setup.dir, setup.frontend, setup.settings, *setup.decoder, setup.article);

    article.number = 7;
    ASSERT_EQ(article.open(frontend, false), 0);
    article.append("Subject: hello.txt\n\n");
    for (const char* line : {"begin 644 hello.txt", ",:&5L;&\\@=V]R;&0*", "`", "end"})
        article.appendLine(line);
    article.finish();
    EXPECT_FALSE(fileExists(dir.file("alt.test/7"))) << "no file for a small article";
    EXPECT_FALSE(setup.decode().outputFailed());
    EXPECT_EQ(dir.read("alt.test/news.dat/hello.txt"), "hello world\n");
    article.discard();

    article.reset();
    article.number = 8;
    ASSERT_EQ(article.open(frontend, false), 0);
    const std::string line(1000, 'x');
    std::size_t written = 0;
    while (written <= SavedArticle::MemoryLimit) {
        article.appendLine(line);
        written += line.size() + 1;
    }
    article.appendLine("last");
    article.finish();
    ASSERT_TRUE(fileExists(dir.file("alt.test/8"))) << "a large article goes to the file";
    const std::string saved = dir.read("alt.test/8");
    EXPECT_EQ(saved.size(), written + 5);
    EXPECT_EQ(saved.substr(0, 1001), line + "\n") << "the text from memory came first";
    EXPECT_EQ(saved.substr(saved.size() - 5), "last\n");
    article.discard();
    EXPECT_FALSE(fileExists(dir.file("alt.test/8")));

    article.reset();
    article.number = 9;
    ASSERT_EQ(makeDirectories(dir.file("alt.test/9")), 0);  // a folder where the file goes
    ASSERT_EQ(article.open(frontend, false), 0);
    while (written-- > 0 && frontend.logLines().empty()) article.appendLine(line);
    EXPECT_EQ(frontend.logLines(),
              std::vector<std::string>{"Failed to open file " + dir.file("alt.test/9") +
                                       " when saving message"});
    article.appendLine("dropped");
    EXPECT_EQ(frontend.logLines().size(), 1u) << "said once";
}

}  // namespace
}  // namespace qm
