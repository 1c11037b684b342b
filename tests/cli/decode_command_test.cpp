// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built "qmere-cli decode" (its path in QM_CLI) on a throw-away profile and data
// folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "decode/uutestfixture.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/clirunner.h"
#include "support/tempdir.h"

namespace qm::test {
namespace {

class DecodeCommand : public ::testing::Test {
  protected:
    DecodeCommand() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
    }

    CliRun run(std::vector<std::string> args) {
        args.insert(args.begin(), "decode");
        return runCli(m_dir, args);
    }

    std::string newsFile(std::string_view name) {
        return joinPath(joinPath(programDirectory(), "news.dat"), name);
    }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
};

TEST_F(DecodeCommand, DecodesFromTheLastFileToTheFirstAndGoesOnPastAMissingOne) {
    std::string first = sampleData(3000, 1);
    std::string last = sampleData(2000, 2);
    std::string a = m_dir.write("in/a.txt", article("first", uuencodeBody(first, "same.jpg")));
    std::string c = m_dir.write("in/c.txt", article("last", uuencodeBody(last, "same.jpg")));
    std::string missing = m_dir.file("in/missing.txt");

    CliRun r = run({a, missing, c});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Fail open file " + missing + "\n"), std::string::npos) << r.err;
    // The last file given is decoded first and so keeps the plain name.
    EXPECT_EQ(readWholeFile(newsFile("same.jpg")).value_or(""), last);
    EXPECT_EQ(readWholeFile(newsFile("1_same.jpg")).value_or(""), first);
    size_t plain = r.out.find("Decoded file " + newsFile("same.jpg") + "\n");
    size_t numbered = r.out.find("Decoded file " + newsFile("1_same.jpg") + "\n");
    ASSERT_NE(plain, std::string::npos) << r.out;
    ASSERT_NE(numbered, std::string::npos) << r.out;
    EXPECT_LT(plain, numbered);
}

TEST_F(DecodeCommand, AFileWithoutAttachmentsIsReportedInTheLog) {
    std::string text = m_dir.write("in/plain.txt", article("hello", "nothing encoded here\n"));
    CliRun r = run({text});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readWholeFile(joinPath(programDirectory(), "Log")).value_or(""),
              "Warning: Did not find anything to unpack...\n\n\n");
}

// A posted name that begins as the program's own hidden files begin is changed: left as it
// is, the next start would take the file for one the decoder left unfinished and delete it.
// A name cut to the file system's limit keeps its extension.
TEST_F(DecodeCommand, DecodedFilesNeverTakeTheProgramsOwnNamesAndKeepTheirExtension) {
    const std::string evil = sampleData(1500, 3);
    const std::string longName = std::string(300, 'n') + ".jpg";
    const std::string a =
        m_dir.write("in/a.txt", article("evil", uuencodeBody(evil, ".qmere-decoding-evil.jpg")));
    const std::string b =
        m_dir.write("in/b.txt", article("long", uuencodeBody(sampleData(900, 4), longName)));
    CliRun r = run({a, b});
    ASSERT_EQ(r.status, 0) << r.err;
    // A second start sweeps what a killed program left unfinished.
    ASSERT_EQ(run({m_dir.write("in/empty.txt", article("none", "nothing\n"))}).status, 0);
    EXPECT_EQ(readWholeFile(newsFile("_qmere-decoding-evil.jpg")).value_or("<missing>"), evil);
    const std::string cut = std::string(251, 'n') + ".jpg";
    EXPECT_TRUE(fileExists(newsFile(cut))) << r.out;
}

TEST_F(DecodeCommand, HelpSaysWhereOutputAndLogGo) {
    CliRun r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word :
         {"news.dat", "\"Log\"", "last FILE given to the first", "Fail open file", "tmp"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(run({}).status, 2);
    // After "--" a word is a FILE, whatever it looks like.
    r = run({"--", "--help"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Fail open file --help"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace qm::test
