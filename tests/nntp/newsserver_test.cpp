// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/newsserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "nntp/newsclientfixture.h"

namespace qm::newsd {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A spool with three articles in alt.pics (64-bit numbers) and one in alt.text, a server on
// it, and a client talking to it through the same socket class the program uses.
class NewsServerThreads : public NewsClientTest {
  protected:
    void SetUp() override {
        NewsClientTest::SetUp();
        writeSpoolArticle(m_spool.path(), "alt.pics", 3000000000,
                          "Subject: first\nMessage-ID: <first@test>\nLines: 3",
                          "line one\n.hidden dot\n.\n");
        writeSpoolArticle(m_spool.path(), "alt.pics", 3000000001,
                          "Subject: second\nMessage-ID: <second@test>\n", "two\n");
        writeSpoolArticle(m_spool.path(), "alt.pics", 3000000005,
                          "Subject: third\nMessage-ID: <third@test>\n", "a\nb\nc\nd\n");
        writeSpoolArticle(m_spool.path(), "alt.text", 7, "Subject: text\n", "plain\n");
    }
};

TEST_F(NewsServerThreads, GreetsAndCountsTheArticlesOfAGroup) {
    EXPECT_EQ(connect().substr(0, 4), "200 ");
    EXPECT_EQ(ask("MODE READER").substr(0, 4), "200 ");
    EXPECT_EQ(ask("group alt.pics"), "211 3 3000000000 3000000005 alt.pics");
    EXPECT_EQ(ask("GROUP alt.nothing").substr(0, 4), "411 ");
    EXPECT_EQ(ask("GROUP ../alt.pics").substr(0, 4), "411 ") << "no path leaves the spool";
    EXPECT_EQ(ask("FROBNICATE").substr(0, 4), "500 ");
    EXPECT_EQ(ask("QUIT").substr(0, 4), "205 ");
    EXPECT_EQ(line(m_client), "<end of stream>");
}

TEST_F(NewsServerThreads, HeadAndBodyAreDotStuffed) {
    connect();
    ASSERT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    EXPECT_EQ(ask("HEAD"), "221 3000000000 <first@test>");
    EXPECT_EQ(data(),
              (std::vector<std::string>{"Subject: first", "Message-ID: <first@test>", "Lines: 3"}));
    EXPECT_EQ(ask("BODY 3000000000"), "222 3000000000 <first@test>");
    EXPECT_EQ(data(), (std::vector<std::string>{"line one", "..hidden dot", ".."}));
    EXPECT_EQ(ask("ARTICLE <second@test>"), "220 0 <second@test>");
    EXPECT_EQ(data(), (std::vector<std::string>{"Subject: second", "Message-ID: <second@test>", "",
                                                "two"}));
    EXPECT_EQ(ask("STAT 3000000005"), "223 3000000005 <third@test>");
}

TEST_F(NewsServerThreads, RetrievalErrorsUseTheirReplyCodes) {
    connect();
    EXPECT_EQ(ask("HEAD 1").substr(0, 4), "412 ") << "no group selected yet";
    EXPECT_EQ(ask("HEAD").substr(0, 4), "412 ");
    EXPECT_EQ(ask("HEAD <nowhere@test>").substr(0, 4), "430 ");
    EXPECT_EQ(ask("BODY <first@test>"), "222 0 <first@test>") << "found in any group";
    data();
    ASSERT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    EXPECT_EQ(ask("HEAD 3000000002").substr(0, 4), "423 ");
    EXPECT_EQ(ask("HEAD 99999999999999999999999").substr(0, 4), "501 ");
    EXPECT_EQ(ask("NEXT").substr(0, 4), "223 ") << "a failed HEAD keeps the current article";
}

TEST_F(NewsServerThreads, NextWalksToTheEndAndLastWalksBack) {
    connect();
    ASSERT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    EXPECT_EQ(ask("NEXT"), "223 3000000001 <second@test>");
    EXPECT_EQ(ask("NEXT"), "223 3000000005 <third@test>");
    EXPECT_EQ(ask("NEXT").substr(0, 4), "421 ");
    EXPECT_EQ(ask("HEAD").substr(0, 4), "221 ") << "the pointer stays on the last article";
    data();
    EXPECT_EQ(ask("LAST"), "223 3000000001 <second@test>");
    EXPECT_EQ(ask("LAST"), "223 3000000000 <first@test>");
    EXPECT_EQ(ask("LAST").substr(0, 4), "422 ");
    ASSERT_EQ(ask("GROUP alt.text").substr(0, 4), "211 ");
    EXPECT_EQ(ask("STAT"), "223 7 <7.alt.text@qmere-newsd>") << "an id is made up when missing";
}

TEST_F(NewsServerThreads, ListShowsEveryGroupAndArticlesAddedWhileRunning) {
    connect();
    EXPECT_EQ(ask("LIST").substr(0, 4), "215 ");
    EXPECT_EQ(data(),
              (std::vector<std::string>{"alt.pics 3000000005 3000000000 y", "alt.text 7 7 y"}));
    writeSpoolArticle(m_spool.path(), "alt.text", 9, "Subject: late\n", "late\n");
    writeSpoolArticle(m_spool.path(), "alt.empty.later", 1, "Subject: x\n", "x\n");
    EXPECT_EQ(ask("LIST ACTIVE alt.*t*").substr(0, 4), "215 ");
    EXPECT_EQ(data(), (std::vector<std::string>{"alt.empty.later 1 1 y", "alt.text 9 7 y"}));
    EXPECT_EQ(ask("GROUP alt.text"), "211 2 7 9 alt.text");
    EXPECT_EQ(ask("LIST NEWSGROUPS").substr(0, 4), "501 ");
}

TEST_F(NewsServerThreads, AuthenticationIsRequiredUntilUserAndPasswordAreRight) {
    m_options.authUser = "reader";
    m_options.authPassword = "secret";
    EXPECT_EQ(connect().substr(0, 4), "200 ");
    EXPECT_EQ(ask("GROUP alt.pics").substr(0, 4), "480 ");
    EXPECT_EQ(ask("CAPABILITIES").substr(0, 4), "101 ");
    auto capabilities = data();
    EXPECT_NE(std::find(capabilities.begin(), capabilities.end(), "AUTHINFO USER"),
              capabilities.end());
    EXPECT_EQ(ask("AUTHINFO PASS secret").substr(0, 4), "482 ") << "PASS before USER";
    EXPECT_EQ(ask("AUTHINFO USER reader").substr(0, 4), "381 ");
    EXPECT_EQ(ask("AUTHINFO PASS wrong").substr(0, 4), "481 ");
    EXPECT_EQ(ask("LIST").substr(0, 4), "480 ");
    EXPECT_EQ(ask("AUTHINFO USER reader").substr(0, 4), "381 ");
    EXPECT_EQ(ask("AUTHINFO PASS secret").substr(0, 4), "281 ");
    EXPECT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    EXPECT_EQ(ask("AUTHINFO USER reader").substr(0, 4), "502 ");
}

TEST_F(NewsServerThreads, RefusedHeadIsAnswered423InEveryForm) {
    m_options.refuseHead = 3000000001;
    connect();
    ASSERT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    EXPECT_EQ(ask("HEAD 3000000001").substr(0, 4), "423 ");
    EXPECT_EQ(ask("NEXT"), "223 3000000001 <second@test>");
    EXPECT_EQ(ask("HEAD").substr(0, 4), "423 ");
    EXPECT_EQ(ask("BODY").substr(0, 4), "222 ") << "only the header is refused";
    EXPECT_EQ(data(), std::vector<std::string>{"two"});
    EXPECT_EQ(ask("HEAD 3000000000").substr(0, 4), "221 ");
}

TEST_F(NewsServerThreads, CutBodyClosesTheConnectionAfterThatManyBodyLines) {
    m_options.cutBodyAfter = 2;
    connect();
    ASSERT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    EXPECT_EQ(ask("BODY 3000000001").substr(0, 4), "222 ") << "a short body is not cut";
    EXPECT_EQ(data(), std::vector<std::string>{"two"});
    EXPECT_EQ(ask("ARTICLE 3000000005").substr(0, 4), "220 ");
    std::vector<std::string> lines;
    for (std::string l = line(m_client); l != "<end of stream>"; l = line(m_client))
        lines.push_back(l);
    EXPECT_EQ(lines, (std::vector<std::string>{"Subject: third", "Message-ID: <third@test>", "",
                                               "a", "b"}));
}

TEST_F(NewsServerThreads, SilentAfterReadsButNeverAnswers) {
    m_options.silentAfter = 2;
    connect();
    EXPECT_EQ(ask("MODE READER").substr(0, 4), "200 ");
    EXPECT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    m_client.setTimeout(milliseconds(300));
    try {
        ask("HEAD");
        FAIL() << "the server should have stayed silent";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), ETIMEDOUT);
    }
    EXPECT_EQ(m_server->commands(),
              (std::vector<std::string>{"MODE READER", "GROUP alt.pics", "HEAD"}));
}

