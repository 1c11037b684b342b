// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "config/appsettings.h"
#include "config/serverentry.h"
#include "config/threadcontext.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "newsserver/newsserver.h"
#include "nntp/nntpconnection.h"
#include "nntp/nntpquitexception.h"
#include "nntp/readerevents.h"
#include "nntp/readerrunstate.h"
#include "platform/profile.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"
#include "support/tlstestbed.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

bool contains(const std::string& haystack, std::string_view needle) {
    return haystack.find(needle) != std::string::npos;
}

// The fixture news server on its plain port, stunnel in front of it with a certificate of
// the test's own authority, and a reader whose server entry is marked secure. The authority
// reaches OpenSSL through SSL_CERT_FILE, as a user's own would.
class TlsNntpThreads : public ::testing::Test {
  protected:
    TlsNntpThreads() : m_home(m_dir), m_profile(m_dir.file("profile.ini")) {}

    static void SetUpTestSuite() {
        if (test::tlsToolsPresent()) s_certificates = std::make_unique<test::TestCertificates>();
    }
    static void TearDownTestSuite() { s_certificates.reset(); }

    void SetUp() override {
        if (!s_certificates) GTEST_SKIP() << "openssl or stunnel4 missing (install-deps test)";
        ::setenv("SSL_CERT_FILE", s_certificates->authorityFile().c_str(), 1);
        const std::string spool = m_dir.file("spool");
        newsd::writeSpoolArticle(spool, "alt.pics", 10,
                                 "Subject: secret.jpg (1/1)\nMessage-ID: <s@test>\nLines: 2",
                                 "first body line\n..dotted\n" + std::string(5000, 'B') + "\n");
        m_options.spool = spool;
        m_settings.dataDirectory = m_dir.file("data");
        m_entry.host = "localhost";
        m_entry.setSecure(true);
        m_article.setGroup(m_settings.dataDirectory, m_group);
        m_connection.setServer(&m_entry);
        m_connection.setTimeout(milliseconds(10000));
    }

    void TearDown() override {
        ::unsetenv("SSL_CERT_FILE");
        ThreadContext::current().worker = nullptr;
        ProgramExiting = false;
    }

    static const test::TestCertificates& certificates() { return *s_certificates; }

    // Starts the news server and stunnel with certificate; the entry points at stunnel.
    void serve(const test::TestCertificate& certificate) {
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
        m_stunnel = std::make_unique<test::StunnelProcess>(certificate, m_server->port());
        m_entry.port = m_stunnel->port();
    }

    bool logged(std::string_view prefix) const {
        Lines lines = m_frontend.logLines();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

    static std::unique_ptr<test::TestCertificates> s_certificates;
    test::TempDir m_dir;
    test::ScopedXdgHome m_home;
    test::RecordingFrontend m_frontend;
    Profile m_profile;
    AppSettings m_settings{m_frontend, m_profile};
    ServerEntry m_entry;
    ReaderRunState m_run;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
    std::unique_ptr<test::StunnelProcess> m_stunnel;
    ReaderEvents m_events{m_settings, m_run};
    NNTPConnection m_connection{m_events, m_run.login};
    GroupEntry m_group{"alt.pics", Active | Selected};
    SavedArticle m_article;
};

std::unique_ptr<test::TestCertificates> TlsNntpThreads::s_certificates;

TEST_F(TlsNntpThreads, ASecureServerGreetsSelectsAndDeliversABodyAndTheLogNamesTheCipher) {
    serve(certificates().good());
    ASSERT_EQ(m_connection.connect(), 0) << testing::PrintToString(m_frontend.messages());
    ASSERT_EQ(m_connection.state(), NNTPConnection::Ready);
    EXPECT_TRUE(logged("TLS TLSv1.3 TLS_")) << testing::PrintToString(m_frontend.logLines());
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    ASSERT_TRUE(m_connection.fetchHead("10", m_article).ok());
    m_settings.keepText = 1;  // the text is saved in the file, to be compared
    ASSERT_TRUE(m_connection.fetchBody("10", m_article).ok());
    // Unstuffed, and the 5000-character line split at 2048 as over plain TCP.
    EXPECT_EQ(m_dir.read("data/alt.pics/10"),
              m_article.header + "\nfirst body line\n..dotted\n" + std::string(2048, 'B') + "\n" +
                  std::string(2048, 'B') + "\n" + std::string(904, 'B') + "\n");
    EXPECT_EQ(m_server->commands(),
              (Lines{"CAPABILITIES", "GROUP alt.pics", "HEAD 10", "BODY 10"}));
    EXPECT_TRUE(m_frontend.messages().empty());
    m_connection.quit();

    // Compression goes on top of TLS: the same body.
    m_connection.setCompression(true);
    m_server->clearCommands();
    ASSERT_EQ(m_connection.connect(), 0);
    EXPECT_TRUE(m_connection.compressing());
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    const std::string plain = m_dir.read("data/alt.pics/10");
    ASSERT_TRUE(m_connection.fetchArticle("10", m_article).ok());
    EXPECT_EQ(m_dir.read("data/alt.pics/10"), plain);
    EXPECT_EQ(m_server->commands(),
              (Lines{"CAPABILITIES", "COMPRESS DEFLATE", "GROUP alt.pics", "ARTICLE 10"}));
    m_connection.quit();
    // One "TLS" line per connection.
    Lines lines = m_frontend.logLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("TLS ", 0) == 0; }),
              2);
}

