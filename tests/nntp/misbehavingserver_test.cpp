// SPDX-License-Identifier: GPL-3.0-or-later
// A run against a server that misbehaves, then one more against the same articles served
// well: every article is fetched once and decoded once, "Last" ends at the group's last
// article, and a run that left an article undealt says so instead of ending as a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "nntp/enginefixture.h"

namespace qm::test {
namespace {

constexpr const char* Group = "alt.mis";
constexpr std::int64_t Max = std::numeric_limits<std::int64_t>::max();

std::vector<std::int64_t> range(std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> numbers;
    for (std::int64_t n = first; n <= last; ++n) numbers.push_back(n);
    return numbers;
}

std::string pictureName(std::int64_t n) {
    return "p" + std::to_string(n) + ".jpg";
}

std::string pictureOf(std::int64_t n) {
    return pictureBytes(200, static_cast<unsigned>(n % 251));
}

class MisbehavingServerThreads : public EngineTest {
  protected:
    void postArticles(const std::vector<std::int64_t>& numbers) {
        for (std::int64_t n : numbers)
            post(Group, static_cast<std::uint64_t>(n), pictureName(n),
                 "<" + std::to_string(n) + "@mis>", uuencode(pictureName(n), pictureOf(n)));
    }

    // The program started again on the same data folder: the group's flags and counters
    // begin afresh, the message-id history is read back.
    void restart() {
        m_pool.reset();
        m_settings = std::make_unique<AppSettings>(m_frontend, m_profile);
        m_settings->browserLookup = [] { return std::string("/bin/true"); };
        m_settings->freeSpaceProbe = [](const std::string&) { return std::int64_t{1} << 30; };
        m_settings->loadSettings();
        m_settings->dataDirectory = m_dir.file("data");
        m_settings->messageIds.setDirectory(m_settings->dataDirectory);
        (void)m_settings->messageIds.load();
        m_settings->firstVisit = m_firstVisit;
        m_hook = std::make_unique<CatalogHook>(*m_settings);
        m_decoder = std::make_unique<Decoder>();
        m_decoder->setSink(m_hook.get());
    }

    struct RunResult {
        std::vector<std::string> failures;
        int duplicates = 0;
    };

    // One run of the program (started anew) against a server with these options; the
    // server's commands are kept.
    RunResult run(const newsd::NewsServerOptions& options) {
        if (m_server) keep();
        m_options = options;
        m_options.spool = m_dir.file("spool");
        startServer();
        restart();
        m_settings->useServerText("127.0.0.1 " + std::to_string(m_server->port()));
        EXPECT_TRUE(runGroupsToEnd(1, {Group}));
        RunResult result{m_pool->runFailures(), group(Group).ensureStats().duplicates.load()};
        keep();
        return result;
    }

    // The ARTICLE and BODY commands the server answered (a 480 answers nothing) by number.
    void keep() {
        const std::vector<std::string> commands = m_server->commands();
        std::size_t refusedUntil = 0;  // with a login asked midway: the commands before it
        if (m_options.authUser && m_options.loginAfter) {
            const auto login = std::find(commands.begin(), commands.end(), "AUTHINFO USER reader");
            refusedUntil = static_cast<std::size_t>(login - commands.begin());
        }
        for (std::size_t i = 0; i < commands.size(); ++i) {
            const std::string& line = commands[i];
            const bool refused =
                m_options.loginAfter && i >= *m_options.loginAfter && i < refusedUntil;
            if (!refused && (line.starts_with("ARTICLE ") || line.starts_with("BODY ")))
                ++m_fetched[std::stoll(line.substr(line.find(' ') + 1))];
            if (line.starts_with("OVER ")) ++m_overviews;
        }
        m_server.reset();
    }