// Commands sent together are answered in order, each reply whole; a silent server still
// sends the replies to the commands before its silence.
TEST_F(NewsServerThreads, CommandsSentTogetherAreAnsweredInOrder) {
    m_options.silentAfter = 5;
    connect();
    m_client.write("GROUP alt.pics\r\nHEAD 3000000000\r\nBODY 3000000000\r\nNEXT\r\n");
    m_client.write("BODY 3000000001\r\nNEXT\r\n");
    m_client.flush();
    EXPECT_EQ(line(m_client), "211 3 3000000000 3000000005 alt.pics");
    EXPECT_EQ(line(m_client), "221 3000000000 <first@test>");
    EXPECT_EQ(data(),
              (std::vector<std::string>{"Subject: first", "Message-ID: <first@test>", "Lines: 3"}));
    EXPECT_EQ(line(m_client), "222 3000000000 <first@test>");
    EXPECT_EQ(data(), (std::vector<std::string>{"line one", "..hidden dot", ".."}));
    EXPECT_EQ(line(m_client), "223 3000000001 <second@test>");
    EXPECT_EQ(line(m_client), "222 3000000001 <second@test>");
    EXPECT_EQ(data(), std::vector<std::string>{"two"});
    m_client.setTimeout(milliseconds(300));
    EXPECT_THROW(line(m_client), SocketError) << "the sixth command is never answered";
}

