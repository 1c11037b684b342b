// SPDX-License-Identifier: GPL-3.0-or-later
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/file.h"
#include "platform/socket.h"
#include "support/tlstestbed.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The plain server behind stunnel: greets with "200 hello" (unless silent), echoes every line
// and answers "BIG n" with n numbered lines and ".". One client at a time.
class LineServer {
  public:
    explicit LineServer(bool silent = false) : m_silent(silent) {
        m_listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(m_listener.get(), raw, size) == 0 && ::listen(m_listener.get(), 8) == 0 &&
            ::getsockname(m_listener.get(), raw, &size) == 0)
            m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~LineServer() {
        m_stop = true;
        m_thread.join();
    }
    int port() const { return m_port; }

  private:
    void run() {
        pollfd p{m_listener.get(), POLLIN, 0};
        while (!m_stop)
            if (::poll(&p, 1, 50) > 0)
                serve(UniqueFd(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC)));
    }

    void serve(UniqueFd client) {
        if (!client) return;
        if (!m_silent) say(client.get(), "200 hello\r\n");
        std::string line;
        pollfd p{client.get(), POLLIN, 0};
        char c;
        while (!m_stop) {
            if (::poll(&p, 1, 50) <= 0) continue;
            if (::recv(client.get(), &c, 1, 0) != 1) return;
            if (m_silent) continue;
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.rfind("BIG ", 0) == 0) {
                std::string reply;
                for (int i = 0, n = std::stoi(line.substr(4)); i < n; ++i)
                    reply += "line " + std::to_string(i) + " " + std::string(60, 'x') + "\r\n";
                say(client.get(), reply + ".\r\n");
            } else {
                say(client.get(), line + "\n");
            }
            line.clear();
        }
    }

    static void say(int fd, const std::string& text) {
        for (std::size_t sent = 0; sent < text.size();) {
            ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }

    UniqueFd m_listener;
    int m_port = 0;
    bool m_silent;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Certificates made once for the whole suite; a stunnel per test in front of a LineServer.
class TlsStreamThreads : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (test::tlsToolsPresent()) s_certificates = std::make_unique<test::TestCertificates>();
    }
    static void TearDownTestSuite() { s_certificates.reset(); }

    void SetUp() override {
        if (!s_certificates) GTEST_SKIP() << "openssl or stunnel4 missing (install-deps test)";
        m_stream.setTimeout(milliseconds(10000));
    }

    static const test::TestCertificates& certificates() { return *s_certificates; }

    // Starts stunnel with certificate in front of the line server.
    int serve(const test::TestCertificate& certificate) {
        m_stunnel = std::make_unique<test::StunnelProcess>(certificate, m_backend.port());
        return m_stunnel->port();
    }

    TlsOptions trusting(std::string pin = {}) const {
        return TlsOptions{true, std::move(pin), certificates().authorityFile()};
    }

    std::string line() {
        std::string text;
        return m_stream.readLine(text) ? text : "<end of stream>";
    }

    static std::unique_ptr<test::TestCertificates> s_certificates;
    LineServer m_backend;
    std::unique_ptr<test::StunnelProcess> m_stunnel;
    TcpStream m_stream;
};

std::unique_ptr<test::TestCertificates> TlsStreamThreads::s_certificates;

TEST_F(TlsStreamThreads, AGoodCertificateVerifiesByNameAndByAddress) {
    const int port = serve(certificates().good());
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        ASSERT_EQ(m_stream.connect(host, port, trusting()), 0) << m_stream.lastError();
        EXPECT_FALSE(m_stream.certificateRefusal());
        EXPECT_TRUE(m_stream.tlsDescription().rfind("TLS TLSv1.3 TLS_", 0) == 0)
            << m_stream.tlsDescription();
        EXPECT_EQ(line(), "200 hello");
        m_stream.writeLine("GROUP alt.test");
        m_stream.flush();
        EXPECT_EQ(line(), "GROUP alt.test");
        m_stream.close();
        EXPECT_EQ(m_stream.tlsDescription(), "");
    }
}

TEST_F(TlsStreamThreads, LongRepliesAndLongWritesPassWhole) {
    ASSERT_EQ(m_stream.connect("localhost", serve(certificates().good()), trusting()), 0)
        << m_stream.lastError();
    EXPECT_EQ(line(), "200 hello");
    // Many TLS records, each holding several lines and lines cut across records.
    m_stream.writeLine("BIG 20000");
    m_stream.flush();
    int count = 0;
    for (std::string l = line(); l != "." && l != "<end of stream>"; l = line(), ++count)
        ASSERT_EQ(l, "line " + std::to_string(count) + " " + std::string(60, 'x'));
    EXPECT_EQ(count, 20000);
    // One write far larger than the buffer goes out in several SSL_write calls.
    const std::string big(100000, 'w');
    m_stream.writeLine(big);
    m_stream.flush();
    std::string echoed;
    while (echoed.size() < big.size()) {
        std::string piece = line();
        ASSERT_NE(piece, "<end of stream>");
        echoed += piece;
    }
    EXPECT_EQ(echoed, big);
}

