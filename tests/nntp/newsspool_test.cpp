// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture server keeps the articles it reads ready to send. Whatever it keeps, it must
// serve each article file as it is at the moment it is asked for.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "newsserver/newsserver.h"
#include "newsserver/spool.h"
#include "platform/socket.h"
#include "support/tempdir.h"

namespace qm::newsd {
namespace {

using std::chrono::milliseconds;

class SpoolCache : public ::testing::Test {
  protected:
    std::shared_ptr<const SpoolArticle> read(std::uint64_t number) {
        return m_spool.readArticle("alt.test", number);
    }

    // Reads the article until the spool keeps it (a file is kept only once it is older than
    // the file system's time step) and returns what it keeps; null when it never does.
    std::shared_ptr<const SpoolArticle> keptArticle(std::uint64_t number) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
        auto previous = read(number);
        while (previous && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(50));
            auto again = read(number);
            if (again == previous) return again;
            previous = std::move(again);
        }
        return nullptr;
    }

    void write(std::uint64_t number, std::string_view headers, std::string_view body) {
        writeSpoolArticle(m_dir.path(), "alt.test", number, headers, body);
    }
    // Overwrites the same file (same inode), as an editor would, not by renaming a new one in.
    void rewriteInPlace(std::uint64_t number, std::string_view text) {
        m_dir.write("alt.test/" + std::to_string(number), text);
    }

    test::TempDir m_dir;
    Spool m_spool{m_dir.path(), 32u << 20};  // small enough to be filled by a test
};

TEST_F(SpoolCache, AnUnchangedArticleIsKeptAndServedFromMemory) {
    write(1, "Subject: one\nMessage-ID: <one@test>\n", "body\n");
    auto kept = keptArticle(1);
    ASSERT_TRUE(kept) << "a settled article should be read once for NEXT, HEAD and BODY";
    EXPECT_EQ(read(1), kept);
    EXPECT_EQ(kept->messageId, "<one@test>");
    EXPECT_EQ(kept->body, "body\r\n");
}

TEST_F(SpoolCache, AReplacedOrRewrittenArticleIsServedFresh) {
    write(1, "Subject: one\nMessage-ID: <old@test>\n", "aaaa\n");
    ASSERT_TRUE(keptArticle(1));
    // Renamed into place: another file of the same size.
    write(1, "Subject: one\nMessage-ID: <new@test>\n", "bbbb\n");
    auto article = read(1);
    ASSERT_TRUE(article);
    EXPECT_EQ(article->messageId, "<new@test>");
    EXPECT_EQ(article->body, "bbbb\r\n");

    ASSERT_TRUE(keptArticle(1));
    // The same file overwritten with as many bytes.
    rewriteInPlace(1, "Subject: one\nMessage-ID: <new@test>\n\ncccc\n");
    article = read(1);
    ASSERT_TRUE(article);
    EXPECT_EQ(article->body, "cccc\r\n");

    // Overwritten at once after a read, within the step of the file times: nothing kept from
    // the first read may be served.
    write(2, "Subject: two\n", "dddd\n");
    ASSERT_TRUE(read(2));
    rewriteInPlace(2, "Subject: two\n\neeee\n");
    article = read(2);
    ASSERT_TRUE(article);
    EXPECT_EQ(article->body, "eeee\r\n");
}

TEST_F(SpoolCache, RemovedAndLateArticlesAreSeenAtOnce) {
    EXPECT_FALSE(read(3)) << "not there yet";
    write(3, "Subject: late\n", "late\n");
    auto late = read(3);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->body, "late\r\n");

    ASSERT_TRUE(keptArticle(3));
    std::filesystem::remove(m_dir.file("alt.test/3"));
    EXPECT_FALSE(read(3));
    write(3, "Subject: back\n", "back\n");
    auto back = read(3);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->body, "back\r\n");
}

TEST_F(SpoolCache, AGroupScanShowsArticlesAddedOrRemovedSinceTheLast) {
    using Numbers = std::vector<std::uint64_t>;
    write(1, "Subject: one\n", "1\n");
    write(2, "Subject: two\n", "2\n");
    // Older than the file system's time step, the folder's scan is kept.
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(m_spool.scanGroup("alt.test"), Numbers({1, 2}));
    EXPECT_EQ(m_spool.scanGroup("alt.test"), Numbers({1, 2}));
    write(5, "Subject: five\n", "5\n");
    EXPECT_EQ(m_spool.scanGroup("alt.test"), Numbers({1, 2, 5}));
    // Right after the last change, within the time step.
    write(7, "Subject: seven\n", "7\n");
    EXPECT_EQ(m_spool.scanGroup("alt.test"), Numbers({1, 2, 5, 7}));
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(m_spool.scanGroup("alt.test"), Numbers({1, 2, 5, 7}));
    std::filesystem::remove(m_dir.file("alt.test/2"));
    EXPECT_EQ(m_spool.scanGroup("alt.test"), Numbers({1, 5, 7}));
    std::filesystem::remove_all(m_dir.file("alt.test"));
    EXPECT_FALSE(m_spool.scanGroup("alt.test"));
}