    std::map<std::int64_t, int> m_fetched;
    int m_overviews = 0;
    int m_firstVisit = 0;  // a group is read from its first article
};

struct Case {
    const char* name;
    std::function<void(newsd::NewsServerOptions&)> fault;
    std::vector<std::int64_t> articles = range(1, 40);
    std::int64_t faulted = 0;  // the article the server answered for wrongly (0: none)
    int maxOverviews = 0;      // more OVER commands than this over both runs: a slow crossing
    int minOverviews = 0;      // fewer: a window held more overview than its byte budget
    // Articles the second run skips as retrieved: those after the one answered wrongly, which
    // the overview fetched in the first run (the walk stops the group at it); -1: not checked.
    std::int64_t duplicates = -1;
    const char* logged = nullptr;  // a log line the first run writes
};

// Every misbehaviour, each with and without the helps a server may lack (LISTGROUP, the
// overview), then a run against the well-behaved server.
TEST_F(MisbehavingServerThreads, EveryArticleIsFetchedOnceAndLastIsRightAfterEachFault) {
    using O = newsd::NewsServerOptions;
    const std::int64_t far = std::int64_t{1} << 62;
    const std::vector<Case> cases = {
        {"holes",
         [](O& o) {
             o.overOmit = {3, 17, 40};
         },
         range(1, 40), 0, 0, 0, -1,
         "alt.mis: the overview of 1-40 left out 3 numbers; asked for directly"},
        {"holes, no LISTGROUP",
         [](O& o) {
             o.overOmit = {3, 17, 40}, o.noListGroup = true;
         }},
        {"lagging", [](O& o) { o.overLag = 5; }},
        {"lagging, no LISTGROUP", [](O& o) { o.overLag = 5, o.noListGroup = true; }},
        {"descending", [](O& o) { o.overOrder = O::OverOrder::Descending; }},
        {"swapped", [](O& o) { o.overOrder = O::OverOrder::Swapped; }},
        {"empty", [](O& o) { o.overEmpty = true; }},
        {"empty, no LISTGROUP", [](O& o) { o.overEmpty = true, o.noListGroup = true; }},
        {"duplicated", [](O& o) { o.overRepeat = true; }},
        {"long lines", [](O& o) { o.overLineBytes = 64 * 1024; }, range(1, 100), 0, 0, 2},
        {"another number", [](O& o) { o.wrongNumber = 5; }, range(1, 40), 5, 0, 0, 35},
        {"another id", [](O& o) { o.wrongId = 5; }, range(1, 40), 5, 0, 0, 35},
        {"another header", [](O& o) { o.wrongHeader = 5; }, range(1, 40), 5, 0, 0, 35},
        {"walk, another id", [](O& o) { o.wrongId = 5, o.noOverview = true; }, range(1, 40), 5},
        {"walk, another number", [](O& o) { o.wrongNumber = 5, o.noOverview = true; }, range(1, 40),
         5},
        {"no ids in replies", [](O& o) { o.bareIds = true; }},
        {"walk, no ids in replies", [](O& o) { o.bareIds = true, o.noOverview = true; }},
        {"login midway",
         [](O& o) { o.authUser = "reader", o.authPassword = "pw", o.loginAfter = 8; }},
        {"a gap of 2,000,000", [](O&) {},
         [] {
             auto a = range(1, 20);
             for (std::int64_t n : range(2'000'021, 2'000'040)) a.push_back(n);
             return a;
         }(),
         0, 6},
        {"a range to 2^63-1", [](O&) {}, {1, 2, 3, far, far + 1, Max - 1, Max}, 0, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_dir.file("spool"));
        std::filesystem::remove_all(m_dir.file("data"));
        m_fetched.clear();
        m_overviews = 0;
        postArticles(c.articles);
        O fault;
        c.fault(fault);
        if (fault.authUser) m_frontend.queueCredentials(Credentials{"reader", "pw"});

        m_frontend.clear();
        const RunResult first = run(fault);
        if (c.logged) {
            EXPECT_TRUE(m_frontend.logContains(c.logged)) << c.logged;
        }
        EXPECT_EQ(first.failures.empty(), c.faulted == 0)
            << ::testing::PrintToString(first.failures);
        const RunResult second = run(O{});
        EXPECT_TRUE(second.failures.empty()) << ::testing::PrintToString(second.failures);

        for (std::int64_t n : c.articles) {
            if (n == c.faulted) {
                EXPECT_GE(m_fetched[n], 1) << n;
                EXPECT_LE(m_fetched[n], 2) << n;
            } else {
                EXPECT_EQ(m_fetched[n], 1) << n;
            }
            EXPECT_EQ(newsFile(Group, pictureName(n)), pictureOf(n)) << n;
            EXPECT_EQ(newsFile(Group, "1_" + pictureName(n)), "<missing>")
                << "decoded twice: " << n;
        }
        // Where the server lists its articles, no number without one is asked for.
        if (!fault.noListGroup) {
            EXPECT_EQ(m_fetched.size(), c.articles.size());
        }
        EXPECT_EQ(m_dir.read("data/" + std::string(Group) + "/Last"),
                  std::to_string(c.articles.back()));
        if (c.maxOverviews > 0) {
            EXPECT_LE(m_overviews, c.maxOverviews);
        }
        EXPECT_GE(m_overviews, c.minOverviews);
        if (c.duplicates >= 0) {
            EXPECT_EQ(second.duplicates, c.duplicates);
        }
    }
}

// The server's range falls below the position (a backend that lags): the position stays and
// nothing is read again. Numbered anew (the newest articles never retrieved): the group
// starts as on a first visit, with its newest articles, not with its first.
TEST_F(MisbehavingServerThreads, ARangeBelowThePositionKeepsItUnlessTheGroupWasRenumbered) {
    using O = newsd::NewsServerOptions;
    for (bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "walk" : "overview");
        std::filesystem::remove_all(m_dir.file("spool"));
        std::filesystem::remove_all(m_dir.file("data"));
        m_fetched.clear();
        m_firstVisit = 0;
        O good;
        good.noOverview = walk;
        postArticles(range(1, 30));
        EXPECT_TRUE(run(good).failures.empty());
        O lagging = good;
        lagging.hideAbove = 20;
        const std::map<std::int64_t, int> before = m_fetched;
        m_frontend.clear();
        EXPECT_TRUE(run(lagging).failures.empty());
        EXPECT_EQ(m_dir.read("data/alt.mis/Last"), "30");
        EXPECT_EQ(m_fetched, before);
        EXPECT_TRUE(
            m_frontend.logContains("alt.mis: the server's last article 20 is below the "
                                   "reading position 30; the position is kept"));
        postArticles(range(31, 35));
        EXPECT_TRUE(run(good).failures.empty());
        std::map<std::int64_t, int> once;
        for (std::int64_t n = 1; n <= 35; ++n) once[n] = 1;
        EXPECT_EQ(m_fetched, once);

        std::filesystem::remove_all(m_dir.file("spool"));
        for (std::int64_t n = 1; n <= 12; ++n)
            post(Group, static_cast<std::uint64_t>(n), "r.jpg", "<r" + std::to_string(n) + "@mis>",
                 uuencode("r" + std::to_string(n) + ".jpg", pictureOf(n + 100)));
        m_fetched.clear();
        m_firstVisit = 5;
        EXPECT_TRUE(run(good).failures.empty());
        EXPECT_EQ(m_fetched,
                  (std::map<std::int64_t, int>{{8, 1}, {9, 1}, {10, 1}, {11, 1}, {12, 1}}));
        EXPECT_EQ(m_dir.read("data/alt.mis/Last"), "12");
    }
}

// "First visit" 30 in a group whose every other number holds no article: the newest 30
// articles, through the overview and through the walk.
TEST_F(MisbehavingServerThreads, AFirstVisitReadsTheNewestArticlesNotTheNewestNumbers) {
    using O = newsd::NewsServerOptions;
    std::vector<std::int64_t> even;
    for (std::int64_t n = 2; n <= 200; n += 2) even.push_back(n);
    postArticles(even);
    m_firstVisit = 30;
    for (bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "walk" : "overview");
        std::filesystem::remove_all(m_dir.file("data"));
        m_fetched.clear();
        O options;
        options.noOverview = walk;
        EXPECT_TRUE(run(options).failures.empty());
        ASSERT_EQ(m_fetched.size(), 30u);
        EXPECT_EQ(m_fetched.begin()->first, 142);
        EXPECT_EQ(m_dir.read("data/alt.mis/Last"), "200");
    }
}

}  // namespace
}  // namespace qm::test
