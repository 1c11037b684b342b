// SPDX-License-Identifier: GPL-3.0-or-later
// Reading through the overview with many articles in flight, against the fixture news
// server: the same results as the walk, where a never-read group starts, what a dropped
// connection, a position whose article is gone and a full disk leave behind, and what the
// server's capabilities choose.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>

#include "newsserver/spoolmaker.h"
#include "nntp/enginefixture.h"
#include "platform/paths.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;

// What a run leaves in a data folder, minus what may differ from one run to the next (the
// time stamps of the picture lists).
struct Outcome {
    std::map<std::string, std::string> files;  // group/name -> content
    std::map<std::string, std::string> lists;  // group -> data.lst without dates
    std::map<std::string, std::string> last;   // group -> "Last"
    std::string messageIds;                    // "MSGLIST"

    bool operator==(const Outcome&) const = default;
};

std::string withoutDates(const std::string& list) {
    std::istringstream in(list);
    std::string line, out;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() > 2) fields.erase(fields.begin() + 2);
        for (const std::string& field : fields) out += field + "|";
        out += "\n";
    }
    return out;
}

class OverviewRetrievalThreads : public EngineTest {
  protected:
    // Settings on a data folder of their own (new group records, no picture list in
    // memory), so a second run starts as a first one would.
    void useDataFolder(const std::string& name) {
        m_pool.reset();
        m_settings = std::make_unique<AppSettings>(m_frontend, m_profile);
        m_settings->browserLookup = [] { return std::string("/bin/true"); };
        m_settings->freeSpaceProbe = [](const std::string&) { return std::int64_t{1} << 30; };
        m_settings->loadSettings();
        m_settings->dataDirectory = m_dir.file(name);
        m_settings->messageIds.setDirectory(m_settings->dataDirectory);
        m_hook = std::make_unique<CatalogHook>(*m_settings);
        m_decoder = std::make_unique<Decoder>();
        m_decoder->setSink(m_hook.get());
        if (m_server) m_settings->useServerText("127.0.0.1 " + std::to_string(m_server->port()));
    }

    Outcome outcome(std::initializer_list<std::string_view> groups) const {
        Outcome o;
        const std::string data = m_settings->dataDirectory;
        for (std::string_view name : groups) {
            const std::string group(name);
            const std::string news = data + "/" + group + "/news.dat";
            if (fs::is_directory(news))
                for (const auto& entry : fs::directory_iterator(news))
                    o.files[group + "/" + entry.path().filename().string()] =
                        readWholeFile(entry.path().string()).value_or("?");
            o.lists[group] =
                withoutDates(readWholeFile(data + "/" + group + "/data.lst").value_or(""));
            o.last[group] = readWholeFile(data + "/" + group + "/Last").value_or("<none>");
        }
        o.messageIds = readWholeFile(data + "/MSGLIST").value_or("<none>");
        return o;
    }

    // The article numbers asked for, as BODY or ARTICLE, in order.
    std::vector<std::int64_t> fetched() const {
        std::vector<std::int64_t> numbers;
        for (const std::string& line : m_server->commands()) {
            const auto blank = line.find(' ');
            const std::string word = line.substr(0, blank);
            if (word == "BODY" || word == "ARTICLE")
                numbers.push_back(std::stoll(line.substr(blank)));
        }
        return numbers;
    }

    newsd::SpoolPlan plan(std::string_view group, std::uint64_t articles) const {
        newsd::SpoolPlan p;
        p.spoolDir = m_options.spool;
        p.group = std::string(group);
        p.articles = articles;
        p.pictureEvery = 10;
        p.pictureBytes = 2000;
        return p;
    }
};

