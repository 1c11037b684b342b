// SPDX-License-Identifier: GPL-3.0-or-later
// Kills "qmere-cli fetch" (its path in QM_CLI, with 4 readers) at random moments, many times
// over, with SIGKILL, or stops it with SIGTERM or SIGHUP, against the fixture news server
// (qmere-newsd's), on both ways of reading: the overview with
// ARTICLE commands pipelined behind a server with latency (so that many are in flight at a
// kill), and the walk (--no-overview). Every state file left behind must still be whole and
// readable, and once one uninterrupted run has finished, the data folder must hold exactly
// what one uninterrupted run on a fresh folder gets: every picture once (no numbered copy),
// each in its group's "data.lst" once with the same description, every message-id in
// "MSGLIST", nothing unfinished. The posts mix single and split pictures (uuencoded in three
// parts with a description, yEnc in two), MIME base64, and articles with two pictures and a
// description. The seed is printed; QM_KILLRUN_SEED repeats a run. Also: one program per
// data folder, a second fetch refused naming the first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalog/picturedatabase.h"
#include "catalog/thumbnailer.h"
#include "decode/decoder.h"
#include "newsserver/newsserver.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "session/session.h"
#include "support/encoders.h"
#include "support/silentfrontend.h"
#include "support/tempdir.h"

extern char** environ;

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> AllGroups = {"alt.kill.one", "alt.kill.two", "alt.kill.three"};
constexpr std::uint64_t ArticlesPerGroup = 40;
// The first articles of each group; more are posted between the kills. The parts of each
// group's split posts are spread so that kills fall between them.
constexpr std::uint64_t SplitParts[3] = {5, 18, 31};
constexpr std::uint64_t YencParts[2] = {11, 24};
// Every this many articles one holds two pictures and a description.
constexpr std::uint64_t PairEvery = 7;
// A picture decoded twice must show as a numbered copy, not be dropped as a copy of itself:
// the journal is what is tried here.
constexpr const char* InitialProfile = "[Config]\nSkip duplicate pictures=0\n";

// Size and CRC of a file's content: short enough to show in a failure.
std::string digest(const std::optional<std::string>& content) {
    if (!content) return "<missing>";
    return std::to_string(content->size()) + ":" + crcText(*content);
}

// What a data folder holds after a run, as far as the catalogue goes.
struct Catalogue {
    std::map<std::string, std::map<std::string, std::string>> files;  // group: name: digest
    // group: description and name of each data.lst line (the date and mark left out)
    std::map<std::string, std::multiset<std::string>> listed;
    std::set<std::string> ids;  // in MSGLIST
    bool operator==(const Catalogue&) const = default;
};

std::string bytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 131 + seed * 7 + i / 97) % 256);
    return out;
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        out.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

bool isDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