TEST_F(TlsNntpThreads, CredentialsCrossTheWireOnlyInsideTls) {
    m_options.authUser = "reader";
    m_options.authPassword = "Sw0rdfish-Pass";
    m_entry.setAuthFlag(1);
    m_entry.setCredentials({"reader", "Sw0rdfish-Pass"});
    serve(certificates().good());
    // The relay sits between the reader and stunnel and keeps what the reader sent.
    test::TcpRelay relay(m_stunnel->port());
    m_entry.port = relay.port();
    ASSERT_EQ(m_connection.connect(), 0);
    ASSERT_EQ(m_connection.state(), NNTPConnection::Ready);
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    EXPECT_EQ(m_entry.authFlag(), 1) << "the login was accepted";
    m_connection.quit();
    // The plain side heard the login, so it did go through the tunnel...
    Lines commands = m_server->commands();
    EXPECT_EQ(commands.at(1), "AUTHINFO USER reader");
    EXPECT_EQ(commands.at(2), "AUTHINFO PASS Sw0rdfish-Pass");
    // ...and the wire never carried it in clear: it starts with a TLS handshake record.
    const std::string wire = relay.clientBytes();
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ(wire[0], '\x16') << "a TLS handshake record";
    EXPECT_EQ(wire[1], '\x03');
    EXPECT_FALSE(contains(wire, "Sw0rdfish"));
    EXPECT_FALSE(contains(wire, "AUTHINFO"));
    EXPECT_FALSE(contains(wire, "GROUP"));
}

TEST_F(TlsNntpThreads, ARefusedCertificateTellsTheUserHostReasonAndFingerprintAndSendsNothing) {
    m_entry.setAuthFlag(1);
    m_entry.setCredentials({"reader", "Sw0rdfish-Pass"});
    serve(certificates().expired());
    EXPECT_EQ(m_connection.connect(), EPROTO);
    EXPECT_EQ(m_connection.state(), NNTPConnection::Closed);
    Lines messages = m_frontend.messages();
    ASSERT_EQ(messages.size(), 1u);
    const std::string& text = messages[0];
    EXPECT_TRUE(contains(text, "localhost(" + std::to_string(m_entry.port) + ")")) << text;
    EXPECT_TRUE(contains(text, "certificate has expired")) << text;
    EXPECT_TRUE(contains(text, certificates().expired().fingerprint)) << text;
    EXPECT_TRUE(m_server->commands().empty()) << "no credential before TLS is up";
    // A second reader of the same run does not show it again.
    NNTPConnection second(m_events, m_run.login);
    second.setServer(&m_entry);
    EXPECT_EQ(second.connect(), EPROTO);
    EXPECT_EQ(m_frontend.messages().size(), 1u);
}

TEST_F(TlsNntpThreads, AFingerprintStoredWithTheServerIsTrusted) {
    serve(certificates().expired());
    m_entry.fingerprint = certificates().expired().fingerprint;
    ASSERT_EQ(m_connection.connect(), 0) << testing::PrintToString(m_frontend.messages());
    EXPECT_EQ(m_connection.state(), NNTPConnection::Ready);
    EXPECT_TRUE(m_connection.selectGroup(m_group).ok());
}

TEST_F(TlsNntpThreads, StoppingWhileATlsReadIsBlockedReturnsWithinASecond) {
    m_options.silentAfter = 1;  // CAPABILITIES is answered
    serve(certificates().good());
    for (bool byCancel : {true, false}) {
        SCOPED_TRACE(byCancel ? "cancel" : "abort request");
        ASSERT_EQ(m_connection.connect(), 0);
        ASSERT_EQ(m_connection.state(), NNTPConnection::Ready);
        WorkerRecord worker;
        worker.state = WorkerRecord::Running;
        ThreadContext::current().worker = &worker;
        std::atomic<Clock::time_point> requested{Clock::time_point::max()};
        std::thread stopper([&] {
            std::this_thread::sleep_for(milliseconds(200));
            requested = Clock::now();
            if (byCancel) {
                m_connection.setStopping();
                m_connection.cancel();
            } else {
                worker.state = WorkerRecord::AbortRequested;
            }
        });
        EXPECT_THROW((void)m_connection.selectGroup(m_group), NNTPQuitException);
        const auto took = Clock::now() - requested.load();
        stopper.join();
        ThreadContext::current().worker = nullptr;
        EXPECT_LT(took, milliseconds(1500)) << "the read time-out is 10 s";
        EXPECT_EQ(m_connection.state(), NNTPConnection::Closed);
    }
}

}  // namespace
}  // namespace qm