// A mix of what a picture group holds, read article by article and through the overview
// into two data folders: the same files, picture lists, positions and message-id history.
TEST_F(OverviewRetrievalThreads, OverviewAndWalkGiveTheSameFilesListsAndPositions) {
    const std::string a = pictureBytes(3000, 1), b = pictureBytes(5000, 2);
    const std::string split = uuencode("split.jpg", pictureBytes(4000, 3));
    const std::size_t half = split.find('\n', split.size() / 2) + 1;
    auto lines = [](std::string_view body) {
        return "Lines: " + std::to_string(std::count(body.begin(), body.end(), '\n')) + "\n";
    };
    auto put = [&](std::string_view group, int n, std::string_view subject, std::string_view id,
                   const std::string& body) { post(group, n, subject, id, body, lines(body)); };
    put("alt.mix", 1, "a.jpg (1/1)", "<1@mix>", uuencode("a.jpg", a));
    put("alt.mix", 2, "hello", "<2@mix>", "just text\nand more\nand more\nand more\n");
    put("alt.mix", 3, "tiny", "<3@mix>", "x\n");
    put("alt.mix", 4, "buy spam.jpg", "<4@mix>", uuencode("spam.jpg", b));
    put("alt.mix", 6, "split.jpg (1/2)", "<6@mix>", split.substr(0, half));
    put("alt.mix", 7, "b.jpg", "<7@mix>", uuencode("b.jpg", b));
    put("alt.mix", 8, "split.jpg (2/2)", "<8@mix>", split.substr(half));
    put("alt.mix", 9, "a.jpg again", "<1@mix>", uuencode("a.jpg", a));  // the same id
    put("alt.more", 1, "cross.jpg", "<7@mix>", uuencode("b.jpg", b));   // cross-posted
    put("alt.more", 2, "c.jpg", "<2@more>", uuencode("c.jpg", pictureBytes(2500, 4)));
    startServer();
    auto run = [&](bool walk) {
        useDataFolder(walk ? "walk" : "overview");
        settings().skipShort = 1;
        settings().skipLimit = 2;
        EXPECT_FALSE(settings().setKillPattern("spam"));
        m_options.noOverview = walk;  // read by the next connections
        m_server.reset();
        startServer();
        EXPECT_TRUE(runGroupsToEnd(1, {"alt.more", "alt.mix"}));
        return outcome({"alt.mix", "alt.more"});
    };
    const Outcome walked = run(true);
    EXPECT_EQ(countCommands("OVER 1-9"), 0);
    const Outcome read = run(false);
    EXPECT_EQ(countCommands("OVER 1-9"), 1) << "the overview was used";
    EXPECT_EQ(read, walked);
    EXPECT_EQ(read.files.size(), 4u) << "a, b, split and c";
    EXPECT_EQ(read.last.at("alt.mix"), "9");
    EXPECT_EQ(read.last.at("alt.more"), "2");
    EXPECT_TRUE(m_frontend.logContains("Skip short article  tiny"));
    EXPECT_TRUE(m_frontend.logContains("Exclude  buy spam.jpg"));
}

TEST_F(OverviewRetrievalThreads, AFirstVisitReadsExactlyTheNewestArticles) {
    newsd::makeSpool(plan("alt.big", 3000));
    startServer();
    for (bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "walk" : "overview");
        useDataFolder(walk ? "walk" : "overview");
        settings().firstVisit = 100;
        m_options.noOverview = walk;
        m_server.reset();
        startServer();
        ASSERT_TRUE(runGroupsToEnd(1, {"alt.big"}));
        const std::vector<std::int64_t> numbers = fetched();
        ASSERT_EQ(numbers.size(), 100u);
        EXPECT_EQ(*std::min_element(numbers.begin(), numbers.end()), 2901);
        EXPECT_EQ(m_dir.read((walk ? "walk" : "overview") + std::string("/alt.big/Last")), "3000");
        EXPECT_EQ(outcome({"alt.big"}).files.size(), 10u) << "every 10th is a picture";
    }
    EXPECT_TRUE(
        m_frontend.logContains("alt.big: first visit, the newest 100 articles start at 2901"));
}

// 240 articles an hour apart, the first ten days ago (and half an hour): the last three
// days are the 72 newest. Found with HDR Date, with the overview, and by STAT and HEAD on a
// server without either, in about log2(240) probes.
TEST_F(OverviewRetrievalThreads, FirstVisitDaysStartsAtTheFirstRecentArticle) {
    newsd::SpoolPlan dated = plan("alt.dated", 240);
    dated.startTime = std::time(nullptr) - 10 * 86400 + 1800;
    dated.stepSeconds = 3600;
    newsd::makeSpool(dated);
    struct Case {
        const char* name;
        bool noOverview;
        bool hdr;
    };
    for (Case c : {Case{"hdr", false, true}, Case{"walk", true, false}}) {
        SCOPED_TRACE(c.name);
        m_options.noOverview = c.noOverview;
        m_server.reset();
        startServer();
        useDataFolder(c.name);
        settings().firstVisitDays = 3;
        ASSERT_TRUE(runGroupsToEnd(1, {"alt.dated"}));
        const std::vector<std::int64_t> numbers = fetched();
        ASSERT_EQ(numbers.size(), 72u);
        EXPECT_EQ(*std::min_element(numbers.begin(), numbers.end()), 169);
        int probes = 0;
        for (const std::string& line : m_server->commands())
            probes += line.starts_with(c.hdr ? "HDR Date " : "STAT ");
        EXPECT_GT(probes, 0);
        EXPECT_LE(probes, c.hdr ? 12 : 12 * 16) << "a binary search, not a scan";
    }
}

