// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/nntpconnection.h"
#include "nntp/readerevents.h"
#include "nntp/readerrunstate.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "catalog/picturelist.h"
#include "config/appsettings.h"
#include "config/serverentry.h"
#include "config/threadcontext.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "newsserver/newsserver.h"
#include "nntp/nntpquitexception.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

// A one-connection server that greets with 200 and answers each command line with the next
// scripted reply, for replies the fixture server never gives. The first command of every
// connection is CAPABILITIES: an old server's "500" goes first in most scripts.
class ScriptedServer {
  public:
    explicit ScriptedServer(Lines replies) : m_replies(std::move(replies)) {
        m_listener = std::make_unique<TcpListener>();
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        m_listener->shutdown();
        m_thread.join();
    }
    int port() const { return m_listener->port(); }

  private:
    // A raw listening socket of its own: the fixture server cannot be told to misspeak.
    class TcpListener {
      public:
        TcpListener() {
            m_fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t size = sizeof address;
            auto* raw = reinterpret_cast<sockaddr*>(&address);
            if (::bind(m_fd.get(), raw, size) == 0 && ::listen(m_fd.get(), 1) == 0 &&
                getsockname(m_fd.get(), raw, &size) == 0)
                m_port = ntohs(address.sin_port);
        }
        int port() const { return m_port; }
        int accept() { return ::accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC); }
        void shutdown() { ::shutdown(m_fd.get(), SHUT_RDWR); }

      private:
        UniqueFd m_fd;
        int m_port = 0;
    };

    void serve() {
        UniqueFd client(m_listener->accept());
        if (!client) return;
        auto say = [&](const std::string& line) {
            std::string wire = line + "\r\n";
            (void)::send(client.get(), wire.data(), wire.size(), MSG_NOSIGNAL);
        };
        say("200 scripted");
        char c;
        std::size_t next = 0;
        while (::recv(client.get(), &c, 1, 0) == 1)
            if (c == '\n') say(next < m_replies.size() ? m_replies[next++] : "500 no script");
    }

    Lines m_replies;
    std::unique_ptr<TcpListener> m_listener;
    std::thread m_thread;
};

// A fixture news server on a spool of three alt.pics articles (64-bit numbers), and one
// connection of a reader whose data directory is a temporary folder.
class NNTPConnectionThreads : public ::testing::Test {
  protected:
    NNTPConnectionThreads() : m_home(m_dir), m_profile(m_dir.file("profile.ini")) {}

    void SetUp() override {
        using newsd::writeSpoolArticle;
        const std::string spool = m_dir.file("spool");
        writeSpoolArticle(spool, "alt.pics", 3000000000,
                          "SUBJECT: first.jpg (1/1)\nMessage-ID: <first@test>\nlines: 3",
                          "line one\n.hidden dot\n" + std::string(3000, 'L') + "\n");
        writeSpoolArticle(spool, "alt.pics", 3000000001,
                          "Subject: second\nMessage-ID: <second@test>", "two\n");
        writeSpoolArticle(spool, "alt.pics", 3000000005,
                          "Subject: third\nMessage-ID: <third@test>\nLines: many", "a\nb\nc\n");
        m_options.spool = spool;
        m_settings.dataDirectory = m_dir.file("data");
        m_serverEntry.host = "127.0.0.1";
        m_article.setGroup(m_settings.dataDirectory, m_group);
    }

    void TearDown() override {
        ThreadContext::current().worker = nullptr;
        ProgramExiting = false;
    }

    void startServer() {
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
        m_serverEntry.port = m_server->port();
    }

    // Starts the server and connects; the connection is Ready after it.
    void connect() {
        if (!m_server) startServer();
        m_connection.setServer(&m_serverEntry);
        m_connection.setTimeout(milliseconds(10000));
        ASSERT_EQ(m_connection.connect(), 0);
        ASSERT_EQ(m_connection.state(), NNTPConnection::Ready) << m_connection.lastReply().text();
    }

    test::TempDir m_dir;
    test::ScopedXdgHome m_home;
    test::RecordingFrontend m_frontend;
    Profile m_profile;
    AppSettings m_settings{m_frontend, m_profile};
    ServerEntry m_serverEntry;
    ReaderRunState m_run;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
    ReaderEvents m_events{m_settings, m_run};
    NNTPConnection m_connection{m_events, m_run.login};
    GroupEntry m_group{"alt.pics", Active | Selected};
    SavedArticle m_article;
};

