// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/readerpool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "nntp/enginefixture.h"

namespace qm::test {
namespace {

using Clock = std::chrono::steady_clock;

class ReaderPoolTest : public EngineTest {};

TEST_F(ReaderPoolTest, SevenGroupsForThreeReadersAreSplitThreeThreeAndOne) {
    ReaderPool& readers = pool(3);
    GroupTable table;
    for (int i = 0; i < 7; ++i) table.add(group("alt.g" + std::to_string(i)));
    readers.distribute(table);
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i < readers.size(); ++i)
        sizes.push_back(readers.reader(i).groups().size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 3, 1}));
    EXPECT_EQ(readers.totalAssigned(), 7u);
    EXPECT_TRUE(readers.isAssigned(group("alt.g0")));
    EXPECT_FALSE(readers.isAssigned(group("alt.other")));
    // Handing the same groups out again adds nothing: each has its reader.
    readers.distribute(table);
    EXPECT_EQ(readers.totalAssigned(), 7u);
    EXPECT_EQ(readers.runningReaders(), 0) << "a stopped pool starts nobody";
}

TEST_F(ReaderPoolTest, MergeDropsAGroupNoLongerSelected) {
    ReaderPool& readers = pool(1);
    GroupTable table;
    table.add(group("alt.a"));
    table.add(group("alt.b"));
    readers.distribute(table);
    group("alt.a").clear(Selected);
    readers.merge(readers.reader(0));
    EXPECT_FALSE(readers.isAssigned(group("alt.a")));
    EXPECT_TRUE(readers.isAssigned(group("alt.b")));
}

class ReaderPoolThreads : public EngineTest {};

// The same runs read through the overview and article by article (a server without one).
enum class Path { Overview, Walk };

class ReadPathThreads : public EngineTest, public ::testing::WithParamInterface<Path> {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        m_options.noOverview = walk();
    }
    bool walk() const { return GetParam() == Path::Walk; }
};

INSTANTIATE_TEST_SUITE_P(BothPaths, ReadPathThreads, ::testing::Values(Path::Overview, Path::Walk),
                         [](const auto& info) {
                             return info.param == Path::Walk ? "Walk" : "Overview";
                         });

TEST_P(ReadPathThreads, ARunDecodesEveryGroupAndTheLastReaderEndsItOnce) {
    const std::string jpg = pictureBytes(3000, 7);
    const std::string gif = pictureBytes(500, 9);
    post("alt.pics.a", 10, "first.jpg (1/1)", "<a10@x>", uuencode("first.jpg", jpg));
    post("alt.pics.a", 11, "text only", "<a11@x>", "hello\n");
    post("alt.pics.b", 5, "mime", "<b5@x>",
         "--XX\nContent-Type: image/gif; name=\"b.gif\"\nContent-Transfer-Encoding: "
         "base64\n\n" +
             std::string("") + "R0lG\n--XX--\n",
         "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"XX\"\n");
    post("alt.pics.b", 6, "second.gif", "<b6@x>", uuencode("second.gif", gif));
    startServer();
    ReaderPool& readers = pool(3);
    GroupTable table;
    table.add(group("alt.pics.a"));
    table.add(group("alt.pics.b"));

    ASSERT_TRUE(runToEnd(readers, table));

    EXPECT_EQ(m_frontend.runsFinished(), 1);
    // Never-read groups: their first articles are retrieved too.
    EXPECT_EQ(newsFile("alt.pics.a", "first.jpg"), jpg);
    EXPECT_EQ(newsFile("alt.pics.b", "b.gif"), "GIF");
    EXPECT_EQ(newsFile("alt.pics.b", "second.gif"), gif);
    EXPECT_EQ(m_dir.read("data/alt.pics.a/Last"), "11");
    EXPECT_EQ(m_dir.read("data/alt.pics.b/Last"), "6");
    EXPECT_NE(m_dir.read("data/alt.pics.a/data.lst"), "<missing>");
    EXPECT_EQ(fetches(10) + fetches(11) + fetches(5) + fetches(6), 4);
    EXPECT_EQ(allFetches(), 4);
    for (const char* name : {"alt.pics.a", "alt.pics.b"}) {
        EXPECT_TRUE(group(name).has(Finished)) << name;
        EXPECT_FALSE(group(name).has(InProgress)) << name;
        EXPECT_TRUE(settings().visitedGroups.find(name)) << name;
    }
    // "Keep Text" 0: no saved article is left behind.
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.file("data/alt.pics.a")))
        EXPECT_FALSE(entry.path().filename() == "10" || entry.path().filename() == "11");
    // The index was saved by the stop.
    MessageIdIndex saved(10000);
    saved.setDirectory(settings().dataDirectory);
    ASSERT_EQ(saved.load(), 0);
    EXPECT_EQ(saved.size(), 4);
}

