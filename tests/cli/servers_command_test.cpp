// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built "qmere-cli servers" and "fetch --fill-server" (QM_CLI) on a throw-away profile
// and data folder, against two fixture news servers on one spool.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "newsserver/newsserver.h"
#include "newsserver/spool.h"
#include "support/clirunner.h"
#include "support/encoders.h"
#include "support/tempdir.h"
#include "support/tlstestbed.h"

namespace qm::test {
namespace {

class ServersCommand : public ::testing::Test {
  protected:
    ServersCommand() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
        m_options.spool = m_dir.file("spool");
    }
    CliRun run(const std::vector<std::string>& args) { return runCli(m_dir, args); }
    std::string start(std::unique_ptr<newsd::NewsServer>& server,
                      const newsd::NewsServerOptions& options) {
        server = std::make_unique<newsd::NewsServer>(options);
        server->start();
        return "127.0.0.1:" + std::to_string(server->port());
    }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    newsd::NewsServerOptions m_options;
};

TEST_F(ServersCommand, AFillServerIsSetUpListedWithoutItsPasswordAndRemoved) {
    CliRun r = run({"servers", "--add", "fill.example:4119", "--role", "fill", "--level", "2",
                    "--connections", "8", "--user", "me", "--password", "s3cret"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"servers"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "fill.example:4119\tfill\tlevel 2\tconnections 8\tplain\tlogin\n");
    const std::string list = m_dir.file("data/qmere/server.lst");
    EXPECT_NE(m_dir.read("data/qmere/server.lst").find("s3cret"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(list.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_EQ(run({"servers", "--set", "fill.example:4119", "--level", "0"}).status, 2);
    EXPECT_EQ(run({"servers", "--set", "other.example", "--role", "off"}).status, 1);
    r = run({"servers", "--set", "fill.example:4119", "--role", "off"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run({"servers"}).out,
              "fill.example:4119\toff\tlevel 2\tconnections 8\tplain\tlogin\n");
    EXPECT_NE(m_dir.read("data/qmere/server.lst").find("s3cret"), std::string::npos)
        << "a change of role keeps the login";
    EXPECT_EQ(run({"servers", "--remove", "fill.example:4119"}).status, 0);
    EXPECT_EQ(run({"servers"}).out, "");
}

// One host on two ports is two servers: each is added, changed and removed by its own port.
TEST_F(ServersCommand, AnotherPortOfAListedHostIsAServerOfItsOwn) {
    ASSERT_EQ(run({"servers", "--add", "news.example"}).status, 0);
    CliRun r = run({"servers", "--add", "news.example:563", "--role", "fill"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"servers"});
    EXPECT_NE(r.out.find("news.example\toff\tlevel 1\tconnections -\tplain"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("news.example:563\tfill\tlevel 1\tconnections -\ttls"), std::string::npos)
        << r.out;
    EXPECT_EQ(run({"servers", "--set", "news.example:8119", "--level", "3"}).status, 1);
    ASSERT_EQ(run({"servers", "--remove", "news.example:563"}).status, 0);
    EXPECT_EQ(run({"servers"}).out, "news.example\toff\tlevel 1\tconnections -\tplain\tno login\n");
}

// The fill server over TLS (stunnel in front of the fixture server), the main one plain.
TEST_F(ServersCommand, FetchTakesWhatTheMainServerLacksFromTheFillServerAndSaysSo) {
    if (!tlsToolsPresent()) GTEST_SKIP() << "openssl or stunnel4 missing";
    for (int n = 1; n <= 10; ++n)
        newsd::writeSpoolArticle(
            m_options.spool, "alt.pics", static_cast<std::uint64_t>(n),
            "Subject: p" + std::to_string(n) + ".jpg\nMessage-ID: <" + std::to_string(n) + "@p>",
            uuencodeBody(std::string(300, static_cast<char>('a' + n)),
                         "p" + std::to_string(n) + ".jpg"));
    newsd::NewsServerOptions mainOptions = m_options;
    mainOptions.missing = {3};
    std::unique_ptr<newsd::NewsServer> main, fill;
    const std::string mainAddress = start(main, mainOptions);
    start(fill, m_options);
    TestCertificates certificates;
    StunnelProcess tunnel(certificates.good(), fill->port());
    const std::string fillAddress = "localhost:" + std::to_string(tunnel.port());

    setenv("SSL_CERT_FILE", certificates.authorityFile().c_str(), 1);  // the child inherits it
    CliRun r = run(
        {"fetch", "--server", mainAddress, "--fill-server", "nntps://" + fillAddress, "alt.pics"});
    unsetenv("SSL_CERT_FILE");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fill->commands(),
              (std::vector<std::string>{"CAPABILITIES", "ARTICLE <3@p>", "QUIT"}));
    EXPECT_EQ(m_dir.read("data/qmere/alt.pics/news.dat/p3.jpg"), std::string(300, 'd'));
    EXPECT_NE(r.out.find("duplicates skipped, 1 from fill servers\n"), std::string::npos) << r.out;
    EXPECT_NE(run({"servers"}).out.find(fillAddress + "\tfill\tlevel 1\tconnections -\ttls"),
              std::string::npos);

    // The main server down, and no leave to read from the fill server: the run fails, says why.
    main.reset();
    r = run({"fetch", "--server", mainAddress, "alt.pics"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("connection refused"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace qm::test