TEST_F(NewsServerThreads, LineDelaySpacesTheDataLines) {
    m_options.lineDelayMs = 40;
    connect();
    ASSERT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    const auto start = Clock::now();
    EXPECT_EQ(ask("BODY 3000000005").substr(0, 4), "222 ");
    EXPECT_EQ(data().size(), 4u);
    EXPECT_GE(Clock::now() - start, milliseconds(4 * 40));
}

TEST_F(NewsServerThreads, ConnectionsBeyondTheLimitAreRefusedWith400) {
    m_options.maxConnections = 2;
    connect();
    TcpStream second, third;
    EXPECT_EQ(connect(second).substr(0, 4), "200 ");
    EXPECT_EQ(connect(third).substr(0, 4), "400 ");
    EXPECT_EQ(line(third), "<end of stream>");
    EXPECT_EQ(ask("QUIT", &second).substr(0, 4), "205 ");
    EXPECT_EQ(line(second), "<end of stream>");
    // The server notices the ended session when the next client arrives.
    TcpStream fourth;
    EXPECT_EQ(connect(fourth).substr(0, 4), "200 ");
    EXPECT_EQ(m_server->connectionsAccepted(), 3);
    EXPECT_EQ(m_server->connectionsRefused(), 1);
}

TEST_F(NewsServerThreads, RecordsTheCommandsOfEachConnection) {
    connect();
    TcpStream second;
    connect(second);
    ask("GROUP alt.pics");
    ask("MODE READER", &second);
    ask("NEXT");
    EXPECT_EQ(m_server->commands(1), (std::vector<std::string>{"GROUP alt.pics", "NEXT"}));
    EXPECT_EQ(m_server->commands(2), std::vector<std::string>{"MODE READER"});
    EXPECT_EQ(m_server->commands().size(), 3u);
}

TEST_F(NewsServerThreads, HostileLinesAreAnsweredAndTheSessionGoesOn) {
    connect();
    m_client.write(std::string(3 << 20, 'A'));
    m_client.writeLine("");
    EXPECT_EQ(ask(std::string("\x01\xff\0\x80 GROUP", 10)).substr(0, 4), "501 ")
        << "the 3 MB line is answered first";
    EXPECT_EQ(line(m_client).substr(0, 4), "500 ");
    EXPECT_EQ(ask("GROUP alt.pics").substr(0, 4), "211 ");
    auto commands = m_server->commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].size(), NewsSession::MaxCommandLength) << "recorded lines are bounded";
}

