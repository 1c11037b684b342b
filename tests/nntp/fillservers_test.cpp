// SPDX-License-Identifier: GPL-3.0-or-later
// Fill servers: what the main server lacks is asked of them by message-id, and only that;
// one that is down or refuses the login costs a log line, not the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "config/serverentry.h"
#include "nntp/enginefixture.h"
#include "nntp/fillservers.h"
#include "nntp/serverprobe.h"

namespace qm::test {
namespace {

class FillServersThreads : public EngineTest {
  protected:
    // Settings on a data folder of their own, so that a second run starts as a first would.
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
    }
    // A second server on the same spool: the same group, complete.
    newsd::NewsServer& startFill(newsd::NewsServerOptions options, int level = 1) {
        auto& server = *m_fills.emplace_back(std::make_unique<newsd::NewsServer>(options));
        server.start();
        addFill(server.port(), level);
        return server;
    }
    ServerEntry& addFill(int port, int level) {
        ServerEntry& entry = *settings().servers[settings().addServerPort("127.0.0.1", port)];
        entry.role = ServerRole::Fill;
        entry.level = level;
        return entry;
    }
    static std::vector<std::string> articleCommands(const newsd::NewsServer& server) {
        std::vector<std::string> found;
        for (const std::string& line : server.commands())
            if (line.starts_with("ARTICLE") || line.starts_with("BODY") ||
                line.starts_with("HEAD") || line.starts_with("GROUP") || line.starts_with("OVER") ||
                line.starts_with("XOVER"))
                found.push_back(line);
        std::sort(found.begin(), found.end());
        return found;
    }
    int logCount(std::string_view part) const {
        const auto lines = m_frontend.logLines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.find(part) != std::string::npos;
        }));
    }

    std::vector<std::unique_ptr<newsd::NewsServer>> m_fills;
};

std::string id(int n) {
    return "<" + std::to_string(n) + "@fill>";
}

TEST_F(FillServersThreads, WhatTheMainServerLacksComesFromTheFillServerAndOnlyThat) {
    // 40 articles: 34 pictures, a two-part yEnc set and a uuencoded split post.
    std::map<std::string, std::string> pictures;
    for (int n = 1; n <= 34; ++n) {
        const std::string name = "p" + std::to_string(n) + ".jpg";
        pictures[name] = pictureBytes(2000 + 37 * static_cast<std::size_t>(n), n);
        post("alt.fill", n, name, id(n), uuencode(name, pictures[name]));
    }
    pictures["set.jpg"] = pictureBytes(9000, 77);
    post("alt.fill", 35, "set.jpg (1/2)", id(35), yencHalf(pictures["set.jpg"], "set.jpg", 1));
    post("alt.fill", 36, "set.jpg (2/2)", id(36), yencHalf(pictures["set.jpg"], "set.jpg", 2));
    pictures["split.jpg"] = pictureBytes(6000, 78);
    const std::string split = uuencode("split.jpg", pictures["split.jpg"]);
    const std::size_t half = split.find('\n', split.size() / 2) + 1;
    post("alt.fill", 37, "text", id(37), "just text\n");
    post("alt.fill", 38, "split.jpg (1/2)", id(38), split.substr(0, half));
    post("alt.fill", 39, "split.jpg (2/2)", id(39), split.substr(half));
    post("alt.fill", 40, "more text", id(40), "more text\n");
    // 10%: two pictures, a whole yEnc part and a part of the split post. (The walk learns an
    // article's message-id from NEXT only; one right after a missing one is found by STAT,
    // which a server without it refuses, so the missing ones are not neighbours.)
    const std::vector<std::uint64_t> missing{5, 21, 36, 39};

    for (bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "walk" : "overview");
        m_fills.clear();
        useDataFolder(walk ? "walk" : "overview");
        m_options.noOverview = walk;
        m_options.missing.clear();
        newsd::NewsServerOptions fillOptions = m_options;
        m_options.missing = missing;
        m_server.reset();
        startServer();
        newsd::NewsServer& fill = startFill(fillOptions);
        ASSERT_TRUE(runGroupsToEnd(1, {"alt.fill"}));

        const std::string data = walk ? "walk" : "overview";
        for (const auto& [name, bytes] : pictures)
            EXPECT_TRUE(m_dir.read(data + "/alt.fill/news.dat/" + name) == bytes) << name;
        std::vector<std::string> asked;
        for (std::uint64_t n : missing) asked.push_back("ARTICLE " + id(static_cast<int>(n)));
        std::sort(asked.begin(), asked.end());
        EXPECT_EQ(articleCommands(fill), asked) << "the fill server is asked for nothing else";
        const GroupStats& stats = *group("alt.fill").stats();
        EXPECT_EQ(stats.filled.load(), 4);
        EXPECT_EQ(stats.lacking.load(), 0);
        EXPECT_EQ(m_dir.read(std::string(walk ? "walk" : "overview") + "/alt.fill/Last"), "40");
    }
}