class KillRunFixture : public ::testing::Test {
  protected:
    KillRunFixture() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!std::getenv("QM_CLI")) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
        newsd::NewsServerOptions options;
        options.spool = m_dir.file("spool");
        options.latencyMs = m_latencyMs;
        for (const std::string& group : m_groups) {
            const std::string prefix = group.substr(group.rfind('.') + 1);
            m_posted[group][prefix + "-split.jpg"] = bytes(4500, m_seed++);
            m_posted[group][prefix + "-yenc.jpg"] = bytes(6000, m_seed++);
            while (m_articles[group] < m_initialArticles) post(group);
        }
        m_server = std::make_unique<newsd::NewsServer>(options);
        m_server->start();
    }

    void TearDown() override {
        if (m_server) m_server->stop();
    }

    // The group's next article: a part of its split posts, else two pictures with a
    // description, a uuencoded or a MIME base64 picture of its own.
    void post(const std::string& group) {
        const std::uint64_t number = ++m_articles[group];
        const std::string prefix = group.substr(group.rfind('.') + 1);
        const std::string id = "<" + std::to_string(number) + "." + group + "@kill>";
        m_ids.insert(id);
        std::string headers = "Message-ID: " + id + "\n";
        std::string body;
        std::size_t part = 0, yencPart = 0;
        for (std::size_t p = 0; p < 3; ++p)
            if (SplitParts[p] == number) part = p + 1;
        for (std::size_t p = 0; p < 2; ++p)
            if (YencParts[p] == number) yencPart = p + 1;
        if (part > 0) {
            const std::string name = prefix + "-split.jpg";
            const std::vector<std::string> encoded = lines(uuencodeLines(m_posted[group][name]));
            const std::size_t per = (encoded.size() + 2) / 3;
            headers += "Subject: " + name + " (" + std::to_string(part) + "/3)";
            if (part == 1) {
                body = "the split picture of " + group + "\n\nbegin 644 " + name + "\n";
                ++m_descriptions;
            }
            for (std::size_t i = (part - 1) * per; i < part * per && i < encoded.size(); ++i)
                body += encoded[i] + "\n";
            if (part == 3) body += "`\nend\n";
        } else if (yencPart > 0) {
            const std::string name = prefix + "-yenc.jpg";
            headers += "Subject: " + name + " yEnc (" + std::to_string(yencPart) + "/2)";
            body = yencHalf(m_posted[group][name], name, static_cast<int>(yencPart));
        } else if (number % PairEvery == 0) {
            const std::string first = prefix + "-" + std::to_string(number) + "a.png";
            const std::string second = prefix + "-" + std::to_string(number) + "b.gif";
            m_posted[group][first] = bytes(300 + number * 7 % 500, m_seed++);
            m_posted[group][second] = bytes(200 + number * 11 % 700, m_seed++);
            ++m_descriptions;  // "two pictures", beside the first
            headers += "Subject: pair " + std::to_string(number) +
                       "\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=B";
            body =
                "--B\nContent-Type: text/plain\n\ntwo pictures\n--B\n"
                "Content-Type: image/png; name=\"" +
                first + "\"\nContent-Transfer-Encoding: base64\n\n" +
                base64Lines(m_posted[group][first]) + "--B\nContent-Type: image/gif; name=\"" +
                second + "\"\nContent-Transfer-Encoding: base64\n\n" +
                base64Lines(m_posted[group][second]) + "--B--\n";
        } else {
            const std::string data = bytes(200 + number * 23 % 900, m_seed++);
            const bool mime = number % 3 == 0;
            const std::string name =
                prefix + "-" + std::to_string(number) + (mime ? ".png" : ".gif");
            m_posted[group][name] = data;
            if (mime) {
                headers += "Subject: picture " + std::to_string(number) +
                           "\nMIME-Version: 1.0\nContent-Type: image/png; name=\"" + name +
                           "\"\nContent-Transfer-Encoding: base64";
                body = base64Lines(data);
            } else {
                headers += "Subject: " + name + " (1/1)";
                body = uuencodeBody(data, name);
            }
        }
        newsd::writeSpoolArticle(m_dir.file("spool"), group, number, headers, body);
    }

    // "qmere-cli fetch" of the groups from port (the fixture server's by default), on the
    // home of this test, or with its profile and data below home.
    pid_t spawnFetch(const std::string& home = {}, int port = 0) {
        std::vector<std::string> args = {
            std::getenv("QM_CLI"),
            "fetch",
            "--server",
            "127.0.0.1:" + std::to_string(port ? port : m_server->port()),
            "--threads",
            "4"};
        if (m_walk) args.push_back("--no-overview");
        args.insert(args.end(), m_groups.begin(), m_groups.end());
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            const std::string_view entry = *e;
            if (home.empty() ||
                (!entry.starts_with("XDG_CONFIG_HOME=") && !entry.starts_with("XDG_DATA_HOME=")))
                environment.emplace_back(entry);
        }
        if (!home.empty()) {
            environment.push_back("XDG_CONFIG_HOME=" + home + "/config");
            environment.push_back("XDG_DATA_HOME=" + home + "/data");
        }
        std::vector<char*> envp;
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string out = m_dir.file("stdout"), err = m_dir.file("stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // The exit status, or -1 when it had to be killed at the deadline (or died of a signal).
    static int waitExit(pid_t pid, std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string data(const std::string& name) const { return m_dir.file("data/qmere/" + name); }
    // Files the runs have decoded so far, in every group.
    std::size_t decodedFiles() const {
        std::size_t n = 0;
        std::error_code ec;
        for (const std::string& group : m_groups)
            for (auto it = std::filesystem::directory_iterator(data(group + "/news.dat"), ec);
                 !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
                ++n;
        return n;
    }

    // The catalogue of the data folder dataDirectory; unfinished files are failures.
    Catalogue catalogue(const std::string& dataDirectory) const {
        Catalogue c;
        for (const std::string& group : m_groups) {
            const std::string folder = dataDirectory + "/" + group;
            std::error_code none;
            for (const auto& entry : fs::directory_iterator(folder + "/news.dat", none)) {
                const std::string name = entry.path().filename().string();
                EXPECT_FALSE(name.starts_with(".")) << "unfinished " << folder << "/" << name;
                c.files[group][name] = digest(readWholeFile(entry.path().string()));
            }
            // A line: description, tab, file name, tab, date, tab, mark.
            for (const std::string& line : lines(readWholeFile(folder + "/data.lst").value_or("")))
                if (const std::size_t tab = line.find('\t'); tab != std::string::npos)
                    c.listed[group].insert(line.substr(0, line.find('\t', tab + 1)));
        }
        for (const std::string& id : lines(readWholeFile(dataDirectory + "/MSGLIST").value_or("")))
            if (!id.empty()) c.ids.insert(id);
        // No temporary file of any state file, anywhere.
        std::error_code none;
        for (const auto& entry : fs::recursive_directory_iterator(dataDirectory, none)) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name.starts_with(".") && name != ".qmere.lock") << entry.path();
        }
        EXPECT_EQ(readWholeFile(dataDirectory + "/MSGLIST.log").value_or(""), "")
            << "the journal is folded at the end";
        return c;
    }

    // The pictures of the groups' picture lists that the picture database of dataDirectory
    // does not hold.
    std::vector<std::string> unrecordedPictures(const std::string& dataDirectory) const {
        PictureDatabase db(dataDirectory, [](std::string_view) {});
        std::set<std::string> recorded;
        if (db.open(false))
            for (const StoredPicture& p : db.all()) recorded.insert(p.path);
        std::vector<std::string> missing;
        for (const std::string& group : m_groups) {
            const std::string folder = dataDirectory + "/" + group;
            for (const std::string& line :
                 lines(readWholeFile(folder + "/data.lst").value_or(""))) {
                const std::size_t tab = line.find('\t');
                if (tab == std::string::npos) continue;
                const std::string name = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
                const std::string path = group + "/news.dat/" + name;
                if (canThumbnail(name) && !recorded.count(path)) missing.push_back(path);
            }
        }
        return missing;
    }

    // Every state file that exists now must be whole: the checks name the file and the kill.
    void checkStateFiles(int kill) {
        SCOPED_TRACE("after kill " + std::to_string(kill));
        if (auto content = readWholeFile(data("MSGLIST"))) {
            const auto ids = lines(*content);
            EXPECT_LE(ids.size(), 10000u);
            if (!content->empty()) {
                EXPECT_EQ(content->back(), '\n') << "MSGLIST";
            }
            for (const std::string& id : ids)
                EXPECT_TRUE(id.size() > 2 && id.front() == '<' && id.back() == '>')
                    << "MSGLIST line \"" << id << "\"";
        }
        for (const std::string& group : m_groups) {
            if (auto last = readWholeFile(data(group + "/Last"))) {
                EXPECT_TRUE(isDecimal(*last)) << group << "/Last: \"" << *last << "\"";
            }
            if (auto list = readWholeFile(data(group + "/data.lst"))) {
                if (!list->empty()) {
                    EXPECT_EQ(list->back(), '\n') << group << "/data.lst";
                }
                for (const std::string& line : lines(*list)) {
                    std::size_t tabs = 0, at = 0;
                    while ((at = line.find('\t', at)) != std::string::npos) ++tabs, ++at;
                    EXPECT_TRUE(tabs == 3 && line.back() != '\t')
                        << group << "/data.lst line \"" << line << "\"";
                }
            }
        }
        std::error_code none;  // an early kill may leave no data folder yet
        for (const auto& entry : fs::recursive_directory_iterator(data(""), none)) {
            const std::string name = entry.path().filename().string();
            if (name != "Groups" && !name.starts_with("Groups.")) continue;
            auto content = readWholeFile(entry.path().string());
            ASSERT_TRUE(content) << entry.path();
            const auto names = lines(*content);
            ASSERT_FALSE(names.empty()) << entry.path() << " is empty";
            EXPECT_EQ(names.back(), ".") << entry.path() << " has no final \".\" line";
            EXPECT_EQ(content->back(), '\n') << entry.path();
            for (std::size_t i = 0; i + 1 < names.size(); ++i)
                EXPECT_TRUE(!names[i].empty() && names[i] != ".") << entry.path() << " line " << i;
        }
        if (auto servers = readWholeFile(data("server.lst"))) {
            const std::string host = "127.0.0.1 " + std::to_string(m_server->port());
            EXPECT_EQ(servers->back(), '\n') << "server.lst";
            for (const std::string& line : lines(*servers))
                EXPECT_EQ(line.substr(0, line.find('\t')), host) << "server.lst";
        }
        if (auto profile = readWholeFile(m_dir.file("config/Corvane,LLC/qmere.ini"))) {
            EXPECT_EQ(profile->back(), '\n') << "profile";
            bool inSection = false;
            for (const std::string& line : lines(*profile)) {
                if (line.empty()) continue;
                if (line.front() == '[') {
                    EXPECT_EQ(line.back(), ']') << "profile line \"" << line << "\"";
                    inSection = true;
                } else {
                    EXPECT_TRUE(inSection && line.find('=') != std::string::npos)
                        << "profile line \"" << line << "\"";
                }
            }
            // A run killed before it saved its settings leaves the profile the test wrote.
            if (*profile != InitialProfile) {
                EXPECT_NE(profile->find("\nData="), std::string::npos) << "profile lacks its keys";
            }
        }
    }

    std::vector<std::string> m_groups = AllGroups;
    std::uint64_t m_initialArticles = ArticlesPerGroup;
    TempDir m_dir;
    ScopedXdgHome m_xdg;
    std::unique_ptr<newsd::NewsServer> m_server;
    std::map<std::string, std::map<std::string, std::string>> m_posted;  // group: name: bytes
    std::map<std::string, std::uint64_t> m_articles;                     // group: last number
    std::set<std::string> m_ids;                                         // of every article
    int m_descriptions = 0;                                              // posted
    unsigned m_seed = 1;
    bool m_walk = false;  // fetch with --no-overview
    int m_latencyMs = 0;  // the server's
};