TEST_F(NewsServerThreads, AFloodOfClientsSendingRandomBytesLeavesItServing) {
    m_options.maxConnections = 64;
    startServer();
    std::mt19937 random(7);
    {
        std::vector<std::unique_ptr<TcpStream>> flood;
        for (int i = 0; i < 40; ++i) {
            auto client = std::make_unique<TcpStream>();
            ASSERT_EQ(client->connect("127.0.0.1", m_server->port()), 0);
            std::string noise(1 + random() % 20000, '\0');
            for (char& c : noise) c = static_cast<char>(random());
            client->write(noise);
            client->writeLine("GROUP alt.pics");
            client->flush();
            if (i % 2 == 0) flood.push_back(std::move(client));  // the rest hang up at once
        }
    }
    EXPECT_EQ(connect().substr(0, 4), "200 ");
    EXPECT_EQ(ask("GROUP alt.pics"), "211 3 3000000000 3000000005 alt.pics");
    EXPECT_EQ(m_server->connectionsAccepted(), 41);
    EXPECT_EQ(m_server->connectionsRefused(), 0);
}

TEST_F(NewsServerThreads, StopReturnsPromptlyWhileClientsAreSilentOrPaused) {
    m_options.lineDelayMs = 60000;
    connect();
    TcpStream waiting;
    connect(waiting);
    ask("GROUP alt.pics", &waiting);
    waiting.writeLine("BODY 3000000005");  // its reply now pauses a minute before each line
    waiting.flush();
    line(waiting);
    const auto start = Clock::now();
    m_server->stop();
    EXPECT_LT(Clock::now() - start, milliseconds(5000));
    EXPECT_EQ(line(m_client), "<end of stream>");
    EXPECT_EQ(line(waiting), "<end of stream>");
}

struct ArgumentCase {
    std::vector<std::string_view> args;
    bool valid;
};

TEST(NewsServerArguments, AreParsedOrRejectedWithAReason) {
    const std::vector<ArgumentCase> cases = {
        {{"--spool", "/s"}, true},
        {{"--spool", "/s", "--port", "0", "--host", "::1", "--greeting", "201"}, true},
        {{"--spool", "/s", "--auth", "u:p", "--three-number-group", "--refuse-head", "3000000000",
          "--cut-body-after", "5", "--silent-after", "0", "--line-delay-ms", "10",
          "--max-connections", "4"},
         true},
        {{}, false},
        {{"--port", "119"}, false},
        {{"--spool", "/s", "--port", "70000"}, false},
        {{"--spool", "/s", "--port", "-1"}, false},
        {{"--spool", "/s", "--auth", "nocolon"}, false},
        {{"--spool", "/s", "--refuse-head", "12x"}, false},
        {{"--spool", "/s", "--greeting"}, false},
        {{"--spool", "/s", "--frobnicate", "1"}, false},
        {{"--spool", "/s", "--no-overview", "--no-capabilities", "--no-compress",
          "--compress-level", "1", "--latency-ms", "20"},
         true},
        {{"--spool", "/s", "--latency-ms", "-5"}, false},
        {{"--spool", "/s", "--compress-level", "10"}, false},
        {{"--spool",
          "/s",
          "--over-omit",
          "3,17",
          "--over-lag",
          "2",
          "--over-order",
          "swapped",
          "--over-empty",
          "--over-repeat",
          "--over-line-bytes",
          "65536",
          "--no-listgroup",
          "--wrong-number",
          "5",
          "--wrong-id",
          "6",
          "--wrong-header",
          "7",
          "--bare-ids",
          "--hide-above",
          "20"},
         true},
        {{"--spool", "/s", "--over-omit", "3,,17"}, false},
        {{"--spool", "/s", "--over-order", "sideways"}, false},
    };
    for (const ArgumentCase& c : cases) {
        std::string joined;
        for (auto a : c.args) joined += std::string(a) + " ";
        SCOPED_TRACE(joined);
        auto parsed = parseNewsServerArguments(c.args);
        EXPECT_EQ(std::holds_alternative<NewsServerOptions>(parsed), c.valid);
    }
    std::vector<std::string_view> full = {"--spool",       "/s",         "--auth", "u:p:q",
                                          "--refuse-head", "3000000000", "--port", "8119"};
    auto options = std::get<NewsServerOptions>(parseNewsServerArguments(full));
    EXPECT_EQ(options.authUser, "u");
    EXPECT_EQ(options.authPassword, "p:q");
    EXPECT_EQ(options.refuseHead, 3000000000u);
    EXPECT_EQ(options.port, 8119);
    std::vector<std::string_view> omit = {"--spool", "/s", "--over-omit", "3,17"};
    EXPECT_EQ(std::get<NewsServerOptions>(parseNewsServerArguments(omit)).overOmit,
              (std::vector<std::uint64_t>{3, 17}));
}

}  // namespace
}  // namespace qm::newsd