TEST_F(SpoolCache, MoreArticlesThanItKeepsAreEachServedAsTheirOwn) {
    // About 36 MB: more than is kept, so older articles make room while others are read.
    const std::string body = std::string(1000, 'x') + "\n";
    std::string big;
    for (int i = 0; i < 1500; ++i) big += body;
    constexpr int Count = 24;
    for (int n = 1; n <= Count; ++n)
        write(n, "Message-ID: <" + std::to_string(n) + "@test>\n", big);
    ASSERT_TRUE(keptArticle(Count));
    for (int pass = 0; pass < 2; ++pass) {
        for (int n = 1; n <= Count; ++n) {
            auto article = read(n);
            ASSERT_TRUE(article) << n;
            EXPECT_EQ(article->messageId, "<" + std::to_string(n) + "@test>");
            EXPECT_EQ(article->body.size(), 1500u * 1002u);
        }
    }
}

struct PrepareCase {
    const char* name;
    std::string_view text;
    std::string_view header;  // as sent: dot-stuffed lines ending in CR LF
    std::string_view body;
    std::string_view messageId;
};

TEST(SpoolArticleForm, IsTheDotStuffedCrLfTextOfHeaderAndBody) {
    const PrepareCase cases[] = {
        {"lf line ends", "Subject: a\nMessage-ID: <a@t>\n\none\ntwo\n",
         "Subject: a\r\nMessage-ID: <a@t>\r\n", "one\r\ntwo\r\n", "<a@t>"},
        {"crlf line ends", "Subject: a\r\n\r\none\r\n", "Subject: a\r\n", "one\r\n", "<f@x>"},
        {"dots stuffed in both parts", ".Header: x\n\n.\n..two\nmid.dle\n", "..Header: x\r\n",
         "..\r\n...two\r\nmid.dle\r\n", "<f@x>"},
        {"empty lines kept in the body", "S: a\n\n\nx\n\n", "S: a\r\n", "\r\nx\r\n\r\n", "<f@x>"},
        {"last line without line end", "S: a\n\nlast", "S: a\r\n", "last\r\n", "<f@x>"},
        {"no body", "S: a\n", "S: a\r\n", "", "<f@x>"},
        {"nothing", "", "", "", "<f@x>"},
        {"a lone CR inside a line stays", "S: a\n\nx\ry\r\r\n", "S: a\r\n", "x\ry\r\r\n", "<f@x>"},
        {"id header in any case, trimmed, first one wins",
         "message-ID: \t<b@t> \nMessage-Id: <c@t>\n\n",
         "message-ID: \t<b@t> \r\nMessage-Id: <c@t>\r\n", "", "<b@t>"},
        {"an id in the body does not count", "S: a\n\nMessage-ID: <d@t>\n", "S: a\r\n",
         "Message-ID: <d@t>\r\n", "<f@x>"},
    };
    for (const PrepareCase& c : cases) {
        SCOPED_TRACE(c.name);
        SpoolArticle article = prepareArticle(c.text, "<f@x>");
        EXPECT_EQ(article.header, c.header);
        EXPECT_EQ(article.body, c.body);
        EXPECT_EQ(article.messageId, c.messageId);
    }
}

// A body far larger than a socket buffer leaves in several sends; every byte must arrive in
// order, and an article replaced during a session is what the next command gets.
TEST(NewsServerLargeReplies, ArriveWholeAndReflectTheSpoolOfTheMoment) {
    test::TempDir spool;
    std::vector<std::string> lines;
    std::string body;
    for (int i = 0; i < 40000; ++i) {
        lines.push_back((i % 97 == 0 ? "." : "M") + std::to_string(i) +
                        std::string(60, static_cast<char>('a' + i % 26)));
        body += lines.back() + "\n";
    }
    writeSpoolArticle(spool.path(), "alt.big", 1, "Subject: big\nMessage-ID: <big@test>\n", body);
    writeSpoolArticle(spool.path(), "alt.big", 2, "Subject: small\nMessage-ID: <small@test>\n",
                      "small\n");
    NewsServerOptions options;
    options.spool = spool.path();
    NewsServer server(options);
    server.start();
    TcpStream client;
    client.setTimeout(milliseconds(10000));
    ASSERT_EQ(client.connect("127.0.0.1", server.port()), 0) << client.lastError();
    std::string line;
    ASSERT_TRUE(client.readLine(line));
    auto ask = [&](std::string_view command) {
        client.writeLine(command);
        client.flush();
        return client.readLine(line) ? line : std::string("<end of stream>");
    };
    auto data = [&] {
        std::vector<std::string> received;
        while (client.readLine(line) && line != ".")
            received.push_back(line.size() > 1 && line[0] == '.' ? line.substr(1) : line);
        return received;
    };

    ASSERT_EQ(ask("GROUP alt.big").substr(0, 4), "211 ");
    EXPECT_EQ(ask("BODY 1"), "222 1 <big@test>");
    EXPECT_EQ(data(), lines);
    EXPECT_EQ(ask("ARTICLE 1"), "220 1 <big@test>");
    std::vector<std::string> article = {"Subject: big", "Message-ID: <big@test>", ""};
    article.insert(article.end(), lines.begin(), lines.end());
    EXPECT_EQ(data(), article);

    EXPECT_EQ(ask("NEXT"), "223 2 <small@test>");
    writeSpoolArticle(spool.path(), "alt.big", 2, "Subject: new\nMessage-ID: <new@test>\n",
                      "new\n");
    EXPECT_EQ(ask("HEAD"), "221 2 <new@test>");
    EXPECT_EQ(data(), (std::vector<std::string>{"Subject: new", "Message-ID: <new@test>"}));
    EXPECT_EQ(ask("QUIT").substr(0, 4), "205 ");
}

}  // namespace
}  // namespace qm::newsd
