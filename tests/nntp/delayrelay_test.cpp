// SPDX-License-Identifier: GPL-3.0-or-later
// The delaying relay and the fixture server's --latency-ms: bytes arrive intact, in order and
// no earlier than the line allows. Only lower bounds on time: the machine is shared.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "newsserver/newsserver.h"
#include "relay/relayserver.h"
#include "relay/tcp.h"
#include "support/tempdir.h"

namespace qm::relay {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A raw client: what it sends goes out at once, what it reads is every byte as it came.
class RawClient {
  public:
    explicit RawClient(int port) : m_fd(connectTo("127.0.0.1", port, milliseconds(5000))) {}
    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(m_fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            ASSERT_GT(n, 0);
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    // Reads until the bytes read end with tail, the stream ends or nothing comes for 10 s.
    std::string readUntil(std::string_view tail) {
        std::string text;
        while (!text.ends_with(tail)) {
            pollfd p{m_fd.get(), POLLIN, 0};
            char buffer[65536];
            if (::poll(&p, 1, 10000) != 1) break;
            const ssize_t n = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

  private:
    Descriptor m_fd;
};

// A spool of articles of varied sizes and bytes, a server on it, and the commands of a long
// pipeline over it: retrievals in random order, missing articles and long unknown lines.
class DelayRelayThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        std::mt19937 random(15);
        for (int n = 1; n <= 40; ++n) {
            std::string body;
            for (int l = 0, lines = 1 + static_cast<int>(random() % 400); l < lines; ++l) {
                std::string text(random() % 120, '\0');
                for (char& c : text) c = static_cast<char>(33 + random() % 94);
                body += text + "\n";
            }
            newsd::writeSpoolArticle(m_spool.path(), "alt.line", n,
                                     "Subject: article " + std::to_string(n), body);
        }
        std::vector<int> numbers;
        for (int i = 0; i < 300; ++i) numbers.push_back(1 + static_cast<int>(random() % 45));
        m_pipeline = "GROUP alt.line\r\n";
        for (int i = 0; i < 300; ++i) {
            m_pipeline += (i % 3 ? "BODY " : "ARTICLE ") + std::to_string(numbers[i]) + "\r\n";
            if (i % 50 == 0) m_pipeline += "X" + std::string(3000, 'a' + i % 26) + "\r\n";
        }
        m_pipeline += "QUIT\r\n";
        newsd::NewsServerOptions options;
        options.spool = m_spool.path();
        m_server = std::make_unique<newsd::NewsServer>(options);
        m_server->start();
    }

    // The whole exchange of the pipeline on a connection to port, all commands sent at once.
    std::string exchange(int port) {
        RawClient client(port);
        const std::string greeting = client.readUntil("\r\n");
        client.send(m_pipeline);
        return greeting + client.readUntil("205 Bye\r\n");
    }

    test::TempDir m_spool;
    std::string m_pipeline;
    std::unique_ptr<newsd::NewsServer> m_server;
};

TEST_F(DelayRelayThreads, RelayCarriesAPipelineIntactBothWaysAfterTheDelay) {
    const std::string direct = exchange(m_server->port());
    const auto commandsDirect = m_server->commands();
    ASSERT_TRUE(direct.ends_with("205 Bye\r\n"));
    m_server->clearCommands();

    RelayOptions options;
    options.targetHost = "127.0.0.1";
    options.targetPort = m_server->port();
    options.link.delay = milliseconds(60);
    options.link.queueLimit = 256 * 1024;  // the queue fills: reading must wait, nothing lost
    RelayServer relay(options);
    relay.start();
    // Three clients at once; each must see exactly what the direct one saw.
    std::vector<std::string> relayed(3);
    std::vector<std::thread> clients;
    for (std::string& text : relayed)
        clients.emplace_back([&text, &relay, this] { text = exchange(relay.port()); });
    for (std::thread& t : clients) t.join();
    for (const std::string& text : relayed) EXPECT_TRUE(text == direct) << text.size();
    EXPECT_EQ(m_server->commands().size(), 3 * commandsDirect.size());
    EXPECT_EQ(m_server->commands(2), commandsDirect) << "the commands arrive whole";
    EXPECT_EQ(relay.connections(), 3);

    // One round trip: greeting after one delay, a reply after two.
    RawClient timed(relay.port());
    const auto connected = Clock::now();
    EXPECT_EQ(timed.readUntil("\r\n").substr(0, 4), "200 ");
    EXPECT_GE(Clock::now() - connected, milliseconds(60));
    const auto asked = Clock::now();
    timed.send("GROUP alt.line\r\n");
    EXPECT_EQ(timed.readUntil("\r\n"), "211 40 1 40 alt.line\r\n");
    EXPECT_GE(Clock::now() - asked, milliseconds(120));
}

TEST_F(DelayRelayThreads, RateLimitHoldsTheLineToItsRate) {
    RelayOptions options;
    options.targetHost = "127.0.0.1";
    options.targetPort = m_server->port();
    options.link.rateMbit = 4;  // 500 KB/s
    RelayServer relay(options);
    relay.start();
    RawClient client(relay.port());
    client.readUntil("\r\n");
    const auto start = Clock::now();
    std::string commands = "GROUP alt.line\r\n";
    for (int n = 1; n <= 40; ++n) commands += "ARTICLE " + std::to_string(n) + "\r\n";
    client.send(commands + "QUIT\r\n");
    const std::string replies = client.readUntil("205 Bye\r\n");
    ASSERT_TRUE(replies.ends_with("205 Bye\r\n"));
    const double seconds = replies.size() / 500e3;
    EXPECT_GE(Clock::now() - start, std::chrono::duration<double>(seconds * 0.9));
    relay.stop();  // the counts are final once the links have ended
    EXPECT_GE(relay.delivered(DelayedLink::BtoA), replies.size());
}

TEST_F(DelayRelayThreads, ServerLatencyDelaysEveryReplyAndKeepsThemWhole) {
    newsd::NewsServerOptions options;
    options.spool = m_spool.path();
    options.latencyMs = 100;
    newsd::NewsServer distant(options);
    distant.start();
    const auto connected = Clock::now();
    RawClient client(distant.port());
    EXPECT_EQ(client.readUntil("\r\n").substr(0, 4), "200 ");
    EXPECT_GE(Clock::now() - connected, milliseconds(100));
    const auto asked = Clock::now();
    client.send(m_pipeline);
    const std::string replies = client.readUntil("205 Bye\r\n");
    EXPECT_GE(Clock::now() - asked, milliseconds(200));
    EXPECT_TRUE("200 qmere-newsd ready\r\n" + replies == exchange(m_server->port()));
}

TEST_F(DelayRelayThreads, StopEndsEveryLinkWithBytesStillOnTheLine) {
    RelayOptions options;
    options.targetHost = "127.0.0.1";
    options.targetPort = m_server->port();
    options.link.delay = std::chrono::seconds(30);
    auto relay = std::make_unique<RelayServer>(options);
    relay->start();
    RawClient waiting(relay->port());
    waiting.send(m_pipeline);
    relay->stop();
    EXPECT_EQ(waiting.readUntil("never"), "") << "the client sees the end, not a greeting";

    // A target that refuses: the client's connection ends, the relay serves on.
    options.targetPort = relay::boundPort(listenOn("127.0.0.1", 0).get());
    RelayServer refused(options);
    refused.start();
    RawClient lost(refused.port());
    EXPECT_EQ(lost.readUntil("never"), "");
    EXPECT_EQ(refused.connections(), 0);
}

}  // namespace
}  // namespace qm::relay