TEST_F(NNTPConnectionThreads, GreetingsOf200And201AreAcceptedAndOthersRefused) {
    for (int code : {200, 201, 400, 502}) {
        SCOPED_TRACE(code);
        m_options.greetingCode = code;
        startServer();
        m_serverEntry.setAuthFlag(1);
        m_frontend.clear();
        NNTPConnection connection(m_events, m_run.login);
        connection.setServer(&m_serverEntry);
        EXPECT_EQ(connection.connect(), 0);
        bool accepted = code == 200 || code == 201;
        EXPECT_EQ(connection.state(), accepted ? NNTPConnection::Ready : NNTPConnection::Closed);
        EXPECT_EQ(m_serverEntry.authFlag(), 1) << "a refused greeting keeps the login setting";
        EXPECT_EQ(m_frontend.messages(), accepted
                                             ? Lines{}
                                             : Lines{"Server said:\r\n" + std::to_string(code) +
                                                     " qmere-newsd unavailable"});
    }
}

TEST_F(NNTPConnectionThreads, WithoutAServerNothingIsTried) {
    EXPECT_EQ(m_connection.connect(), -1);
    EXPECT_EQ(m_frontend.logLines(), Lines{"Server not initialized"});
}

TEST_F(NNTPConnectionThreads, AFailedConnectIsShownOncePerRunHoweverManyReadersFail) {
    startServer();
    const int port = m_server->port();
    m_server.reset();  // nobody listens there now
    for (int reader = 0; reader < 4; ++reader) {
        NNTPConnection connection(m_events, m_run.login);
        connection.setServer(&m_serverEntry);
        EXPECT_EQ(connection.connect(), ECONNREFUSED);
        EXPECT_EQ(connection.state(), NNTPConnection::Closed);
    }
    EXPECT_EQ(m_frontend.messages(),
              Lines{"Connection to server 127.0.0.1(" + std::to_string(port) + ") failed (e=" +
                    std::to_string(ECONNREFUSED) + ")" + "\r\nCannot connect to 127.0.0.1 port " +
                    std::to_string(port) + ": connection refused."});
    EXPECT_EQ(m_run.ConnectFailureReported, 1);
}

TEST_F(NNTPConnectionThreads, ACommandOnAClosedConnectionSendsNothing) {
    connect();
    m_connection.quit();
    EXPECT_EQ(m_connection.lastReply().code(), 205);
    EXPECT_EQ(m_connection.sendCommand("GROUP alt.pics").outcome(), ReplyOutcome::Abandoned);
    EXPECT_EQ(m_server->commands(), (Lines{"CAPABILITIES", "QUIT"}));
}

// The reading position is the retrieval loop's: GROUP stores the range and leaves it.
TEST_F(NNTPConnectionThreads, SelectGroupStoresTheRangeAndLeavesThePosition) {
    connect();
    m_group.ensureStats().current = 5;
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    GroupStats& stats = *m_group.stats();
    EXPECT_EQ(stats.count.load(), 3);
    EXPECT_EQ(stats.first.load(), 3000000000);
    EXPECT_EQ(stats.last.load(), 3000000005);
    EXPECT_EQ(stats.current.load(), 5);
    EXPECT_TRUE(m_group.has(Active) && m_group.has(InProgress));
    EXPECT_EQ(m_connection.currentGroup(), &m_group);
    EXPECT_TRUE(m_frontend.logContains("211 3 3000000000 3000000005 alt.pics"));
}

TEST_F(NNTPConnectionThreads, SelectGroupNeedsNoNameInTheReply) {
    m_options.threeNumberGroup = true;
    connect();
    EXPECT_TRUE(m_connection.selectGroup(m_group).ok());
    EXPECT_EQ(m_group.stats()->last.load(), 3000000005);
}

