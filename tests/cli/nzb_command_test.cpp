// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built "qmere-cli nzb" (its path in QM_CLI) against the fixture news server, with
// NZBs written by the tests for the posts they put in its spool.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "newsserver/newsserver.h"
#include "newsserver/spoolmaker.h"
#include "nzb/nzbparser.h"
#include "nzb/nzbwriter.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/clirunner.h"
#include "support/encoders.h"
#include "support/nzbdtd.h"
#include "support/tempdir.h"

namespace qm::test {
namespace {

// Part n (from 1) of total of data, cut in equal pieces, as a yEnc part.
std::string yencPart(std::string_view data, std::string_view name, int n, int total) {
    const std::size_t each = (data.size() + total - 1) / total;
    const std::size_t begin = each * static_cast<std::size_t>(n - 1);
    const std::string_view piece = data.substr(begin, each);
    return "=ybegin part=" + std::to_string(n) + " total=" + std::to_string(total) +
           " line=128 size=" + std::to_string(data.size()) + " name=" + std::string(name) +
           "\r\n=ypart begin=" + std::to_string(begin + 1) +
           " end=" + std::to_string(begin + piece.size()) + "\r\n" + yencLines(piece) +
           "=yend size=" + std::to_string(piece.size()) + " part=" + std::to_string(n) +
           " pcrc32=" + crcText(piece) + " crc32=" + crcText(data) + "\r\n";
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

class NzbCommand : public ::testing::Test {
  protected:
    NzbCommand() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
        m_options.spool = m_dir.file("spool");
    }

    CliRun run(const std::vector<std::string>& args) { return runCli(m_dir, args); }

    std::string server() {
        if (!m_server) {
            m_server = std::make_unique<newsd::NewsServer>(m_options);
            m_server->start();
        }
        return "127.0.0.1:" + std::to_string(m_server->port());
    }

    // Posts data as parts yEnc articles (those in skip are left out of the spool, as a server
    // that lost them), in a shuffled order of article numbers, and lists them in the NZB
    // backwards.
    void post(const std::string& name, std::string_view data, int parts,
              const std::vector<int>& skip = {}) {
        NzbFile file;
        file.poster = "poster@example";
        file.date = 1700000000;
        file.subject = "test \"" + name + "\" yEnc (1/" + std::to_string(parts) + ")";
        file.groups = {"alt.binaries.test"};
        for (int n = parts; n >= 1; --n) {
            const std::string id = name + "." + std::to_string(n) + "@test";
            file.segments.push_back({n, static_cast<std::int64_t>(data.size() / parts), id});
            if (std::find(skip.begin(), skip.end(), n) != skip.end()) continue;
            newsd::writeSpoolArticle(m_options.spool, "alt.binaries.test",
                                     1000 - m_posted++ * 7 % 500,
                                     "Subject: " + file.subject + "\nMessage-ID: <" + id + ">",
                                     yencPart(data, name, n, parts));
        }
        m_nzb.files.push_back(file);
    }

    std::string writeNzb(const std::string& name) { return m_dir.write(name, formatNzb(m_nzb)); }
    std::string fetched(const std::string& nzb, const std::string& name) const {
        return readWholeFile(m_dir.file("data/qmere/nzb/" + nzb + "/" + name)).value_or("<none>");
    }
    std::vector<std::string> fetches() const {
        std::vector<std::string> asked;
        for (const std::string& command : m_server->commands())
            if (command.starts_with("ARTICLE")) asked.push_back(command);
        return asked;
    }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
    NzbDocument m_nzb;
    int m_posted = 0;
};

// The fetches that run several connections at once (run under the thread sanitizer too).
class NzbFetchThreads : public NzbCommand {};

TEST_F(NzbFetchThreads, MultipartPicturesPostedOutOfOrderAreAssembledOverSeveralConnections) {
    // Slow enough that the first connection cannot fetch everything before the others are in.
    m_options.lineDelayMs = 1;
    newsd::SpoolPlan plan;
    plan.pictureBytes = 40000;
    const std::string first = newsd::makePicture(plan, 0);
    const std::string second = newsd::makePicture(plan, 1);
    post("first.jpg", first, 3);
    post("second.jpg", second, 4);
    const std::string nzb = writeNzb("My Set.nzb");

    CliRun r = run({"nzb", "--server", server(), "--threads", "3", nzb});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fetched("MyXSet", "first.jpg"), first);
    EXPECT_EQ(fetched("MyXSet", "second.jpg"), second);
    EXPECT_EQ(fetches().size(), 7u);
    int busy = 0;
    for (int c = 1; c <= m_server->connectionsAccepted(); ++c) {
        const std::vector<std::string> lines = m_server->commands(c);
        busy += std::any_of(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.starts_with("ARTICLE"); });
    }
    EXPECT_GE(busy, 2);
    // Catalogued as a group's pictures are: the picture database can list them again.
    CliRun exported = run({"nzb", "--export", "nzb/MyXSet"});
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_NE(exported.out.find("first.jpg.1@test"), std::string::npos) << exported.out;