// A yEnc post failing its CRC on the main server is taken from a fill server that has it;
// one that no fill server has is decoded as before, not lost.
TEST_F(FillServersThreads, ADamagedYencPostIsReplacedBySoundCopyOrKept) {
    const std::string a = pictureBytes(4000, 5), b = pictureBytes(3000, 6);
    auto damaged = [](std::string body) {
        body[body.find("\r\n") + 10] ^= 1;  // a byte of the data
        return body;
    };
    newsd::NewsServerOptions fillOptions = m_options;
    fillOptions.spool = m_dir.file("fillspool");
    for (bool sound : {true, false})
        newsd::writeSpoolArticle(sound ? fillOptions.spool : m_options.spool, "alt.crc", 1,
                                 "Subject: a.jpg\nMessage-ID: <a@crc>",
                                 sound ? yencSingle(a, "a.jpg") : damaged(yencSingle(a, "a.jpg")));
    newsd::writeSpoolArticle(m_options.spool, "alt.crc", 2, "Subject: b.jpg\nMessage-ID: <b@crc>",
                             damaged(yencSingle(b, "b.jpg")));
    for (bool walk : {false, true}) {
        SCOPED_TRACE(walk ? "walk" : "overview");
        const std::string data = walk ? "walk" : "overview";
        useDataFolder(data);
        m_fills.clear();
        m_server.reset();
        m_options.noOverview = fillOptions.noOverview = walk;
        startServer();
        startFill(fillOptions);
        ASSERT_TRUE(runGroupsToEnd(1, {"alt.crc"}));
        EXPECT_TRUE(m_dir.read(data + "/alt.crc/news.dat/a.jpg") == a) << "the sound copy";
        const std::string kept = m_dir.read(data + "/alt.crc/news.dat/b.jpg");
        EXPECT_TRUE(kept.size() == b.size() && kept != b) << "the damaged copy, kept";
        EXPECT_EQ(articleCommands(*m_fills.back()),
                  (std::vector<std::string>{"ARTICLE <a@crc>", "ARTICLE <b@crc>"}));
        EXPECT_EQ(group("alt.crc").stats()->filled.load(), 1);
        EXPECT_EQ(group("alt.crc").stats()->lacking.load(), 0);
    }
}

TEST_F(FillServersThreads, AFillServerDownOrRefusingTheLoginCostsOneLineNotTheRun) {
    for (int n = 1; n <= 20; ++n)
        post("alt.down", n, "p" + std::to_string(n) + ".jpg", id(n),
             uuencode("p" + std::to_string(n) + ".jpg", pictureBytes(1500, n)));
    newsd::NewsServerOptions refusing = m_options;
    refusing.authUser = "user";
    refusing.authPassword = "right";
    // A split post whose second part no server can give.
    const std::string split = uuencode("split.jpg", pictureBytes(5000, 99));
    const std::size_t half = split.find('\n', split.size() / 2) + 1;
    post("alt.down", 21, "split.jpg (1/2)", id(21), split.substr(0, half));
    post("alt.down", 22, "split.jpg (2/2)", id(22), split.substr(half));
    m_options.missing = {4, 9, 15, 22};
    startServer();
    int closedPort = 0;
    {
        newsd::NewsServer gone(m_options);
        gone.start();
        closedPort = gone.port();
    }
    addFill(closedPort, 1);
    startFill(refusing, 2).port();
    ServerEntry& locked =
        *settings().servers[settings().addServerPort("127.0.0.1", m_fills.back()->port())];
    locked.setCredentials({"user", "wrong"});
    locked.setAuthFlag(1);

    ASSERT_TRUE(runGroupsToEnd(2, {"alt.down"}));
    EXPECT_EQ(logCount("Fill server 127.0.0.1:" + std::to_string(closedPort)), 1);
    EXPECT_EQ(logCount("Fill server 127.0.0.1:" + std::to_string(m_fills.back()->port())), 1);
    EXPECT_TRUE(m_frontend.messages().empty()) << "no message box for a fill server";
    EXPECT_EQ(logCount("is on no server"), 4);
    EXPECT_EQ(logCount("Still incomplete after this run: "), 1);
    EXPECT_EQ(logCount(": the parts after 1 missing"), 1);
    EXPECT_TRUE(logCount("article 9 <9@fill> is on no server (asked 127.0.0.1 " +
                         std::to_string(m_server->port()) +
                         ", 127.0.0.1:" + std::to_string(closedPort)) == 1);
    const GroupStats& stats = *group("alt.down").stats();
    EXPECT_EQ(stats.retrieved.load(), 18);
    EXPECT_EQ(stats.lacking.load(), 4);
    EXPECT_EQ(m_dir.read("data/alt.down/Last"), "22");
    EXPECT_EQ(locked.credentials().password, "wrong") << "kept for the user to correct";
}