// The server hangs up in the middle of an article with a hundred more asked for: nothing
// after the last article decoded counts as read, and the next run fetches exactly the rest.
TEST_F(OverviewRetrievalThreads, AConnectionDroppedWithCommandsInFlightLosesNothing) {
    for (int n = 1; n <= 60; ++n) {
        const bool picture = n % 3 == 0;
        const std::string name = "p" + std::to_string(n) + ".jpg";
        post("alt.drop", n, picture ? name : "text", "<" + std::to_string(n) + "@drop>",
             picture ? uuencode(name, pictureBytes(n == 30 ? 20000 : 1000, n)) : "x\n");
    }
    m_options.cutBodyAfter = 100;  // article 30 is cut; the smaller ones pass
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.drop"}));
    EXPECT_EQ(m_dir.read("data/alt.drop/Last"), "29");
    EXPECT_EQ(newsFile("alt.drop", "p30.jpg"), "<missing>");
    EXPECT_EQ(newsFile("alt.drop", "p27.jpg"), pictureBytes(1000, 27));
    {
        std::lock_guard lock(DecodeLock);
        EXPECT_EQ(settings().messageIds.contains("<29@drop>"), 1);
        EXPECT_EQ(settings().messageIds.contains("<30@drop>"), 0);
        EXPECT_EQ(settings().messageIds.contains("<31@drop>"), 0);
    }

    m_options.cutBodyAfter.reset();
    m_server.reset();
    startServer();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.drop"}));
    const std::vector<std::int64_t> again = fetched();
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again.front(), 30) << "nothing before the article cut off is asked again";
    EXPECT_EQ(again.size(), 31u);
    for (int n = 3; n <= 60; n += 3) {
        const std::string name = "p" + std::to_string(n) + ".jpg";
        EXPECT_EQ(newsFile("alt.drop", name), pictureBytes(n == 30 ? 20000 : 1000, n)) << name;
        EXPECT_EQ(newsFile("alt.drop", "1_" + name), "<missing>") << "decoded twice: " << name;
    }
    EXPECT_EQ(m_dir.read("data/alt.drop/Last"), "60");
}

// The article at the saved position was cancelled, and the ones after it up to 39: both
// ways go on with 40, never back near the group's first article.
TEST_F(OverviewRetrievalThreads, APositionWhoseArticleIsGoneGoesOnAfterIt) {
    for (int n : {1, 2, 3, 4, 40, 41, 42})
        post("alt.gone", n, "s" + std::to_string(n), "<" + std::to_string(n) + "@gone>", "x\n");
    for (bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "walk" : "overview");
        m_options.noOverview = walk;
        m_server.reset();
        startServer();
        useDataFolder(walk ? "walk" : "overview");
        m_dir.write((walk ? "walk" : "overview") + std::string("/alt.gone/Last"), "5");
        ASSERT_TRUE(runGroupsToEnd(1, {"alt.gone"}));
        EXPECT_EQ(fetched(), (std::vector<std::int64_t>{40, 41, 42}));
        EXPECT_EQ(m_dir.read((walk ? "walk" : "overview") + std::string("/alt.gone/Last")), "42");
    }
}

