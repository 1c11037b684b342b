// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built "qmere-cli fetch" (its path in QM_CLI) against the fixture news server, on a
// throw-away profile and data folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalog/articlejournal.h"
#include "newsserver/newsserver.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/clirunner.h"
#include "support/encoders.h"
#include "support/tempdir.h"
#include "support/tlstestbed.h"

namespace qm::test {
namespace {

class FetchCommand : public ::testing::Test {
  protected:
    FetchCommand() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
        m_options.spool = m_dir.file("spool");
    }

    CliRun run(const std::vector<std::string>& args) { return runCli(m_dir, args); }

    std::string serverArgument() {
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
        return "127.0.0.1:" + std::to_string(m_server->port());
    }

    std::string dataFile(const std::string& name) const { return m_dir.read("data/qmere/" + name); }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
};

TEST_F(FetchCommand, UuencodedAndMimePicturesEndUpDecodedInNewsDat) {
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 1,
                             "Subject: hi.gif (1/1)\nMessage-ID: <1@p>",
                             "begin 644 hi.gif\n#1TE&\n`\nend\n");
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 2,
                             "Subject: mime\nMessage-ID: <2@p>\nMIME-Version: 1.0\n"
                             "Content-Type: image/jpeg; name=\"m.jpg\"\n"
                             "Content-Transfer-Encoding: base64",
                             "/9j/4AAQ\n");
    const std::string server = serverArgument();
    CliRun r = run({"fetch", "--server", server, "--threads", "2", "alt.pics"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(dataFile("alt.pics/news.dat/hi.gif"), "GIF");
    EXPECT_EQ(dataFile("alt.pics/news.dat/m.jpg"), std::string("\xff\xd8\xff\xe0\x00\x10", 6));
    EXPECT_EQ(dataFile("alt.pics/Last"), "2");
    EXPECT_NE(r.out.find("Connection to NNTP server closed..."), std::string::npos);
    EXPECT_NE(dataFile("MSGLIST").find("<2@p>"), std::string::npos);

    // The next run finds nothing new and fetches no body again.
    m_server->clearCommands();
    r = run({"fetch", "--server", server, "alt.pics"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& command : m_server->commands())
        EXPECT_FALSE(command.starts_with("BODY") || command.starts_with("ARTICLE")) << command;
}

// The history of the data folder answers for the articles "MSGLIST" has forgotten: filled from
// "MSGLIST" in a folder without one (an earlier version's), then kept beside it.
TEST_F(FetchCommand, AnArticleInTheHistoryIsNotFetchedAgainOnceMsglistHasForgottenIt) {
    for (int n = 1; n <= 3; ++n)
        newsd::writeSpoolArticle(m_options.spool, "alt.pics", n,
                                 "Subject: p" + std::to_string(n) + ".gif (1/1)\nMessage-ID: <" +
                                     std::to_string(n) + "@h>",
                                 "begin 644 p" + std::to_string(n) + ".gif\n#1TD" +
                                     static_cast<char>('P' + n) + "\n`\nend\n");
    const std::string server = serverArgument();
    ASSERT_EQ(run({"fetch", "--server", server, "alt.pics"}).status, 0);
    for (const char* file : {"history.db", "history.db-wal", "history.db-shm"})
        std::remove(m_dir.file(std::string("data/qmere/") + file).c_str());
    ASSERT_EQ(run({"fetch", "--server", server, "alt.pics"}).status, 0);

    // 10,000 later ids push them out of "MSGLIST", and the group is read again from its start.
    std::string later;
    for (int n = 0; n < 10000; ++n) later += "<" + std::to_string(n) + "@later>\n";
    m_dir.write("data/qmere/MSGLIST", later);
    ASSERT_EQ(::unlink(m_dir.file("data/qmere/alt.pics/Last").c_str()), 0);
    m_server->clearCommands();
    CliRun r = run({"fetch", "--server", server, "alt.pics"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const std::string& command : m_server->commands())
        EXPECT_FALSE(command.starts_with("BODY") || command.starts_with("ARTICLE")) << command;
    EXPECT_NE(r.out.find("alt.pics: skip retrieved message <3@h>"), std::string::npos) << r.out;
    EXPECT_EQ(dataFile("alt.pics/Last"), "3");
    EXPECT_FALSE(fileExists(m_dir.file("data/qmere/alt.pics/news.dat/1_p1.gif")));
}

// A damaged record in the middle of the journal a killed run left: the records on either side
// are replayed, and one log line says how many were skipped.
TEST_F(FetchCommand, ADamagedJournalRecordIsSkippedAndTheRestReplayed) {
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 1, "Subject: a\nMessage-ID: <1@r>",
                             "x\n");
    std::string journal;
    for (const char* id : {"<before@r>", "<damaged@r>", "<after@r>"}) {
        JournalRecord record;
        record.messageId = id;
        record.group = "alt.pics";
        std::string bytes = formatJournalRecord(record);
        if (record.messageId == "<damaged@r>") bytes[bytes.size() - 5] ^= 0x10;
        journal += bytes;
    }
    m_dir.write("data/qmere/MSGLIST.log", journal);
    CliRun r = run({"fetch", "--server", serverArgument(), "alt.pics"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("2 articles recorded"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; 1 damaged record skipped"), std::string::npos) << r.out;
    const std::string ids = dataFile("MSGLIST");
    EXPECT_NE(ids.find("<before@r>\n"), std::string::npos) << ids;
    EXPECT_NE(ids.find("<after@r>\n"), std::string::npos) << ids;
    EXPECT_EQ(ids.find("<damaged@r>"), std::string::npos) << ids;
}

// Without its journal no article could be committed: the run does not start, and says why.
TEST_F(FetchCommand, ADirectoryInPlaceOfTheJournalStopsTheRunWithItsReason) {
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 1,
                             "Subject: hi.gif (1/1)\nMessage-ID: <1@j>",
                             "begin 644 hi.gif\n#1TE&\n`\nend\n");
    m_dir.write("data/qmere/MSGLIST.log/in-the-way", "");
    const std::string server = serverArgument();
    CliRun r = run({"fetch", "--server", server, "alt.pics"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("MSGLIST.log: Is a directory"), std::string::npos) << r.err;
    EXPECT_TRUE(m_server->commands().empty()) << "nothing is asked of the server";
    EXPECT_FALSE(fileExists(m_dir.file("data/qmere/alt.pics/news.dat/hi.gif")));

    std::remove(m_dir.file("data/qmere/MSGLIST.log/in-the-way").c_str());
    ASSERT_EQ(::rmdir(m_dir.file("data/qmere/MSGLIST.log").c_str()), 0);
    r = run({"fetch", "--server", server, "alt.pics"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(dataFile("alt.pics/news.dat/hi.gif"), "GIF");
}

TEST_F(FetchCommand, ALoginIsStoredOnlyOnceAcceptedAndARefusalIsSaidAsOne) {
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 1, "Subject: a\nMessage-ID: <1@a>",
                             "x\n");
    m_options.authUser = "joe";
    m_options.authPassword = "secret";
    const std::string server = serverArgument();
    const std::string port = server.substr(server.find(':') + 1);
    const std::string stored = "127.0.0.1 " + port + "\t1\tjoe\tsecret\n";
    // The password from a file: not in the process list.
    const std::string file = m_dir.write("pw", "secret\nnot this line\n");
    CliRun r =
        run({"fetch", "--server=" + server, "--user=joe", "--password-file", file, "alt.pics"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(dataFile("server.lst"), stored);

    // A wrong password, from the option or the environment, is refused as such and does not
    // replace the one that works.
    for (bool fromEnvironment : {false, true}) {
        std::vector<std::string> args{"fetch", "--server", server, "--user", "joe", "alt.pics"};
        if (fromEnvironment)
            ::setenv("QMERE_PASSWORD", "wrong", 1);
        else
            args.insert(args.end() - 1, {"--password", "wrong"});
        r = run(args);
        ::unsetenv("QMERE_PASSWORD");
        EXPECT_EQ(r.status, 1) << fromEnvironment;
        EXPECT_NE(r.err.find("qmere-cli fetch: 127.0.0.1 refused the user name or password"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("give --user and --password"), std::string::npos) << r.err;
        EXPECT_EQ(dataFile("server.lst"), stored) << fromEnvironment;
    }
    // With nothing to read the password from, --user alone is a usage error.
    EXPECT_EQ(run({"fetch", "--server", server, "--user", "joe", "alt.pics"}).status, 2);
}

TEST_F(FetchCommand, ARefusedLoginKeepsTheStoredCredentialsPrivate) {
    // A scheduled run: no terminal to ask on, and the server refuses the stored login once.
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 1, "Subject: a\nMessage-ID: <1@a>",
                             "x\n");
    m_options.authUser = "someone-else";
    m_options.authPassword = "pw";
    const std::string server = serverArgument();
    const std::string port = server.substr(server.find(':') + 1);
    const std::string line = "127.0.0.1 " + port + "\t1\tjoe\tsecret\n";
    m_dir.write("data/qmere/server.lst", line);
    CliRun r = run({"fetch", "--server", server, "alt.pics"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(dataFile("server.lst"), line);
    struct stat status {};
    ASSERT_EQ(::stat(m_dir.file("data/qmere/server.lst").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST_F(FetchCommand, ALoginAskedForInTheMiddleStopsTheRunAndLosesNoArticle) {
    for (int n = 1; n <= 5; ++n)
        newsd::writeSpoolArticle(m_options.spool, "alt.pics", n,
                                 "Subject: p" + std::to_string(n) + ".gif (1/1)\nMessage-ID: <" +
                                     std::to_string(n) + "@m>",
                                 // "GI1" to "GI5": copies of one picture would be dropped
                                 "begin 644 p" + std::to_string(n) + ".gif\n#1TD" +
                                     static_cast<char>('P' + n) + "\n`\nend\n");
    m_options.authUser = "joe";
    m_options.authPassword = "pw";
    m_options.loginAfter = 4;  // the group and its first article, then 480s
    const std::string server = serverArgument();
    CliRun r = run({"fetch", "--server", server, "--threads", "1", "alt.pics"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("qmere-cli fetch: 127.0.0.1 asks for a login"), std::string::npos)
        << r.err;
    // With the login given, every article is there: none was stepped over.
    r = run({"fetch", "--server", server, "--user", "joe", "--password", "pw", "alt.pics"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(dataFile("alt.pics/news.dat/p" + std::to_string(n) + ".gif"),
                  "GI" + std::to_string(n))
            << n;
}

TEST_F(FetchCommand, AGroupFolderThatCannotBeMadeFailsTheRunAndWaitsForTheNext) {
    // "GIb" and "GIF": a copy of the other group's picture would be dropped.
    for (const char* group : {"alt.blocked", "alt.fine"})
        newsd::writeSpoolArticle(m_options.spool, group, 1,
                                 std::string("Subject: x.gif (1/1)\nMessage-ID: <1@") + group + ">",
                                 std::string("begin 644 x.gif\n#1TE") +
                                     (group == std::string("alt.fine") ? "&" : "B") + "\n`\nend\n");
    const std::string blocker = m_dir.write("data/qmere/alt.blocked", "a file in the way");
    const std::string server = serverArgument();
    CliRun r = run({"fetch", "--server", server, "alt.blocked", "alt.fine"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("qmere-cli fetch: Fail to create data directory " + blocker),
              std::string::npos)
        << r.err;
    EXPECT_EQ(dataFile("alt.fine/news.dat/x.gif"), "GIF");
    EXPECT_EQ(dataFile("MSGLIST").find("<1@alt.blocked>"), std::string::npos);
    // Out of the way, the group is read as if nothing had happened.
    ASSERT_EQ(::unlink(blocker.c_str()), 0);
    r = run({"fetch", "--server", server, "alt.blocked"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(dataFile("alt.blocked/news.dat/x.gif"), "GIb");
}

TEST_F(FetchCommand, AnNntpsServerIsFetchedOverTlsAndStaysMarkedSecure) {
    if (!tlsToolsPresent()) GTEST_SKIP() << "openssl or stunnel4 missing";
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 1,
                             "Subject: hi.gif (1/1)\nMessage-ID: <1@t>",
                             "begin 644 hi.gif\n#1TE&\n`\nend\n");
    serverArgument();
    TestCertificates certificates;
    StunnelProcess tunnel(certificates.good(), m_server->port());
    setenv("SSL_CERT_FILE", certificates.authorityFile().c_str(), 1);  // the child inherits it
    const std::string port = std::to_string(tunnel.port());
    CliRun r = run({"fetch", "--server", "nntps://localhost:" + port, "alt.pics"});
    unsetenv("SSL_CERT_FILE");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(dataFile("alt.pics/news.dat/hi.gif"), "GIF");
    EXPECT_NE(r.out.find("TLS"), std::string::npos) << "the version and cipher are logged";
    EXPECT_EQ(dataFile("server.lst"), "localhost " + port + "\t0\t-\t-\ttls\n");

    // Without the authority the same server is refused with its reason, and nothing is fetched.
    r = run({"fetch", "--server", "nntps://localhost:" + port, "alt.pics"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unable to get local issuer certificate"), std::string::npos) << r.err;
}

TEST_F(FetchCommand, AnUnreachableServerFailsWithItsReasonInWords) {
    CliRun r = run({"fetch", "--server", "127.0.0.1:1", "alt.pics"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Connection to server 127.0.0.1(1) failed (e=111)"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("qmere-cli fetch: cannot connect to 127.0.0.1 port 1: connection refused"),
              std::string::npos)
        << r.err;
    // ".invalid" never resolves (RFC 2606); the resolver's own words follow.
    r = run({"fetch", "--server", "news.invalid", "alt.pics"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("qmere-cli fetch: cannot resolve news.invalid: "), std::string::npos)
        << r.err;
}

TEST_F(FetchCommand, AGroupTheServerDoesNotHaveFailsTheRunAfterTheOthers) {
    newsd::writeSpoolArticle(m_options.spool, "alt.pics", 1,
                             "Subject: hi.gif (1/1)\nMessage-ID: <1@p>",
                             "begin 644 hi.gif\n#1TE&\n`\nend\n");
    const std::string server = serverArgument();
    CliRun r = run({"fetch", "--server", server, "alt.pics", "alt.pictures.typo"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("no such group on 127.0.0.1: alt.pictures.typo"), std::string::npos)
        << r.err;
    EXPECT_EQ(dataFile("alt.pics/news.dat/hi.gif"), "GIF");
    // Alone, it is said the same way.
    r = run({"fetch", "--server", server, "alt.pictures.typo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no such group on 127.0.0.1: alt.pictures.typo"), std::string::npos)
        << r.err;
}

TEST_F(FetchCommand, UsageErrorsExitWithTwo) {
    for (auto args :
         std::vector<std::vector<std::string>>{{"fetch", "alt.pics"},
                                               {"fetch", "--server", "h", "--bogus", "g"},
                                               {"fetch", "--server", "h", "--user", "u", "g"},
                                               {"fetch", "--server", "h", "--threads", "x", "g"},
                                               {"fetch", "--server", "h:70000", "g"},
                                               {"fetch", "--server", "h:abc", "g"},
                                               {"fetch", "--server", "h", "--newest", "-1", "g"},
                                               {"fetch", "--server", "h", "--since", "x", "g"},
                                               {"fetch", "--server", "h", "--since"},
                                               {"fetch", "--server=h", "--newest=5", "--since=2"},
                                               {"fetch", "--server", "h", "--tls", "--no-tls"},
                                               {"fetch", "--server", "nntps://h", "--no-tls"},
                                               {"fetch", "--server", "nntp://h/alt.pics"},
                                               {"fetch", "--server", "http://h", "g"},
                                               {"fetch", "--server", "h", "--password", "p", "g"},
                                               {"gallery", "--bogus"},
                                               {"groups", "--subscribe", "two words"}}) {
        const CliRun r = run(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_NE(r.err.find("(try --help)"), std::string::npos) << r.err;
    }
    const CliRun help = run({"fetch", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--no-tls"), std::string::npos);
    const CliRun version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("qmere-cli ", 0), 0u) << version.out;
}

// The data folder on a file system that fills up: the run stops, says why, and fails.
TEST_F(FetchCommand, AFullDiskFailsTheRunWithItsReason) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    const std::string data = m_dir.file("data/qmere");
    ASSERT_EQ(makeDirectories(data), 0);
    if (::mount("tmpfs", data.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{data};
    for (int n = 1; n <= 12; ++n) {
        const std::string name = "f" + std::to_string(n) + ".jpg";
        newsd::writeSpoolArticle(m_options.spool, "alt.full", n,
                                 "Subject: " + name + "\nMessage-ID: <" + std::to_string(n) + "@f>",
                                 uuencodeBody(std::string(150000, static_cast<char>(n)), name));
    }
    CliRun r = run({"fetch", "--server", serverArgument(), "alt.full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Retrieval stopped - the disk is full"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace qm::test