TEST_P(ReadPathThreads, TheSameMessageInTwoGroupsIsFetchedOnce) {
    post("alt.one", 1, "shared.jpg", "<shared@x>", uuencode("shared.jpg", "abc"));
    post("alt.two", 1, "other", "<other@x>", "x\n");
    post("alt.two", 2, "shared.jpg", "<shared@x>", uuencode("shared.jpg", "abc"));
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.two", "alt.one"}));
    EXPECT_EQ(allFetches(), 2) << "\"other\" and the shared one, once";
    const bool oneFirst = m_frontend.logContains("alt.two: skip retrieved message <shared@x>");
    const bool twoFirst = m_frontend.logContains("alt.one: skip retrieved message <shared@x>");
    EXPECT_NE(oneFirst, twoFirst);
    EXPECT_EQ(fetches(2), twoFirst ? 1 : 0);
    // A known message-id costs no HEAD: alt.two 2 is HEADed only when alt.two came first.
    if (walk()) {
        EXPECT_EQ(countCommands("HEAD 2"), twoFirst ? 1 : 0);
    }
}

// Commands go out ahead of their replies, yet the server sees what a reader waiting for
// each reply would send: every article costs one NEXT, one HEAD and one BODY, over two turns.
TEST_F(ReaderPoolThreads, ArticlesAskedForAheadAreEachFetchedOnceInOrder) {
    m_options.noOverview = true;
    for (int n = 1; n <= 10; ++n) {
        const std::string name = "p" + std::to_string(n) + ".jpg";
        post("alt.seq", n, name, "<" + std::to_string(n) + "@seq>",
             uuencode(name, pictureBytes(200 + n, n)));
    }
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.seq"}));
    std::vector<std::string> expected{"CAPABILITIES", "GROUP alt.seq", "HEAD 1", "BODY 1"};
    for (int n = 2; n <= 8; ++n)
        for (const char* command : {"NEXT", "HEAD ", "BODY "})
            expected.push_back(command + (command[0] == 'N' ? "" : std::to_string(n)));
    for (const char* command :
         {"HEAD 8", "NEXT", "HEAD 9", "BODY 9", "NEXT", "HEAD 10", "BODY 10", "NEXT"})
        expected.push_back(command);
    EXPECT_EQ(m_server->commands(), expected);
    for (int n = 1; n <= 10; ++n) {
        const std::string name = "p" + std::to_string(n) + ".jpg";
        EXPECT_EQ(newsFile("alt.seq", name), pictureBytes(200 + n, n)) << name;
    }
    EXPECT_EQ(m_dir.read("data/alt.seq/Last"), "10");
}

// A run killed while decoding left a hidden, part-written file behind; the next run that
// reads the group removes it and nothing else.
TEST_F(ReaderPoolThreads, AbandonedDecodingFilesAreRemovedWhenTheGroupIsRead) {
    m_dir.write("data/alt.k/news.dat/.qmere-decoding-Ab12Cd", "half a picture");
    m_dir.write("data/alt.k/news.dat/old.jpg", "kept");
    m_dir.write("data/alt.k/news.dat/.other", "kept too");
    post("alt.k", 1, "new.jpg", "<1@k>", uuencode("new.jpg", "fresh"));
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.k"}));
    EXPECT_EQ(newsFile("alt.k", ".qmere-decoding-Ab12Cd"), "<missing>");
    EXPECT_EQ(newsFile("alt.k", "old.jpg"), "kept");
    EXPECT_EQ(newsFile("alt.k", ".other"), "kept too");
    EXPECT_EQ(newsFile("alt.k", "new.jpg"), "fresh");
}