// A server that lists no capabilities is asked XOVER once per connection, whatever it
// answers: used when it knows it, else the walk.
TEST_F(OverviewRetrievalThreads, AServerThatListsNothingIsAskedXoverOnce) {
    for (int n = 1; n <= 3; ++n) {
        post("alt.x1", n, "a", "<a" + std::to_string(n) + "@x>", "x\n");
        post("alt.x2", n, "b", "<b" + std::to_string(n) + "@x>", "x\n");
    }
    m_options.noCapabilities = true;
    for (bool overview : {true, false}) {
        SCOPED_TRACE(overview ? "XOVER known" : "no overview");
        m_options.noOverview = !overview;
        m_server.reset();
        startServer();
        useDataFolder(overview ? "xover" : "none");
        ASSERT_TRUE(runGroupsToEnd(1, {"alt.x1", "alt.x2"}));
        int xover = 0;
        for (const std::string& line : m_server->commands()) xover += line.starts_with("XOVER ");
        EXPECT_EQ(xover, overview ? 2 : 1);
        EXPECT_EQ(countCommands("ARTICLE 3"), overview ? 2 : 0);
        EXPECT_EQ(countCommands("BODY 3"), overview ? 0 : 2);
    }
}

// COMPRESS DEFLATE where the setting asks for it: the same files, and the group's log.
TEST_F(OverviewRetrievalThreads, ACompressedConnectionGivesTheSameFiles) {
    newsd::makeSpool(plan("alt.z", 200));
    startServer();
    std::optional<Outcome> plain;
    for (int compress : {0, 1}) {
        SCOPED_TRACE(compress);
        useDataFolder(compress ? "compressed" : "plain");
        settings().compress = compress;
        m_server->clearCommands();
        ASSERT_TRUE(runGroupsToEnd(1, {"alt.z"}));
        EXPECT_EQ(countCommands("COMPRESS DEFLATE"), compress);
        Outcome o = outcome({"alt.z"});
        EXPECT_EQ(o.files.size(), 20u);
        if (plain) {
            EXPECT_EQ(o, *plain);
        }
        plain = o;
    }
}

// The data folder on a small file system: the first picture that does not fit stops the run
// with its reason, is neither recorded nor passed over, and the next run (with room again)
// completes the set with no picture twice.
TEST_F(OverviewRetrievalThreads, AFullDiskStopsTheRunAndLosesNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    const std::string mount = m_dir.file("small");
    ASSERT_EQ(makeDirectories(mount), 0);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{mount};
    for (int n = 1; n <= 12; ++n) {
        const std::string name = "f" + std::to_string(n) + ".jpg";
        post("alt.full", n, name, "<" + std::to_string(n) + "@full>",
             uuencode(name, pictureBytes(150000, n)));
    }
    startServer();
    useDataFolder("small/data");
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.full"}));
    ASSERT_EQ(m_pool->runFailures().size(), 1u);
    EXPECT_NE(m_pool->runFailures()[0].find("No space left on device"), std::string::npos)
        << m_pool->runFailures()[0];
    EXPECT_TRUE(m_frontend.logContains("Retrieval stopped - the disk is full"));
    const std::int64_t last = std::stoll(m_dir.read("small/data/alt.full/Last"));
    ASSERT_GE(last, 1);
    ASSERT_LT(last, 12) << "the disk held them all";
    for (int n = 1; n <= 12; ++n) {
        const std::string name = "f" + std::to_string(n) + ".jpg";
        const std::string file = m_dir.read("small/data/alt.full/news.dat/" + name);
        if (n <= last) {
            EXPECT_EQ(file, pictureBytes(150000, n)) << name;
        } else if (n == last + 1) {
            EXPECT_EQ(file, "<missing>") << name;
        }
        std::lock_guard lock(DecodeLock);
        EXPECT_EQ(settings().messageIds.contains("<" + std::to_string(n) + "@full>"),
                  n <= last ? 1 : 0)
            << n;
    }

    ASSERT_EQ(
        ::mount("tmpfs", mount.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV, "size=8m"), 0)
        << std::strerror(errno);
    m_server->clearCommands();
    ASSERT_TRUE(runGroupsToEnd(1, {"alt.full"}));
    EXPECT_TRUE(m_pool->runFailures().empty());
    EXPECT_EQ(fetched().front(), last + 1);
    for (int n = 1; n <= 12; ++n) {
        const std::string name = "f" + std::to_string(n) + ".jpg";
        EXPECT_EQ(m_dir.read("small/data/alt.full/news.dat/" + name), pictureBytes(150000, n));
        EXPECT_EQ(m_dir.read("small/data/alt.full/news.dat/1_" + name), "<missing>");
    }
    EXPECT_EQ(m_dir.read("small/data/alt.full/Last"), "12");
}

}  // namespace
}  // namespace qm::test