TEST_F(FillServersThreads, WithTheMainServerDownTheFillServerIsReadOnlyWhenAllowed) {
    for (int n = 1; n <= 10; ++n)
        post("alt.backup", n, "b" + std::to_string(n) + ".jpg", id(n),
             uuencode("b" + std::to_string(n) + ".jpg", pictureBytes(1200, n)));
    int closedPort = 0;
    {
        newsd::NewsServer gone(m_options);
        gone.start();
        closedPort = gone.port();
    }
    settings().useServerText("127.0.0.1 " + std::to_string(closedPort));
    const int fillPort = startFill(m_options).port();

    ASSERT_TRUE(runGroupsToEnd(2, {"alt.backup"}));
    const std::vector<std::string> failures = m_pool->runFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("connection refused"), std::string::npos) << failures[0];
    EXPECT_EQ(articleCommands(*m_fills.back()), std::vector<std::string>());

    settings().fillWhenMainDown = 1;
    ASSERT_TRUE(runGroupsToEnd(2, {"alt.backup"}));
    EXPECT_TRUE(m_pool->runFailures().empty());
    EXPECT_EQ(
        logCount("The main server 127.0.0.1 " + std::to_string(closedPort) + " cannot be used"), 1);
    EXPECT_EQ(newsFile("alt.backup", "b10.jpg"), pictureBytes(1200, 10));
    // The fill server's numbers are its own: the main server's position is left alone.
    EXPECT_EQ(m_dir.read("data/alt.backup/Last"), "<missing>");
    EXPECT_EQ(m_dir.read("data/alt.backup/Last.127.0.0.1." + std::to_string(fillPort)), "10");
}

// The servers dialog's test: greeting, capabilities and the login, and the stored entry left
// as it was whatever the server said.
TEST_F(FillServersThreads, ATestOfAServerSaysGreetingCapabilitiesAndLogin) {
    m_options.authUser = "user";
    m_options.authPassword = "right";
    startServer();
    ServerEntry entry = *settings().currentServer();
    entry.setCredentials({"user", "wrong"});
    entry.setAuthFlag(1);
    ServerProbe probe = probeServer(settings(), entry);
    ASSERT_TRUE(probe.connected) << probe.failure;
    EXPECT_TRUE(probe.greeting.starts_with("200")) << probe.greeting;
    EXPECT_NE(probe.capabilities.find("READER"), std::string::npos) << probe.capabilities;
    EXPECT_TRUE(probe.login.starts_with("refused")) << probe.login;
    EXPECT_EQ(entry.authFlag(), 1) << "a test changes nothing stored";
    EXPECT_EQ(describeProbe(probe).find("wrong"), std::string::npos) << "no password shown";

    entry.setCredentials({"user", "right"});
    EXPECT_EQ(probeServer(settings(), entry).login, "accepted");
    const int port = m_server->port();
    m_server.reset();
    probe = probeServer(settings(), entry);
    EXPECT_FALSE(probe.connected);
    EXPECT_NE(probe.failure.find("refused"), std::string::npos) << probe.failure;
    EXPECT_NE(describeProbe(probe).find(std::to_string(port)), std::string::npos);
    EXPECT_TRUE(m_frontend.messages().empty()) << "no message box";
}

TEST(FillServersYenc, ADamagedPartIsToldFromASoundOne) {
    const std::string data = pictureBytes(5000, 9);
    const std::string part = yencHalf(data, "x.jpg", 2);
    EXPECT_FALSE(isDamagedYenc("Subject: x\n\n" + part));
    EXPECT_FALSE(isDamagedYenc(yencSingle(data, "x.jpg")));
    std::string damaged = part;
    damaged[damaged.find("\r\n=ypart") + 40] ^= 1;  // a byte of the data
    EXPECT_TRUE(isDamagedYenc("Subject: x\n\n" + damaged));
    // A part whose "=yend" gives the whole file's crc32 only: nothing to check it by.
    std::string wholeCrc = part.substr(0, part.find(" pcrc32=")) + " crc32=00000000\r\n";
    EXPECT_FALSE(isDamagedYenc(wholeCrc));
    EXPECT_FALSE(isDamagedYenc("plain text\n=ybegin without size\n"));
}

}  // namespace
}  // namespace qm::test