TEST_F(NNTPConnectionThreads, SelectGroupRejectsUnknownGroupsAndShortReplies) {
    ScriptedServer server({"500 What?", "211 3 3000000000"});
    m_serverEntry.port = server.port();
    m_connection.setServer(&m_serverEntry);
    ASSERT_EQ(m_connection.connect(), 0);
    m_group.ensureStats();
    EXPECT_EQ(m_connection.selectGroup(m_group).outcome(), ReplyOutcome::ProtocolError);
    EXPECT_EQ(m_group.stats()->count.load(), 0) << "nothing stored from a short reply";
    EXPECT_EQ(m_group.stats()->first.load(), -1);
    EXPECT_FALSE(m_group.has(InProgress));

    connect();
    GroupEntry missing("alt.missing", Active | Selected);
    EXPECT_EQ(m_connection.selectGroup(missing).code(), 411);
    EXPECT_FALSE(missing.has(Active));
}

// A NEXT reply without a message-id must not keep the last article's id: the article would
// be skipped as already retrieved.
TEST_F(NNTPConnectionThreads, ANextReplyWithoutAnIdLeavesNone) {
    ScriptedServer server({"500 What?", "211 2 6 7 alt.pics", "223 6 <six@x>", "223 7"});
    m_serverEntry.port = server.port();
    m_connection.setServer(&m_serverEntry);
    ASSERT_EQ(m_connection.connect(), 0);
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.messageId, "<six@x>");
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.number, 7);
    EXPECT_EQ(m_article.messageId, "");
    m_connection.abortClose();  // the scripted server serves until its client leaves
}

TEST_F(NNTPConnectionThreads, FetchHeadReadsSubjectAndLinesWhateverTheirCase) {
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    ASSERT_TRUE(m_connection.fetchHead("3000000000", m_article).ok());
    EXPECT_EQ(m_article.number, 3000000000);
    EXPECT_EQ(m_article.messageId, "<first@test>");
    EXPECT_EQ(m_article.subject(), " first.jpg (1/1)");
    EXPECT_EQ(m_article.lines.load(), 3);
    EXPECT_EQ(m_article.header, "SUBJECT: first.jpg (1/1)\nMessage-ID: <first@test>\nlines: 3\n");
    EXPECT_TRUE(m_connection.fetchHead("3000000005", m_article).ok());
    EXPECT_EQ(m_article.lines.load(), 0) << "a Lines header that is no number counts 0";
    EXPECT_EQ(m_connection.fetchHead("3000000003", m_article).code(), 423);
    EXPECT_EQ(m_frontend.logLines().back(), "423 No article with that number");
}

TEST_F(NNTPConnectionThreads, FetchBodySavesTheArticleUnstuffedWithLongLinesSplit) {
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    ASSERT_TRUE(m_connection.fetchHead("3000000000", m_article).ok());
    ASSERT_TRUE(m_connection.fetchBody("3000000000", m_article).ok());
    EXPECT_FALSE(fileExists(m_dir.file("data/alt.pics/3000000000")))
        << "without Keep Text the article stays in memory";

    m_settings.keepText = 1;
    ASSERT_TRUE(m_connection.fetchBody("3000000000", m_article).ok());
    EXPECT_FALSE(m_article.file) << "closed after the body";
    EXPECT_EQ(m_dir.read("data/alt.pics/3000000000"),
              m_article.header + "\nline one\n.hidden dot\n" + std::string(2048, 'L') + "\n" +
                  std::string(952, 'L') + "\n");
    EXPECT_EQ(m_article.lineCount.load(), 2 * (1 + 4));
    EXPECT_EQ(m_frontend.logLines().back(), "alt.pics --  first.jpg (1/1)");
    EXPECT_EQ(m_group.stats()->articleInProgress.load(), &m_article);
}

// A body that arrives in one piece is mostly taken a whole receive at a time; every line
// the rules treat specially must come out as the line reader would give it.
TEST_F(NNTPConnectionThreads, ABodyInOneReceiveKeepsEveryLineRule) {
    const std::string body =
        "222 5 <five@x> body\r\nplain\r\n..dotted\r\n.single\r\nbare\rcr\r\n"
        "lf only\n" +
        std::string(2048, 'A') + "\r\n" + std::string(3000, 'B') + "\r\n\r\nlast\r\n.";
    ScriptedServer server({"500 What?", "211 1 5 5 alt.pics", body});
    m_serverEntry.port = server.port();
    m_connection.setServer(&m_serverEntry);
    ASSERT_EQ(m_connection.connect(), 0);
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    m_settings.keepText = 1;
    m_article.number = 5;
    const std::int64_t linesBefore = m_connection.lineCounter();
    ASSERT_TRUE(m_connection.fetchBody("5", m_article).ok());
    EXPECT_EQ(m_dir.read("data/alt.pics/5"),
              "\nplain\n.dotted\n.single\nbare\ncr\nlf only\n" + std::string(2048, 'A') + "\n" +
                  std::string(2048, 'B') + "\n" + std::string(952, 'B') + "\n\nlast\n");
    EXPECT_EQ(m_article.lineCount.load(), 1 + 11);
    EXPECT_EQ(m_connection.lineCounter() - linesBefore, 2 + 11 + 1)
        << "the command and its reply, every data line and the final dot";
    m_connection.abortClose();
}