TEST_F(TlsStreamThreads, RefusedCertificatesNameTheHostTheReasonAndTheFingerprint) {
    struct Case {
        const test::TestCertificate& certificate;
        const char* reason;
    };
    for (const Case& c :
         {Case{certificates().wrongHost(), "hostname mismatch"},
          Case{certificates().expired(), "certificate has expired"},
          Case{certificates().unknownAuthority(), "unable to get local issuer certificate"}}) {
        SCOPED_TRACE(c.reason);
        const int port = serve(c.certificate);
        EXPECT_EQ(m_stream.connect("localhost", port, trusting()), EPROTO);
        EXPECT_FALSE(m_stream.isOpen());
        ASSERT_TRUE(m_stream.certificateRefusal());
        EXPECT_EQ(m_stream.certificateRefusal()->reason, c.reason);
        EXPECT_EQ(m_stream.certificateRefusal()->fingerprint, c.certificate.fingerprint);
        const std::string& error = m_stream.lastError();
        EXPECT_NE(error.find("localhost:" + std::to_string(port)), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_NE(error.find(c.certificate.fingerprint), std::string::npos) << error;
    }
}

TEST_F(TlsStreamThreads, WithoutTheTestAuthorityOnlyTheSystemsAreTrusted) {
    const int port = serve(certificates().good());
    EXPECT_EQ(m_stream.connect("localhost", port, TlsOptions{true, {}, {}}), EPROTO);
    ASSERT_TRUE(m_stream.certificateRefusal());
    EXPECT_EQ(m_stream.certificateRefusal()->reason, "unable to get local issuer certificate");
}

TEST_F(TlsStreamThreads, APinnedFingerprintIsAcceptedForThatCertificateOnly) {
    const std::string pin = certificates().expired().fingerprint;
    std::string loose;  // lower case without colons: the form does not matter
    for (char c : pin)
        if (c != ':') loose += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const int port = serve(certificates().expired());
    for (const std::string& form : {pin, loose}) {
        ASSERT_EQ(m_stream.connect("localhost", port, trusting(form)), 0) << m_stream.lastError();
        EXPECT_EQ(line(), "200 hello");
    }
    // The good certificate's pin does not admit the expired one.
    EXPECT_EQ(m_stream.connect("localhost", port, trusting(certificates().good().fingerprint)),
              EPROTO);
    ASSERT_TRUE(m_stream.certificateRefusal());
    EXPECT_EQ(m_stream.certificateRefusal()->reason, "certificate has expired");
}

TEST_F(TlsStreamThreads, APlainServerFailsTheHandshakeWithAClearText) {
    EXPECT_EQ(m_stream.connect("127.0.0.1", m_backend.port(), trusting()), EPROTO);
    EXPECT_FALSE(m_stream.certificateRefusal());
    EXPECT_EQ(
        m_stream.lastError().rfind(
            "TLS handshake with 127.0.0.1:" + std::to_string(m_backend.port()) + " failed: ", 0),
        0u)
        << m_stream.lastError();
}

TEST(NormalizedFingerprint, AcceptsAnyCaseAndColonsAndRejectsOtherText) {
    const std::string full =
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:"
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
    std::string bare;
    for (char c : full)
        if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(normalizedFingerprint(full), full);
    EXPECT_EQ(normalizedFingerprint(bare), full);
    EXPECT_EQ(normalizedFingerprint(bare.substr(2)), "");  // too short
    EXPECT_EQ(normalizedFingerprint("zz" + bare.substr(2)), "");
    EXPECT_EQ(normalizedFingerprint(""), "");
}

// A blocked TLS call must end promptly however it is stopped; the read time-out is 10 s here.
class TlsStopThreads : public TlsStreamThreads {
  protected:
    // Runs call on this thread, stops it from another one after 200 ms with stop, and returns
    // the SocketError code and how long after the stop the call ended.
    template <typename Call, typename Stop>
    std::pair<int, Clock::duration> stopWhile(Call call, Stop stop) {
        std::atomic<Clock::time_point> stopped{Clock::time_point::max()};
        std::thread stopper([&] {
            std::this_thread::sleep_for(milliseconds(200));
            stopped = Clock::now();
            stop();
        });
        int code = 0;
        try {
            code = call();
        } catch (const SocketError& e) {
            code = e.code();
        }
        const auto took = Clock::now() - stopped.load();
        stopper.join();
        return {code, took};
    }
};

TEST_F(TlsStopThreads, CancelAndTheStopPredicateEndABlockedTlsRead) {
    LineServer silent(true);
    m_stunnel = std::make_unique<test::StunnelProcess>(certificates().good(), silent.port());
    for (bool byPredicate : {false, true}) {
        SCOPED_TRACE(byPredicate ? "stop predicate" : "cancel");
        std::atomic<bool> stop{false};
        m_stream.setStopPredicate([&] { return stop.load(); });
        ASSERT_EQ(m_stream.connect("localhost", m_stunnel->port(), trusting()), 0)
            << m_stream.lastError();
        auto [code, took] = stopWhile([&] { return line() == "<end of stream>" ? -1 : 0; },
                                      [&] {
                                          if (byPredicate)
                                              stop = true;
                                          else
                                              m_stream.cancel();
                                      });
        EXPECT_EQ(code, ECANCELED);
        EXPECT_LT(took, milliseconds(1500));
    }
}

TEST_F(TlsStopThreads, CancelEndsABlockedHandshake) {
    LineServer silent(true);  // accepts and never answers the client hello
    auto [code, took] =
        stopWhile([&] { return m_stream.connect("127.0.0.1", silent.port(), trusting()); },
                  [&] { m_stream.cancel(); });
    EXPECT_EQ(code, ECANCELED);
    EXPECT_LT(took, milliseconds(1500));
    EXPECT_FALSE(m_stream.isOpen());
}

TEST_F(TlsStopThreads, ASilentTlsServerRunsIntoTheTimeOut) {
    LineServer silent(true);
    m_stunnel = std::make_unique<test::StunnelProcess>(certificates().good(), silent.port());
    ASSERT_EQ(m_stream.connect("localhost", m_stunnel->port(), trusting()), 0);
    m_stream.setTimeout(milliseconds(300));
    try {
        (void)line();
        ADD_FAILURE() << "a silent server was read from";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), ETIMEDOUT);
    }
}

}  // namespace
}  // namespace qm