    // A second start finds every file finished and asks for nothing.
    m_server->clearCommands();
    r = run({"nzb", "--server", server(), nzb});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fetches().empty());
    // Its articles count as retrieved: a run of their group fetches none of them again.
    ASSERT_EQ(run({"fetch", "--server", server(), "alt.binaries.test"}).status, 0);
    int bodies = 0;
    for (const std::string& command : m_server->commands())
        bodies += command.starts_with("BODY") || command.starts_with("ARTICLE") ||
                  command.starts_with("HEAD");
    EXPECT_EQ(bodies, 0);
    EXPECT_FALSE(m_server->commands().empty());
}

TEST_F(NzbFetchThreads, ASegmentTheServerLacksComesFromAFillServer) {
    newsd::SpoolPlan plan;
    plan.pictureBytes = 30000;
    const std::string picture = newsd::makePicture(plan, 2);
    post("filled.jpg", picture, 3);  // parts 3, 2, 1 as articles 1000, 993, 986
    const std::string nzb = writeNzb("Filled.nzb");
    newsd::NewsServer fill(m_options);
    fill.start();
    m_options.missing = {993};
    // Another name for the host: an entry of a host's own is the one --server moves.
    const CliRun added =
        run({"servers", "--add", "localhost:" + std::to_string(fill.port()), "--role", "fill"});
    ASSERT_EQ(added.status, 0) << added.err;

    CliRun r = run({"nzb", "--server", server(), "--threads", "2", nzb});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fetched("Filled", "filled.jpg") == picture);
    std::vector<std::string> asked;
    for (const std::string& command : fill.commands())
        if (command.starts_with("ARTICLE")) asked.push_back(command);
    EXPECT_EQ(asked, std::vector<std::string>{"ARTICLE <filled.jpg.2@test>"});
}

class NzbPar2 : public NzbCommand {
  protected:
    void SetUp() override {
        NzbCommand::SetUp();
        if (IsSkipped()) return;
        if (std::system("command -v par2 >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "par2 is not installed";
    }

    // data.bin in four parts (those in skip lost by the server), with a par2 set of recovery
    // blocks in four volumes, each volume posted as one article.
    void postSet(const std::vector<int>& skip, int recoveryBlocks) {
        m_data = randomBytes(320000, 7);
        const std::string work = m_dir.file("par2work");
        ASSERT_EQ(makeDirectories(work), 0);
        ASSERT_TRUE(writeFileAtomic(work + "/data.bin", m_data));
        const std::string command = "cd '" + work + "' && par2 create -q -q -s16384 -c" +
                                    std::to_string(recoveryBlocks) +
                                    " -n4 set.par2 data.bin >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        post("data.bin", m_data, 4, skip);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(work))
            if (entry.path().extension() == ".par2") names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) post(name, *readWholeFile(work + "/" + name), 1);
    }

    std::string m_data;
};

TEST_F(NzbPar2, ALostSegmentIsRepairedWithTheFewestSmallestVolumes) {
    postSet({3}, 16);  // volumes of 2, 4, 8 and 2 blocks
    const std::string nzb = writeNzb("set.nzb");
    // Without the tool the files are kept as they came, and that is said once.
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", m_dir.file("no-tools").c_str(), 1);
    CliRun r = run({"nzb", "--server", server(), "--threads", "2", nzb});
    ::setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("par2 is not installed"), std::string::npos) << r.out;
    const std::string kept = fetched("set", "data.bin");
    EXPECT_EQ(kept.size(), m_data.size());
    EXPECT_NE(kept, m_data);