// ARTICLE gives what HEAD and BODY give together: the header (its subject and lines read),
// the empty line, the body. An article without a Subject header has none, not the previous
// one's; one with no body ends after its header.
TEST_F(NNTPConnectionThreads, FetchArticleSavesHeaderAndBodyAndKeepsNoOldSubject) {
    const std::string spool = m_dir.file("spool");
    newsd::writeSpoolArticle(spool, "alt.pics", 3000000006, "Message-ID: <nosubject@test>",
                             "plain\n.dotted\n");
    newsd::writeSpoolArticle(spool, "alt.pics", 3000000007,
                             "Subject: empty\nMessage-ID: <empty@test>", "");
    m_settings.keepText = 1;
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    m_article.reset();
    ASSERT_TRUE(m_connection.fetchArticle("3000000000", m_article).ok());
    EXPECT_EQ(m_article.messageId, "<first@test>");
    EXPECT_EQ(m_article.subject(), " first.jpg (1/1)");
    EXPECT_EQ(m_article.lines.load(), 3);
    EXPECT_EQ(m_dir.read("data/alt.pics/3000000000"),
              "SUBJECT: first.jpg (1/1)\nMessage-ID: <first@test>\nlines: 3\n\nline one\n"
              ".hidden dot\n" +
                  std::string(2048, 'L') + "\n" + std::string(952, 'L') + "\n");
    m_article.reset();
    ASSERT_TRUE(m_connection.fetchArticle("3000000006", m_article).ok());
    EXPECT_EQ(m_article.subject(), "");
    EXPECT_EQ(m_frontend.logLines().back(), "alt.pics -- ");
    EXPECT_EQ(m_dir.read("data/alt.pics/3000000006"),
              "Message-ID: <nosubject@test>\n\nplain\n.dotted\n");
    m_article.reset();
    ASSERT_TRUE(m_connection.fetchArticle("3000000007", m_article).ok());
    EXPECT_EQ(m_dir.read("data/alt.pics/3000000007"),
              "Subject: empty\nMessage-ID: <empty@test>\n\n");
    EXPECT_EQ(m_connection.fetchArticle("3000000003", m_article).code(), 423);
    EXPECT_EQ(m_connection.lastReply().outcome(), ReplyOutcome::NoSuchArticle);
}

TEST_F(NNTPConnectionThreads, BytesOfEveryLineAreCountedAndTakenBySampling) {
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    m_connection.bytesReceived = 0;
    const std::int64_t groupBytes = m_group.stats()->bytes.load();
    ASSERT_TRUE(m_connection.fetchHead("3000000001", m_article).ok());
    // "221 3000000001 <second@test>", two header lines and ".", without line ends.
    const std::int64_t expected = 28 + 15 + 25 + 1;
    EXPECT_EQ(m_connection.takeBytesReceived(), expected);
    EXPECT_EQ(m_connection.bytesReceived.load(), 0);
    EXPECT_EQ(m_group.stats()->bytes.load() - groupBytes, expected);
}

TEST_F(NNTPConnectionThreads, NextWalksToTheEndAndFinishesTheGroup) {
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    m_group.stats()->current = 3000000000;
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.number, 3000000001);
    EXPECT_EQ(m_article.messageId, "<second@test>");
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_FALSE(m_group.has(Finished));
    EXPECT_EQ(m_connection.nextArticle(m_article).code(), 421);
    EXPECT_EQ(m_article.number, 3000000000) << "set back to the group's current number";
    EXPECT_TRUE(m_group.has(Finished));
    EXPECT_EQ(m_frontend.logLines().back(), "No more news from alt.pics");
}