// The two ways of reading a group, and one big group that all 4 readers read together.
enum class ReadPath { Pipelined, Walk, OneGroup };

class KillRunThreads : public KillRunFixture, public ::testing::WithParamInterface<ReadPath> {
  protected:
    KillRunThreads() {
        m_walk = GetParam() == ReadPath::Walk;
        if (GetParam() == ReadPath::OneGroup) {
            m_groups = {AllGroups[0]};
            m_initialArticles = 3 * ArticlesPerGroup;
        }
        // A distant server keeps many ARTICLE commands in flight; the walk asks for one
        // article a round trip, so a short one keeps its runs as long.
        m_latencyMs = m_walk ? 2 : 15;
    }
};

TEST_P(KillRunThreads, KillsNeitherDuplicateNorLosePicturesAndTheNextRunCompletesTheSet) {
    unsigned seed = std::random_device{}();
    if (const char* fixed = std::getenv("QM_KILLRUN_SEED")) seed = std::stoul(fixed);
    std::printf("QM_KILLRUN_SEED=%u\n", seed);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);

    for (const char* home : {"config", "fresh/config"})
        m_dir.write(std::string(home) + "/Corvane,LLC/qmere.ini", InitialProfile);

    constexpr int Kills = 22;
    const auto budget = Clock::now() + std::chrono::seconds(35);
    // The longest pause before a kill follows what the runs take on this machine: shorter
    // after a run that ended before its kill, longer after a kill before anything was
    // committed, so that the kills fall on the articles' stream wherever it is.
    int longest = 300;
    int killed = 0, finishedBeforeKill = 0, midStream = 0;
    // One group read by all readers: no run asks again for an article at or below the
    // position it started from, however the readers' articles were in flight at the kill.
    const bool oneGroup = m_groups.size() == 1;
    std::map<std::int64_t, int> asked;  // article number: runs that asked for it
    int committedAgain = 0;             // asked for though committed by an earlier run
    // The articles committed so far: in the message-id list or its journal.
    auto committed = [&] {
        const std::string text = readWholeFile(data("MSGLIST")).value_or("") +
                                 readWholeFile(data("MSGLIST.log")).value_or("");
        std::set<std::int64_t> numbers;
        for (std::uint64_t n = 1; n <= m_articles[m_groups[0]]; ++n)
            if (text.find("<" + std::to_string(n) + "." + m_groups[0] + "@kill>") !=
                std::string::npos)
                numbers.insert(static_cast<std::int64_t>(n));
        return numbers;
    };
    auto checkAsked = [&](std::size_t commandsBefore, std::int64_t lastBefore,
                          const std::set<std::int64_t>& committedBefore, int run) {
        if (!oneGroup) return;
        const std::vector<std::string> commands = m_server->commands();
        std::set<std::int64_t> numbers;
        for (std::size_t c = commandsBefore; c < commands.size(); ++c)
            if (commands[c].starts_with("ARTICLE "))
                numbers.insert(std::stoll(commands[c].substr(8)));
        for (std::int64_t n : numbers) {
            EXPECT_GT(n, lastBefore) << "run " << run << " asked again for article " << n;
            ++asked[n];
            committedAgain += committedBefore.count(n) != 0;
        }
    };
    auto lastNow = [&] {
        const std::string last = m_dir.read("data/qmere/" + m_groups[0] + "/Last");
        return isDecimal(last) ? std::stoll(last) : std::int64_t{0};
    };
    for (int i = 0; i < Kills && Clock::now() < budget; ++i) {
        const std::size_t decodedBefore = decodedFiles();
        const std::size_t commandsBefore = m_server->commands().size();
        const std::int64_t lastBefore = lastNow();
        const std::set<std::int64_t> committedBefore =
            oneGroup ? committed() : std::set<std::int64_t>();
        const pid_t pid = spawnFetch();
        ASSERT_GT(pid, 0) << "cannot start " << std::getenv("QM_CLI");
        const int pause = std::uniform_int_distribution<int>(5, longest)(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            // A run that ends by itself must end as a finished run does.
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "run " << i << " ended with status " << status << "\n"
                << m_dir.read("stderr");
            ++finishedBeforeKill;
            longest = std::max(40, pause * 3 / 4);
        } else {
            // Mostly kills; a service manager's stop and a closed terminal now and then.
            constexpr int Signals[] = {SIGKILL, SIGKILL, SIGTERM, SIGHUP};
            const int signalNumber = Signals[std::uniform_int_distribution<int>(0, 3)(random)];
            kill(pid, signalNumber);
            waitpid(pid, &status, 0);
            if (signalNumber != SIGKILL) {
                // Stopped as Ctrl-C stops it, killed by the signal before it could say so, or
                // ended on its own just before the signal came.
                const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                EXPECT_TRUE(code == 128 + signalNumber || code == 0 ||
                            (WIFSIGNALED(status) && WTERMSIG(status) == signalNumber))
                    << "run " << i << " stopped with " << signalNumber << ": status " << status
                    << "\n"
                    << m_dir.read("stderr");
            }
            ++killed;
            // Files decoded before the signal: it fell among the articles (a stop by SIGTERM
            // or SIGHUP folds the journal, so the journal alone does not tell).
            if (decodedFiles() == decodedBefore)
                longest = std::min(5000, longest * 5 / 4);
            else
                ++midStream;
        }
        checkStateFiles(i);
        checkAsked(commandsBefore, lastBefore, committedBefore, i);
        if (HasFailure()) return;  // one broken file is enough to look at
        // New articles keep every run busy, so that kills also fall on their end.
        for (const std::string& group : m_groups)
            for (std::size_t k = 0; k < 15 / m_groups.size(); ++k) post(group);
    }
    std::printf(
        "%d runs killed (%d among the articles), %d ended before their kill; "
        "reading positions:",
        killed, midStream, finishedBeforeKill);
    for (const std::string& group : m_groups)
        std::printf(" %s", m_dir.read("data/qmere/" + group + "/Last").c_str());
    std::printf("\n");
    EXPECT_GE(killed, 10);
    EXPECT_GT(midStream, 0) << "no kill fell while articles were being fetched";

    const auto start = Clock::now();
    const std::size_t commandsBefore = m_server->commands().size();
    const std::int64_t lastBefore = lastNow();
    const std::set<std::int64_t> committedBefore =
        oneGroup ? committed() : std::set<std::int64_t>();
    pid_t pid = spawnFetch();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitExit(pid, std::chrono::seconds(120)), 0)
        << m_dir.read("stdout") << m_dir.read("stderr");
    checkAsked(commandsBefore, lastBefore, committedBefore, Kills);
    if (oneGroup) {
        int again = 0;
        for (const auto& [number, runs] : asked) again += runs > 1;
        std::printf(
            "%zu articles asked for, %d of them again after a kill, %d of those committed "
            "already\n",
            asked.size(), again, committedAgain);
        // Asked again only when in flight at a kill: a committed article never is.
        EXPECT_EQ(committedAgain, 0);
    }
    std::printf(
        "the uninterrupted run took %lld ms\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
    checkStateFiles(Kills);
    for (const std::string& group : m_groups)
        EXPECT_EQ(m_dir.read("data/qmere/" + group + "/Last"), std::to_string(m_articles[group]));
    // The way of reading the parameter names is the one the runs took.
    int overviews = 0, articles = 0, bodies = 0;
    for (const std::string& command : m_server->commands()) {
        overviews += command.starts_with("OVER ") || command.starts_with("XOVER ");
        articles += command.starts_with("ARTICLE ");
        bodies += command.starts_with("BODY ");
    }
    if (m_walk) {
        EXPECT_EQ(overviews + articles, 0);
        EXPECT_GT(bodies, 0);
    } else {
        EXPECT_GT(overviews, 0);
        EXPECT_GT(articles, 0);
        EXPECT_EQ(bodies, 0);
    }

    // The same server read once, without a kill, into a fresh folder.
    pid = spawnFetch(m_dir.file("fresh"));
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitExit(pid, std::chrono::seconds(120)), 0) << m_dir.read("stderr");
    const Catalogue fresh = catalogue(m_dir.file("fresh/data/qmere"));
    const Catalogue afterKills = catalogue(data(""));

    int posted = 0, descriptions = 0;
    for (const auto& [group, files] : m_posted) {
        SCOPED_TRACE(group);
        for (const auto& [name, content] : files) {
            ++posted;
            auto found = fresh.files.find(group);
            ASSERT_NE(found, fresh.files.end());
            EXPECT_EQ(found->second.count(name) ? found->second.at(name) : "<missing>",
                      digest(content))
                << name << " after one uninterrupted run";
        }
        for (const auto& [name, content] : fresh.files.at(group)) {
            if (name.ends_with(".desc")) {
                ++descriptions;
            } else {
                const auto& listed = fresh.listed.at(group);
                EXPECT_EQ(std::count_if(
                              listed.begin(), listed.end(),
                              [&](const std::string& line) { return line.ends_with("\t" + name); }),
                          1)
                    << name << " in data.lst";
            }
        }
    }
    EXPECT_EQ(fresh.ids, m_ids) << "every article's message-id in MSGLIST";
    EXPECT_EQ(descriptions, m_descriptions) << "the split posts' and the pairs' descriptions";

    // After the kills: exactly the same files (none twice, none missing, none numbered), each
    // catalogued once, every message-id recorded.
    // File by file, so that a failure names the file (whole maps are cut short in the output).
    for (const auto& [group, files] : fresh.files) {
        const auto kept = afterKills.files.find(group);
        for (const auto& [name, content] : files) {
            const bool there = kept != afterKills.files.end() && kept->second.count(name);
            EXPECT_EQ(there ? kept->second.at(name) : "<missing>", content)
                << group << ": " << name << " after the kills";
        }
    }
    for (const auto& [group, files] : afterKills.files)
        for (const auto& [name, content] : files)
            EXPECT_TRUE(fresh.files.count(group) && fresh.files.at(group).count(name))
                << group << ": " << name << " only after the kills";
    EXPECT_EQ(afterKills.listed, fresh.listed);
    EXPECT_EQ(afterKills.ids, fresh.ids);
    // The picture database holds every listed picture again, whatever the kills left out of it
    // (the pictures are random bytes: recorded, no thumbnail).
    EXPECT_EQ(unrecordedPictures(data("")), std::vector<std::string>{});
    EXPECT_EQ(unrecordedPictures(m_dir.file("fresh/data/qmere")), std::vector<std::string>{});
    for (const std::string& group : m_groups) {
        // Saved articles are named by their number; none may stay behind.
        for (const auto& entry : fs::directory_iterator(data(group))) {
            const std::string file = entry.path().filename().string();
            EXPECT_FALSE(isDecimal(file)) << "saved article " << group << "/" << file << " left";
        }
    }
    std::printf("%d posted files, %d descriptions, %zu message-ids\n", posted, descriptions,
                afterKills.ids.size());
}