    // With it, the next start fetches only volumes, and repairs.
    m_server->clearCommands();
    r = run({"nzb", "--server", server(), "--threads", "2", nzb});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("set.par2: repaired ("), std::string::npos) << r.out;
    EXPECT_EQ(fetched("set", "data.bin"), m_data);
    // A part of 80000 bytes spans 5 or 6 blocks of 16384: 2 + 2 + 4 do, the 8 is not needed.
    const std::vector<std::string> asked = fetches();
    auto wasAsked = [&](std::string_view id) {
        return std::any_of(asked.begin(), asked.end(), [&](const std::string& line) {
            return line.find(id) != std::string::npos;
        });
    };
    EXPECT_TRUE(wasAsked("set.vol00+2.par2.1@test"));
    EXPECT_TRUE(wasAsked("set.vol02+4.par2.1@test"));
    EXPECT_FALSE(wasAsked("set.vol06+8.par2.1@test"));
    EXPECT_EQ(asked.size(), 3u);
}

TEST_F(NzbPar2, ASetShortBeyondRepairIsReportedAndFails) {
    postSet({1, 2, 3}, 4);  // 15 blocks lost, 4 in the volumes
    const std::string nzb = writeNzb("short.nzb");
    CliRun r = run({"nzb", "--server", server(), nzb});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("set.par2: short: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" blocks missing, 4 available"), std::string::npos) << r.out;
    // No volume is fetched for a repair that cannot be made.
    for (const std::string& line : fetches())
        EXPECT_EQ(line.find(".vol"), std::string::npos) << line;
}

TEST_F(NzbCommand, HostileNzbsAreRefusedAndNamesStayInTheirFolder) {
    const std::string laughs = m_dir.write(
        "laughs.nzb",
        "<?xml version=\"1.0\"?><!DOCTYPE nzb [<!ENTITY a \"aaaaaaaaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><nzb>&b;</nzb>");
    const std::string empty = m_dir.write("empty.nzb", "<?xml version=\"1.0\"?><nzb></nzb>");
    CliRun r = run({"nzb", "--server", server(), laughs, empty});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("laughs.nzb: it declares entities"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("empty.nzb: the NZB lists no file"), std::string::npos) << r.err;

    post("../../escape.jpg", "not a picture", 1);
    r = run({"nzb", "--server", server(), writeNzb("evil.nzb")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fetched("evil", "..X..Xescape.jpg"), "not a picture");
    EXPECT_FALSE(fileExists(m_dir.file("data/qmere/escape.jpg")));
    EXPECT_FALSE(fileExists(m_dir.file("data/qmere/nzb/escape.jpg")));
}

TEST_F(NzbCommand, AUuencodedSetIsJoinedInSegmentOrder) {
    const std::string picture = randomBytes(9000, 5);
    const std::string text = uuencodeBody(picture, "uu.jpg");
    NzbFile file;
    file.subject = "uu.jpg (1/3)";
    file.groups = {"alt.test"};
    // Cut in three at line ends, as posters split such posts.
    const std::size_t cut1 = text.find('\n', text.size() / 3) + 1;
    const std::size_t cut2 = text.find('\n', text.size() * 2 / 3) + 1;
    const std::string parts[] = {text.substr(0, cut1), text.substr(cut1, cut2 - cut1),
                                 text.substr(cut2)};
    for (int n = 3; n >= 1; --n) {
        const std::string id = "uu" + std::to_string(n) + "@test";
        newsd::writeSpoolArticle(
            m_options.spool, "alt.test", static_cast<std::uint64_t>(n),
            "Subject: uu.jpg (" + std::to_string(n) + "/3)\nMessage-ID: <" + id + ">",
            parts[n - 1]);
        file.segments.push_back({n, 0, id});
    }
    m_nzb.files.push_back(file);
    CliRun r = run({"nzb", "--server", server(), "--threads", "2", writeNzb("uu.nzb")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(fetched("uu", "uu.jpg") == picture);
}

TEST_F(NzbCommand, AnExportedGroupFetchedIntoAFreshFolderGivesTheSameFiles) {
    newsd::SpoolPlan plan;
    plan.pictureBytes = 20000;
    std::map<std::string, std::string> files;  // name -> content
    std::uint64_t number = 40;
    // Article numbers counting down: the parts reach the group run out of order.
    auto article = [&](const std::string& subject, const std::string& id, std::string body,
                       const std::string& extra = "") {
        newsd::writeSpoolArticle(m_options.spool, "alt.pics", number--,
                                 "Subject: " + subject + "\nMessage-ID: <" + id + ">" + extra,
                                 body);
    };
    // Pictures in yEnc parts, and a file that is no picture.
    for (const auto& [name, parts] : {std::pair{"p0.jpg", 3}, {"p1.jpg", 2}, {"data.bin", 2}}) {
        files[name] = name == std::string("data.bin")
                          ? randomBytes(30000, 9)
                          : newsd::makePicture(plan, static_cast<std::uint64_t>(parts));
        for (int n = 1; n <= parts; ++n)
            article("set \"" + std::string(name) + "\" yEnc (" + std::to_string(n) + "/" +
                        std::to_string(parts) + ")",
                    std::string(name) + std::to_string(n) + "@x",
                    yencPart(files[name], name, n, parts));
    }
    // A uuencoded post split in three at line ends, and a MIME attachment.
    files["uu.jpg"] = newsd::makePicture(plan, 7);
    const std::string uu = uuencodeBody(files["uu.jpg"], "uu.jpg");
    const std::size_t cut1 = uu.find('\n', uu.size() / 3) + 1;
    const std::size_t cut2 = uu.find('\n', uu.size() * 2 / 3) + 1;
    const std::string uuParts[] = {uu.substr(0, cut1), uu.substr(cut1, cut2 - cut1),
                                   uu.substr(cut2)};
    for (int n = 3; n >= 1; --n)
        article("uu.jpg (" + std::to_string(n) + "/3)", "uu" + std::to_string(n) + "@x",
                uuParts[n - 1]);
    files["m.jpg"] = newsd::makePicture(plan, 8);
    article("pic m.jpg (1/1)", "m@x", base64Lines(files["m.jpg"]),
            "\nMIME-Version: 1.0\nContent-Type: image/jpeg; name=\"m.jpg\"\n"
            "Content-Transfer-Encoding: base64");
    ASSERT_EQ(run({"fetch", "--server", server(), "alt.pics"}).status, 0);
    for (const auto& [name, content] : files)
        ASSERT_EQ(readWholeFile(m_dir.file("data/qmere/alt.pics/news.dat/" + name)), content)
            << name;

    const std::string out = m_dir.file("pics.nzb");
    CliRun r = run({"nzb", "--export", "alt.pics", "--since", "1", "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    const NzbParse exported = readNzbFile(out);
    ASSERT_TRUE(exported.ok()) << exported.error;
    std::map<std::string, std::size_t> segments;
    for (const NzbFile& file : exported.document.files)
        segments[nzbFileName(file.subject)] = file.segments.size();
    EXPECT_EQ(segments,
              (std::map<std::string, std::size_t>{
                  {"p0.jpg", 3}, {"p1.jpg", 2}, {"data.bin", 2}, {"uu.jpg", 3}, {"m.jpg", 1}}));
    EXPECT_TRUE(validNzb11(m_dir, out));

    const std::string fresh = m_dir.file("fresh");
    ASSERT_EQ(run({"config", "Data=" + fresh}).status, 0);
    r = run({"nzb", "--server", server(), out});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const auto& [name, content] : files)
        EXPECT_EQ(readWholeFile(fresh + "/nzb/pics/" + name), content) << name;
}

TEST_F(NzbFetchThreads, AKillLosesOnlyTheSegmentsInFlight) {
    const std::string data = randomBytes(60 * 4000, 3);
    post("big.bin", data, 60);
    const std::string nzb = writeNzb("big.nzb");
    m_options.lineDelayMs = 2;  // some 30 ms a segment
    CliChild child = startCli(m_dir, {"nzb", "--server", server(), "--threads", "2", nzb}, "kill");
    ASSERT_GT(child.pid, 0);
    const std::string state = m_dir.file("data/qmere/nzb/big/.qmere-nzb.state");
    std::size_t stored = 0;
    for (int wait = 0; wait < 1000 && stored < 10 && cliRunning(child); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string text = readWholeFile(state).value_or("");
        stored = static_cast<std::size_t>(std::count(text.begin(), text.end(), 'S'));
    }
    ::kill(child.pid, SIGKILL);
    (void)finishCli(child);
    const std::string text = readWholeFile(state).value_or("");
    ASSERT_GE(std::count(text.begin(), text.end(), '\n'), 10) << text;

    m_server->clearCommands();
    CliRun r = run({"nzb", "--server", server(), nzb});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fetched("big", "big.bin"), data);
    // Every segment recorded before the kill is not asked for again.
    for (const std::string& line : fetches()) {
        const std::string number = line.substr(line.find(".bin.") + 5);
        EXPECT_EQ(text.find("S 0 " + number.substr(0, number.find('@')) + "\n"), std::string::npos)
            << line;
    }
    EXPECT_LT(fetches().size(), 60u);
}

}  // namespace
}  // namespace qm::test