TEST_F(NNTPConnectionThreads, NextReportingTheCurrentArticleFinishesTheGroupButSucceeds) {
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    m_group.stats()->current = 3000000001;  // the server's pointer is still on the first
    EXPECT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.number, 3000000001);
    EXPECT_TRUE(m_group.has(Finished));
    EXPECT_FALSE(m_group.has(InProgress));
    EXPECT_EQ(m_frontend.logLines().back(), "Finished retrieving from alt.pics");
}

// Commands sent ahead are answered in order by the calls that would have sent them; the
// NEXT behind a body can be read early and is still what the next nextArticle returns.
TEST_F(NNTPConnectionThreads, CommandsSentAheadAreTakenInOrderByTheirCalls) {
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    ASSERT_TRUE(m_connection.sendAhead({"HEAD 3000000001", "BODY 3000000001", "NEXT"}));
    EXPECT_EQ(m_connection.commandsAhead(), 3u);
    EXPECT_EQ(m_connection.answerNextAhead(), nullptr) << "NEXT is not the oldest yet";
    ASSERT_TRUE(m_connection.fetchHead("3000000001", m_article).ok());
    EXPECT_EQ(m_article.subject(), " second");
    ASSERT_TRUE(m_connection.fetchBody("3000000001", m_article).ok());
    const NntpReply* next = m_connection.answerNextAhead();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->text(), "223 3000000005 <third@test>");
    EXPECT_EQ(m_connection.commandsAhead(), 1u) << "answered, not yet taken";
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.number, 3000000005);
    EXPECT_EQ(m_article.messageId, "<third@test>");
    EXPECT_EQ(m_connection.commandsAhead(), 0u);
    EXPECT_EQ(m_server->commands(), (Lines{"CAPABILITIES", "GROUP alt.pics", "HEAD 3000000001",
                                           "BODY 3000000001", "NEXT"}))
        << "nothing asked twice";
}

// A command that was not sent ahead reads past the replies that were, bodies included. NEXT
// takes the NEXT sent ahead rather than asking again, so no article is stepped over.
TEST_F(NNTPConnectionThreads, RepliesSentAheadAreReadPastWithoutSkippingAnArticle) {
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    ASSERT_TRUE(m_connection.sendAhead({"HEAD 3000000000", "BODY 3000000000", "NEXT"}));
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.number, 3000000001);
    EXPECT_EQ(m_connection.commandsAhead(), 0u);
    ASSERT_TRUE(m_connection.fetchHead("3000000005", m_article).ok()) << "the stream is in step";
    EXPECT_EQ(m_article.subject(), " third");

    ASSERT_TRUE(m_connection.sendAhead({"HEAD 3000000000", "BODY 3000000000", "NEXT"}));
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    EXPECT_EQ(m_connection.commandsAhead(), 0u);
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.number, 3000000001) << "GROUP set the pointer again";
    EXPECT_EQ(m_connection.state(), NNTPConnection::Ready);
}

// 480 to a command sent ahead: the rest were refused too; after the login they all go again,
// once and in one write (still ahead of their replies), and the stream stays in step.
TEST_F(NNTPConnectionThreads, Reply480ToACommandSentAheadLogsInAndSendsThemAllAgain) {
    m_options.authUser = "reader";
    m_options.authPassword = "secret";
    connect();
    m_frontend.queueCredentials(Credentials{"reader", "secret"});
    ASSERT_TRUE(m_connection.sendAhead({"GROUP alt.pics", "HEAD 3000000001", "NEXT"}));
    EXPECT_TRUE(m_connection.selectGroup(m_group).ok());
    EXPECT_EQ(m_connection.commandsAhead(), 2u) << "HEAD and NEXT sent again, not yet taken";
    ASSERT_TRUE(m_connection.fetchHead("3000000001", m_article).ok());
    EXPECT_EQ(m_article.subject(), " second");
    ASSERT_TRUE(m_connection.nextArticle(m_article).ok());
    EXPECT_EQ(m_article.number, 3000000005);
    EXPECT_EQ(m_server->commands(),
              (Lines{"CAPABILITIES", "GROUP alt.pics", "HEAD 3000000001", "NEXT",
                     "AUTHINFO USER reader", "AUTHINFO PASS secret", "CAPABILITIES",
                     "GROUP alt.pics", "HEAD 3000000001", "NEXT"}));
    EXPECT_EQ(m_frontend.credentialPrompts(), 1);
}