// A service manager's stop (SIGTERM) and a closed terminal (SIGHUP) stop a fetch as Ctrl-C
// does: the readers stopped, the journal folded, the settings saved, and every picture of the
// picture lists recorded in the picture database (those still waiting for their thumbnail as
// pending), with the signal in the exit status.
class StopSignalThreads : public KillRunFixture {
  protected:
    StopSignalThreads() {
        m_walk = true;  // an article a round trip: the run lasts, and the signal falls in it
        m_latencyMs = 10;
    }
};

TEST_F(StopSignalThreads, ATermOrAHangupStopsAFetchAsCtrlCDoesAndKeepsEveryPictureRecorded) {
    m_dir.write("config/Corvane,LLC/qmere.ini", InitialProfile);
    for (int signalNumber : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        const pid_t pid = spawnFetch();
        ASSERT_GT(pid, 0);
        // Articles committed and not folded yet: the run is among them.
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (readWholeFile(data("MSGLIST.log")).value_or("").empty() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(kill(pid, signalNumber), 0);
        EXPECT_EQ(waitExit(pid, std::chrono::seconds(60)), 128 + signalNumber)
            << m_dir.read("stderr");
        EXPECT_NE(m_dir.read("stderr").find("qmere-cli fetch: stopped"), std::string::npos);
        checkStateFiles(signalNumber);
        EXPECT_EQ(readWholeFile(data("MSGLIST.log")).value_or(""), "") << "folded at the stop";
        EXPECT_NE(m_dir.read("config/Corvane,LLC/qmere.ini"), InitialProfile) << "saved";
        EXPECT_EQ(unrecordedPictures(data("")), std::vector<std::string>{});
        std::string listed;
        for (const std::string& group : m_groups)
            listed += readWholeFile(data(group + "/data.lst")).value_or("");
        EXPECT_FALSE(listed.empty()) << "stopped before a picture was listed";
        for (const std::string& group : m_groups)
            for (int k = 0; k < 40; ++k) post(group);
    }
}

// A port that accepts connections and never says a word: a fetch on it waits for the greeting.
class SilentPort {
  public:
    SilentPort() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(m_fd.get(), 8) == 0 &&
            ::getsockname(m_fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    int port() const { return m_port; }

  private:
    UniqueFd m_fd;
    int m_port = 0;
};

INSTANTIATE_TEST_SUITE_P(BothPaths, KillRunThreads,
                         ::testing::Values(ReadPath::Pipelined, ReadPath::Walk, ReadPath::OneGroup),
                         [](const ::testing::TestParamInfo<ReadPath>& info) {
                             return info.param == ReadPath::Walk       ? "Walk"
                                    : info.param == ReadPath::OneGroup ? "OneGroup"
                                                                       : "Pipelined";
                         });

// Multi-process like the kills: the lock is taken by another process's fetch.
using DataFolderLockThreads = KillRunFixture;

TEST_F(DataFolderLockThreads, ASecondFetchIsRefusedNamingTheFirstAndAKilledOnesFolderIsTakenOver) {
    SilentPort silent;
    ASSERT_GT(silent.port(), 0);
    const pid_t first = spawnFetch({}, silent.port());
    ASSERT_GT(first, 0);
    // The first holds the folder once its id is in the lock file.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (readWholeFile(data(".qmere.lock")).value_or("") != std::to_string(first) + "\n" &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const pid_t second = spawnFetch();
    ASSERT_GT(second, 0);
    EXPECT_EQ(waitExit(second, std::chrono::seconds(60)), 1);
    const std::string refusal = m_dir.read("stderr");
    EXPECT_NE(refusal.find("is in use by process " + std::to_string(first)), std::string::npos)
        << refusal;
    EXPECT_FALSE(fs::exists(data(m_groups[0] + "/news.dat"))) << "the second one fetched nothing";

    // Killed, the first leaves its lock file behind; the next fetch takes the folder over.
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    const pid_t third = spawnFetch();
    ASSERT_GT(third, 0);
    ASSERT_EQ(waitExit(third, std::chrono::seconds(120)), 0) << m_dir.read("stderr");
    for (const auto& [group, files] : m_posted)
        for (const auto& [name, content] : files)
            EXPECT_EQ(readWholeFile(data(group + "/news.dat/" + name)).value_or("<missing>"),
                      content)
                << group << ": " << name;
    EXPECT_EQ(readWholeFile(data(".qmere.lock")).value_or("<missing>"), "")
        << "emptied when the holder ends";
}

// A fetch the timer starts while the window works in the same folder: the window's session
// (as it loads at start-up, in this process) holds the folder, so the fetch is refused with
// a message that names this process; once the window has exited, the next fetch runs.
TEST_F(DataFolderLockThreads, AFetchWhileTheWindowHoldsTheFolderIsRefusedNamingTheWindow) {
    SilentFrontend frontend;
    Profile profile(profilePath());
    Session window(frontend, profile);
    ASSERT_EQ(window.load({}).error, "");
    ASSERT_TRUE(window.ownsDataDirectory());

    pid_t fetch = spawnFetch();
    ASSERT_GT(fetch, 0);
    EXPECT_EQ(waitExit(fetch, std::chrono::seconds(60)), 1);
    const std::string refusal = m_dir.read("stderr");
    EXPECT_NE(refusal.find("qmere-cli fetch: The data folder " + window.settings().dataDirectory +
                           " is in use by process " + std::to_string(::getpid())),
              std::string::npos)
        << refusal;
    EXPECT_FALSE(fs::exists(data(m_groups[0] + "/news.dat")))
        << "the refused fetch fetched nothing";

    // The window's exit: saved, then the folder left.
    EXPECT_TRUE(window.save());
    window.leaveDataFolder();
    fetch = spawnFetch();
    ASSERT_GT(fetch, 0);
    ASSERT_EQ(waitExit(fetch, std::chrono::seconds(120)), 0) << m_dir.read("stderr");
    for (const auto& [group, files] : m_posted)
        EXPECT_TRUE(fs::exists(data(group + "/news.dat/" + files.begin()->first))) << group;
}

}  // namespace
}  // namespace qm::test
