// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built "qmere-cli groups" against the fixture news server: the lists a timer's
// fetch takes its groups from, the server's flags, and a server that lists only after a login.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "newsserver/newsserver.h"
#include "support/clirunner.h"
#include "support/tempdir.h"

namespace qm::test {
namespace {

class GroupsCommand : public ::testing::Test {
  protected:
    GroupsCommand() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
        m_options.spool = m_dir.file("spool");
        for (const char* group : {"alt.pics", "alt.more"})
            newsd::writeSpoolArticle(m_options.spool, group, 1,
                                     std::string("Subject: s\nMessage-ID: <1@") + group + ">",
                                     "text\n");
    }

    CliRun run(const std::vector<std::string>& args) { return runCli(m_dir, args); }

    std::string start() {
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
        return "127.0.0.1:" + std::to_string(m_server->port());
    }

    std::string data(const std::string& name) const { return m_dir.read("data/qmere/" + name); }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
};

TEST_F(GroupsCommand, GroupsChosenWithoutTheWindowAreWhatAPlainFetchReads) {
    const std::string server = start();
    CliRun r = run({"groups", "--server", server, "--subscribe", "alt.pics", "--subscribe",
                    "alt.more", "--select=alt.pics", "--select", "alt.more"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(m_server->commands().empty()) << "choosing groups needs no connection";
    // Another program adds a group meanwhile: the next change keeps it.
    m_dir.write("data/qmere/127.0.0.1/Groups.fet", "alt.more\nalt.pics\nalt.other\n.\n");
    r = run({"groups", "--unselect", "alt.more", "--unsubscribe", "alt.more"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(data("127.0.0.1/Groups.fet"), "alt.other\nalt.pics\n.\n");
    EXPECT_EQ(data("127.0.0.1/Groups.sub"), "alt.pics\n.\n");

    m_dir.write("data/qmere/127.0.0.1/Groups.fet", "alt.pics\n.\n");
    r = run({"fetch"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Run ended: 1 group, 1 article"), std::string::npos) << r.out;
    r = run({"groups", "--unselect", "alt.pics"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"fetch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No news group is selected"), std::string::npos) << r.err;
}

TEST_F(GroupsCommand, TlsIsTurnedOffAgainAndUrlsNameTheHost) {
    CliRun r = run({"groups", "--server", "nntps://news.example:8563", "--subscribe", "a.b"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(data("server.lst"), "news.example 8563\t0\t-\t-\ttls\n");
    r = run({"groups", "--no-tls", "--subscribe", "a.b"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(data("server.lst"), "news.example 8563\n");
    // A plain URL is the host on the port it says, not a host named "nntp".
    r = run({"groups", "--server", "nntp://other.example:119/", "--subscribe", "a.b"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(m_dir.read("config/Corvane,LLC/qmere.ini").find("Server=other.example\n"),
              std::string::npos);
    EXPECT_EQ(data("server.lst").find("nntp"), std::string::npos) << data("server.lst");
}

TEST_F(GroupsCommand, ALoginOnlyServerListsWithTheLoginAndSaysWhenItIsRefused) {
    m_options.authUser = "joe";
    m_options.authPassword = "pw";
    const std::string server = start();
    ::setenv("QMERE_PASSWORD", "wrong", 1);
    CliRun r = run({"groups", "--server", server, "--user", "joe"});
    ::unsetenv("QMERE_PASSWORD");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("qmere-cli groups: 127.0.0.1 refused the user name or password"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(m_dir.read("data/qmere/server.lst").find("wrong"), std::string::npos);

    r = run({"groups", "--server", server, "--user", "joe", "--password-file",
             m_dir.write("pw", "pw\n")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("alt.pics\n"), std::string::npos) << r.out;
    EXPECT_NE(data("server.lst").find("\tjoe\tpw"), std::string::npos) << data("server.lst");
}

}  // namespace
}  // namespace qm::test