TEST_F(NNTPConnectionThreads, Reply480AsksOnceLogsInAndRepeatsTheCommand) {
    m_options.authUser = "reader";
    m_options.authPassword = "secret";
    connect();
    m_frontend.queueCredentials(Credentials{"reader", "secret"});
    EXPECT_TRUE(m_connection.selectGroup(m_group).ok());
    EXPECT_EQ(m_server->commands(),
              (Lines{"CAPABILITIES", "GROUP alt.pics", "AUTHINFO USER reader",
                     "AUTHINFO PASS secret", "CAPABILITIES", "GROUP alt.pics"}))
        << "the capabilities are read again after the login";
    EXPECT_EQ(m_serverEntry.authFlag(), 1);
    EXPECT_EQ(m_serverEntry.credentials().user, "reader");
    EXPECT_EQ(m_frontend.credentialPrompts(), 1);
}

// Readers that meet 480 at once: one prompt, and every connection logs in with its answer
// and gets its own command answered (none is left with the 480).
TEST_F(NNTPConnectionThreads, ReadersMeetingA480TogetherShareOnePrompt) {
    m_options.authUser = "reader";
    m_options.authPassword = "secret";
    startServer();
    m_frontend.queueCredentials(Credentials{"reader", "secret"});
    constexpr int Readers = 4;
    std::vector<int> results(Readers, -1);
    std::vector<std::thread> readers;
    for (int i = 0; i < Readers; ++i)
        readers.emplace_back([&, i] {
            NNTPConnection connection(m_events, m_run.login);
            connection.setServer(&m_serverEntry);
            GroupEntry group{"alt.pics", Active | Selected};
            if (connection.connect() == 0) results[i] = connection.selectGroup(group).code();
        });
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(results, std::vector<int>(Readers, 211));
    EXPECT_EQ(m_frontend.credentialPrompts(), 1);
    EXPECT_EQ(m_serverEntry.authFlag(), 1);
}

// One prompt per run: a Cancel stands for the rest of the run, and a refused password is
// told apart from a login never given.
TEST_F(NNTPConnectionThreads, Reply480WithRefusedOrWrongCredentialsLeavesThe480) {
    m_options.authUser = "reader";
    m_options.authPassword = "secret";
    connect();
    m_frontend.queueCredentials(std::nullopt);
    EXPECT_EQ(m_connection.selectGroup(m_group).code(), 480);
    EXPECT_EQ(m_connection.selectGroup(m_group).code(), 480);
    EXPECT_EQ(m_frontend.credentialPrompts(), 1) << "cancelled once, not asked again this run";
    EXPECT_FALSE(m_connection.loginRefused());
    m_run.newLogin();  // the next run asks again
    m_frontend.queueCredentials(Credentials{"reader", "wrong"});
    EXPECT_EQ(m_connection.selectGroup(m_group).code(), 480);
    EXPECT_TRUE(m_connection.loginRefused());
    EXPECT_EQ(m_serverEntry.authFlag(), 0);
    EXPECT_EQ(m_frontend.credentialPrompts(), 2);
}

// A server that still says 480 after accepting the login: the command goes once more and
// its 480 stands; no second login, no loop.
TEST_F(NNTPConnectionThreads, A480AfterAnAcceptedLoginStandsAfterOneResend) {
    ScriptedServer server(
        {"500 What?", "480 login first", "281 ok", "500 What?", "480 still not", "205 bye"});
    m_serverEntry.port = server.port();
    m_connection.setServer(&m_serverEntry);
    ASSERT_EQ(m_connection.connect(), 0);
    m_frontend.queueCredentials(Credentials{"reader", "secret"});
    const NntpReply reply = m_connection.selectGroup(m_group);
    EXPECT_TRUE(reply.is(ReplyOutcome::AuthRequired));
    EXPECT_EQ(reply.text(), "480 still not");
    EXPECT_EQ(m_frontend.credentialPrompts(), 1);
    m_connection.quit();
    EXPECT_EQ(m_connection.lastReply().text(), "205 bye") << "nothing sent beyond the resend";
}