// A turn that finds nothing new leaves "Last" and "data.lst" as they were, not rewritten.
TEST_F(ReaderPoolThreads, ATurnWithNothingNewRewritesNoStateFile) {
    post("alt.q", 1, "q1.jpg", "<1@q>", uuencode("q1.jpg", "one"));
    post("alt.q", 2, "q2.jpg", "<2@q>", uuencode("q2.jpg", "two"));
    startServer();
    GroupTable table;
    table.add(group("alt.q"));
    ASSERT_TRUE(runToEnd(pool(1), table));
    auto inode = [&](const char* name) {
        struct stat status {};
        return ::stat(m_dir.file(std::string("data/alt.q/") + name).c_str(), &status) == 0
                   ? status.st_ino
                   : ino_t{0};
    };
    const ino_t last = inode("Last"), list = inode("data.lst");
    ASSERT_NE(last, 0u);
    ASSERT_NE(list, 0u);
    const std::string listText = m_dir.read("data/alt.q/data.lst");

    group("alt.q").clear(Finished);  // as after a restart of the program
    ASSERT_TRUE(runToEnd(pool(1), table));
    EXPECT_TRUE(m_frontend.logContains("No more news from alt.q"));
    EXPECT_EQ(inode("Last"), last);
    EXPECT_EQ(inode("data.lst"), list);
    EXPECT_EQ(m_dir.read("data/alt.q/Last"), "2");
    EXPECT_EQ(m_dir.read("data/alt.q/data.lst"), listText);
}

// Walk: the Lines header decides (an article without one counts 0 lines).
TEST_F(ReaderPoolThreads, ShortAndExcludedArticlesCostNoBody) {
    m_options.noOverview = true;
    settings().skipShort = 1;
    settings().skipLimit = 3;
    ASSERT_FALSE(settings().setKillPattern("spam"));
    post("alt.f", 1, "keep.jpg", "<1@f>", "a\nb\nc\nd\n", "Lines: 4\n");
    post("alt.f", 2, "tiny", "<2@f>", "a\nb\nc\n", "Lines: 3\n");
    post("alt.f", 3, "buy spam now", "<3@f>", "a\nb\nc\nd\n", "Lines: 4\n");
    post("alt.f", 4, "no lines header", "<4@f>", "a\nb\nc\nd\n");
    post("alt.f", 5, "last", "<5@f>", "a\nb\nc\nd\n", "Lines: 4\n");
    startServer();
    ASSERT_TRUE(runGroupsToEnd(2, {"alt.f"}));
    EXPECT_EQ(countCommands("BODY 1"), 1);
    EXPECT_EQ(countCommands("BODY 5"), 1);
    for (const char* body : {"BODY 2", "BODY 3", "BODY 4"})
        EXPECT_EQ(countCommands(body), 0) << body;
    EXPECT_TRUE(m_frontend.logContains("Skip short article  tiny"));
    EXPECT_TRUE(m_frontend.logContains("Skip short article  no lines header"));
    EXPECT_TRUE(m_frontend.logContains("Exclude  buy spam now"));
    EXPECT_EQ(m_dir.read("data/alt.f/Last"), "5");
}

// An article the server lists but then refuses is stepped over, not asked for at every pass.
TEST_P(ReadPathThreads, ARefusedHeaderDoesNotStallItsGroup) {
    post("alt.r", 1, "one", "<1@r>", "x\n");
    post("alt.r", 2, "two", "<2@r>", "x\n");
    post("alt.r", 3, "three", "<3@r>", "x\n");
    m_options.refuseHead = 2;
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.r"}));
    EXPECT_EQ(fetches(1), 1);
    EXPECT_EQ(fetches(3), 1);
    if (!walk()) {
        EXPECT_TRUE(m_frontend.logContains(
            "alt.r: article 2 of the overview is not on the server; stepped over"));
    }
    EXPECT_TRUE(group("alt.r").has(Finished));
    EXPECT_EQ(m_dir.read("data/alt.r/Last"), "3");
}