TEST_F(NNTPConnectionThreads, AuthinfoUserAnswered281SendsNoPasswordAndLinesStayShort) {
    m_serverEntry.setAuthFlag(1);
    m_serverEntry.setCredentials({std::string(300, 'u') + "\r\nQUIT", "pw"});
    connect();
    EXPECT_EQ(m_serverEntry.authFlag(), 1);
    Lines commands = m_server->commands();
    ASSERT_EQ(commands.size(), 3u) << "no AUTHINFO PASS, and no smuggled QUIT";
    EXPECT_EQ(commands[1], ("AUTHINFO USER " + std::string(300, 'u')).substr(0, 255));
}

TEST_F(NNTPConnectionThreads, ABodyCutShortFailsClosesTheConnectionAndKeepsNoFile) {
    m_options.cutBodyAfter = 1;
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    ASSERT_TRUE(m_connection.fetchHead("3000000005", m_article).ok());
    EXPECT_EQ(m_connection.fetchBody("3000000005", m_article).outcome(),
              ReplyOutcome::ConnectionLost);
    EXPECT_EQ(m_connection.state(), NNTPConnection::Closed);
    EXPECT_EQ(m_dir.read("data/alt.pics/3000000005"), "<missing>");
    EXPECT_EQ(m_connection.sendCommand("NEXT").outcome(), ReplyOutcome::Abandoned);
}

TEST_F(NNTPConnectionThreads, AStreamThatEndsBeforeTheReplyIsAFailedReply) {
    m_options.cutBodyAfter = 0;
    connect();
    ASSERT_TRUE(m_connection.selectGroup(m_group).ok());
    (void)m_connection.fetchBody("3000000001", m_article);  // the server hangs up here
    EXPECT_EQ(m_connection.state(), NNTPConnection::Closed);
    EXPECT_EQ(m_connection.lastReply().code(), 222);
    GroupEntry other("alt.other", Active);
    EXPECT_FALSE(m_connection.selectGroup(other).ok());
}

TEST_F(NNTPConnectionThreads, ASilentServerFailsTheReadAtTheTimeOut) {
    m_options.silentAfter = 1;  // CAPABILITIES is answered
    connect();
    m_connection.setTimeout(milliseconds(300));
    EXPECT_THROW((void)m_connection.selectGroup(m_group), SocketError);
    EXPECT_EQ(m_connection.state(), NNTPConnection::Closed);
}

// A stop request reaches a reader blocked on a silent server long before the read time-out.
TEST_F(NNTPConnectionThreads, StopRequestsEndABlockedReadWithTheirMessage) {
    m_options.silentAfter = 1;
    struct Case {
        bool programExit;
        const char* message;
    };
    for (Case c : {Case{false, "Abort action. - "}, Case{true, "Program exit - "}}) {
        SCOPED_TRACE(c.message);
        m_server.reset();
        connect();
        WorkerRecord worker;
        worker.state = WorkerRecord::Running;
        ThreadContext::current().worker = &worker;
        std::atomic<Clock::time_point> requested{Clock::time_point::max()};
        std::thread stopper([&] {
            std::this_thread::sleep_for(milliseconds(150));
            requested = Clock::now();
            if (c.programExit)
                ProgramExiting = true;
            else
                worker.state = WorkerRecord::AbortRequested;
        });
        std::string message;
        try {
            (void)m_connection.selectGroup(m_group);
        } catch (const NNTPQuitException& e) {
            message = e.message();
        }
        const auto took = Clock::now() - requested.load();
        stopper.join();
        ThreadContext::current().worker = nullptr;
        ProgramExiting = false;
        EXPECT_EQ(message, c.message);
        EXPECT_LT(took, milliseconds(5000)) << "the read time-out is 120 s";
    }
}

TEST_F(NNTPConnectionThreads, CancelFromAnotherThreadEndsABlockedRead) {
    m_options.silentAfter = 1;
    connect();
    std::thread canceller([&] {
        std::this_thread::sleep_for(milliseconds(100));
        m_connection.setStopping();
        m_connection.cancel();
    });
    EXPECT_THROW((void)m_connection.selectGroup(m_group), NNTPQuitException);
    canceller.join();
    EXPECT_EQ(m_connection.state(), NNTPConnection::Closed);
}

TEST(NNTPQuitException, JoinsTextAndDetail) {
    EXPECT_EQ(NNTPQuitException("Abort action.", "").message(), "Abort action. - ");
    EXPECT_STREQ(NNTPQuitException("Fail NNTP connection", "news").what(),
                 "Fail NNTP connection - news");
}

}  // namespace
}  // namespace qm