TEST_P(ReadPathThreads, AnArticleCutOffIsFetchedAgainByTheNextRun) {
    const std::string jpg = pictureBytes(2000, 3);
    post("alt.c", 1, "one", "<1@c>", "x\n");
    post("alt.c", 2, "cut.jpg", "<2@c>", uuencode("cut.jpg", jpg));
    m_options.cutBodyAfter = 3;  // the first body passes, the second is cut
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.c"}));
    EXPECT_EQ(newsFile("alt.c", "cut.jpg"), "<missing>");
    EXPECT_EQ(m_dir.read("data/alt.c/2"), "<missing>") << "no half article is kept";
    EXPECT_EQ(m_dir.read("data/alt.c/Last"), "1");
    EXPECT_FALSE(group("alt.c").has(Finished));
    EXPECT_TRUE(m_frontend.logContains("Connection to NNTP server closed..."));

    m_options.cutBodyAfter.reset();
    m_server.reset();
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.c"}));
    EXPECT_EQ(fetches(1), 0) << "the article read before is not fetched again";
    EXPECT_EQ(fetches(2), 1);
    EXPECT_EQ(newsFile("alt.c", "cut.jpg"), jpg);
}

// The body is in, the NEXT sent ahead of it is never answered, and the run is stopped: the
// article is decoded all the same, since the next run starts after it.
TEST_F(ReaderPoolThreads, AnArticleReadBeforeAStopIsDecodedWhileTheNextIsAwaited) {
    const std::string jpg = pictureBytes(1500, 5);
    post("alt.w", 1, "one", "<1@w>", "x\n");
    post("alt.w", 2, "two.jpg", "<2@w>", uuencode("two.jpg", jpg));
    post("alt.w", 3, "three", "<3@w>", "x\n");
    m_options.noOverview = true;
    // CAPABILITIES, GROUP, HEAD 1, BODY 1, NEXT, HEAD 2, BODY 2; no second NEXT
    m_options.silentAfter = 7;
    startServer();
    ReaderPool& readers = pool(1);
    GroupTable table;
    table.add(group("alt.w"));
    startRun(readers, table);
    ASSERT_TRUE(waitFor([&] { return countCommands("NEXT") == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    readers.stopAll();
    EXPECT_EQ(newsFile("alt.w", "two.jpg"), jpg);
    EXPECT_EQ(m_dir.read("data/alt.w/Last"), "2");
}

// Through the overview all five articles of each group are asked for at once.
TEST_P(ReadPathThreads, StopAllWhileReadersWaitForABodyReturnsWithinASecond) {
    for (int n = 1; n <= 5; ++n) {
        post("alt.s1", n, "one", "<" + std::to_string(n) + "@s1>", "x\n");
        post("alt.s2", n, "two", "<" + std::to_string(n) + "@s2>", "x\n");
    }
    // CAPABILITIES, GROUP and HEAD 1 (or LISTGROUP and OVER) are answered, the article
    // never is.
    m_options.silentAfter = walk() ? 3 : 4;
    startServer();
    ReaderPool& readers = pool(2);
    GroupTable table;
    table.add(group("alt.s1"));
    table.add(group("alt.s2"));
    startRun(readers, table);
    ASSERT_TRUE(waitFor([&] { return fetches(1) == 2; }));
    if (!walk()) {
        ASSERT_TRUE(waitFor([&] { return countCommands("ARTICLE 5") == 2; })) << "all in flight";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    const auto start = Clock::now();
    readers.stopAll();
    const auto took = Clock::now() - start;

    EXPECT_LT(took, std::chrono::milliseconds(1200));
    EXPECT_EQ(readers.runningReaders(), 0);
    EXPECT_TRUE(readers.stopped());
    EXPECT_EQ(m_frontend.runsFinished(), 0) << "a stopped run is not a finished one";
    const auto lines = m_frontend.logLines();
    int aborted = 0, closed = 0;
    for (const std::string& line : lines) {
        if (line == "Abort action. - " || line == "Abort reading news. - ") ++aborted;
        if (line == "Connection to NNTP server closed...") {
            EXPECT_GT(aborted, closed) << "closed before its abort was logged";
            ++closed;
        }
    }
    EXPECT_EQ(aborted, 2);
    EXPECT_EQ(closed, 2);
    for (const char* name : {"alt.s1", "alt.s2"}) {
        EXPECT_EQ(m_dir.read("data/" + std::string(name) + "/1"), "<missing>");
        EXPECT_FALSE(group(name).has(Finished));
        EXPECT_EQ(m_dir.read("data/" + std::string(name) + "/Last"), "0")
            << "the next run starts at the article cut off";
    }
    std::lock_guard lock(DecodeLock);
    EXPECT_EQ(settings().messageIds.contains("<1@s1>"), 0);
}

TEST_F(ReaderPoolThreads, AGroupSelectedDuringARunStartsAnIdleReader) {
    for (int i = 1; i <= 6; ++i) post("alt.slow", i, "s", "<s" + std::to_string(i) + "@x>", "x\n");
    post("alt.late", 1, "late.jpg", "<late@x>", uuencode("late.jpg", "late"));
    m_options.lineDelayMs = 40;
    startServer();
    ReaderPool& readers = pool(2);
    GroupTable first;
    first.add(group("alt.slow"));
    startRun(readers, first);
    ASSERT_TRUE(waitFor([&] { return countCommands("GROUP alt.slow") >= 1; }));
    // The reader without a group of its own runs too: it helps with alt.slow.
    EXPECT_EQ(readers.runningReaders(), 2);

    // The busy reader's place goes to the group it has; the new one to the other reader.
    GroupTable more;
    more.add(group("alt.late"));
    more.add(group("alt.slow"));
    readers.distribute(more);
    EXPECT_EQ(readers.reader(1).state.load(), WorkerRecord::Running);

    ASSERT_TRUE(waitFor([&] { return m_frontend.runsFinished() == 1; }));
    readers.stopAll();
    EXPECT_EQ(newsFile("alt.late", "late.jpg"), "late");
    EXPECT_TRUE(group("alt.slow").has(Finished));
    EXPECT_EQ(m_frontend.runsFinished(), 1);
}

// More readers with groups than the account allows connections: the server's refusal of one
// more is taken as the cap for the run (one log line, no message box, no failure), the reader
// refused waits for a place, and every group is read whole, every article once. With the cap
// set, no more connections are even tried.
TEST_F(ReaderPoolThreads, ARefusalBeyondTheAccountsConnectionsIsTheCapAndTheCapIsRespected) {
    constexpr int Articles = 12;
    const std::vector<std::string> groups = {"alt.cap.one", "alt.cap.two", "alt.cap.three"};
    for (const std::string& name : groups)
        for (int i = 1; i <= Articles; ++i) {
            const std::string file = name + "." + std::to_string(i) + ".jpg";
            post(name, i, file, "<" + file + "@x>",
                 uuencode(file, pictureBytes(3000, static_cast<unsigned>(i))));
        }
    m_options.maxConnections = 2;
    m_options.latencyMs = 20;  // the first two hold their connections while the third asks
    startServer();
    ASSERT_TRUE(runGroupsToEnd(4, {"alt.cap.one", "alt.cap.two", "alt.cap.three"}));
    for (const std::string& name : groups) {
        EXPECT_EQ(m_dir.read("data/" + name + "/Last"), std::to_string(Articles)) << name;
        for (int i = 1; i <= Articles; ++i)
            EXPECT_EQ(newsFile(name, name + "." + std::to_string(i) + ".jpg"),
                      pictureBytes(3000, static_cast<unsigned>(i)))
                << name << " " << i;
    }
    for (int i = 1; i <= Articles; ++i) EXPECT_EQ(fetches(i), 3) << "once in each group";
    EXPECT_GE(m_server->connectionsRefused(), 1);
    int capLines = 0;
    for (const std::string& line : m_frontend.logLines())
        capLines += line == "127.0.0.1 refused a connection beyond 2: this run uses 2 connections";
    EXPECT_EQ(capLines, 1);
    EXPECT_EQ(m_frontend.messages(), std::vector<std::string>{});
    EXPECT_EQ(m_pool->runFailures(), std::vector<std::string>{});

    // "Connections" 1: one connection, however many readers.
    for (int i = Articles + 1; i <= Articles + 20; ++i)
        post("alt.cap.one", i, "q.txt", "<q" + std::to_string(i) + "@x>", "text\n");
    settings().currentServer()->connections = 1;
    const int accepted = m_server->connectionsAccepted();
    const int refused = m_server->connectionsRefused();
    group("alt.cap.one").clear(Finished);
    ASSERT_TRUE(runGroupsToEnd(4, {"alt.cap.one"}));
    EXPECT_EQ(m_server->connectionsAccepted() - accepted, 1);
    EXPECT_EQ(m_server->connectionsRefused(), refused);
    EXPECT_EQ(m_dir.read("data/alt.cap.one/Last"), std::to_string(Articles + 20));
}

}  // namespace
}  // namespace qm::test
