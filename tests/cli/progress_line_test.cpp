// SPDX-License-Identifier: GPL-3.0-or-later
// What "qmere-cli fetch" writes: on a pseudo-terminal the progress line rewritten in place
// below whole log lines; through a pipe, quiet, or over the saved selection without it.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "cli/progressline.h"
#include "newsserver/newsserver.h"
#include "support/clirunner.h"
#include "support/encoders.h"
#include "support/tempdir.h"

namespace qm::test {
namespace {

constexpr std::string_view Erase = "\r\x1b[K";
constexpr int Columns = 90;

struct TerminalRun {
    int status = -1;
    std::string output;  // as the terminal received it (its line discipline makes \n \r\n)
};

// Runs qmere-cli with args on a new pseudo-terminal Columns wide with TERM set to term,
// reading all it writes.
TerminalRun runOnTerminal(const std::vector<std::string>& args, const char* term = "xterm") {
    TerminalRun run;
    std::vector<std::string> all{cliPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = Columns;
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) return run;
    if (pid == 0) {
        ::setenv("TERM", term, 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0)
            run.output.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // EIO once the child has closed its side
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

std::vector<std::string> split(const std::string& text, std::string_view separator) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t next; (next = text.find(separator, at)) != std::string::npos;
         at = next + separator.size())
        parts.push_back(text.substr(at, next - at));
    parts.push_back(text.substr(at));
    return parts;
}

class ProgressLine : public ::testing::Test {
  protected:
    ProgressLine() : m_xdg(m_dir) {}

    void SetUp() override {
        if (!cliPath()) GTEST_SKIP() << "QM_CLI is not set (run through ctest)";
        m_options.spool = m_dir.file("spool");
    }

    // count articles in group, every second one a picture; served slowly enough that the
    // line is drawn a few times.
    void post(const std::string& group, int count) {
        for (int n = 1; n <= count; ++n) {
            const std::string id = std::to_string(n);
            if (n % 2 == 0)
                newsd::writeSpoolArticle(
                    m_options.spool, group, n,
                    "Subject: p" + id + ".gif (1/1)\nMessage-ID: <" + id + "@" + group + ">",
                    // Each its own content: a copy of a picture fetched before is dropped.
                    uuencodeBody("GIF89a " + group + " " + id, "p" + id + ".gif"));
            else
                newsd::writeSpoolArticle(
                    m_options.spool, group, n,
                    "Subject: talk " + id + "\nMessage-ID: <" + id + "@" + group + ">",
                    "just words\nand more\n");
        }
    }

    std::string start(int lineDelayMs) {
        m_options.lineDelayMs = lineDelayMs;
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
        return "127.0.0.1:" + std::to_string(m_server->port());
    }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
};

TEST_F(ProgressLine, OnATerminalTheLineIsRewrittenInPlaceBelowWholeLogLines) {
    post("alt.pics", 40);
    post("alt.more.pictures.with.a.rather.long.name.to.cut", 6);
    const std::string server = start(12);
    const TerminalRun run =
        runOnTerminal({"fetch", "--server", server, "--threads", "2", "alt.pics",
                       "alt.more.pictures.with.a.rather.long.name.to.cut"});
    ASSERT_EQ(run.status, 0) << run.output;

    // Every write starts with a carriage return and an erase: either a whole log line with
    // its line end, or the progress line without one.
    const std::vector<std::string> parts = split(run.output, Erase);
    ASSERT_GT(parts.size(), 3u) << run.output;
    EXPECT_EQ(parts.front(), "");
    std::vector<std::string> drawn;
    bool closedLine = false, midway = false, timeLeft = false;
    const std::regex dealt("^alt\\.pics: ([0-9]+)/40 articles, [0-9]+ pictures; ");
    std::smatch match;
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.find(" articles/s, ") != std::string::npos) {
            EXPECT_EQ(part.find('\n'), std::string::npos) << "a newline after the line: " << part;
            EXPECT_LT(part.size(), static_cast<std::size_t>(Columns)) << part;
            EXPECT_NE(part.find(" MB/s"), std::string::npos) << part;
            EXPECT_EQ(part.rfind("alt.pics: ", 0), 0u) << part;
            if (std::regex_search(part, match, dealt) && std::stoi(match[1]) > 0 &&
                std::stoi(match[1]) < 40)
                midway = true;
            if (part.find(" left") != std::string::npos) timeLeft = true;
            if (drawn.empty() || drawn.back() != part) drawn.push_back(part);
        } else {
            // A log line, whole: one line end, at its end.
            ASSERT_GE(part.size(), 2u) << part;
            EXPECT_EQ(part.find("\r\n"), part.size() - 2) << part;
            EXPECT_EQ(part.find(" pictures"), std::string::npos) << "line in a log line";
            if (part == "Connection to NNTP server closed...\r\n") closedLine = true;
        }
    }
    EXPECT_GE(drawn.size(), 3u) << "the line was not redrawn as the run went on";
    EXPECT_TRUE(midway) << run.output;
    EXPECT_TRUE(timeLeft) << run.output;
    EXPECT_TRUE(closedLine) << run.output;
    // The group that does not fit is cut, the rates after it are not.
    EXPECT_NE(drawn.back().find("... | "), std::string::npos) << drawn.back();
    // The decoder's traces stay off the terminal.
    EXPECT_EQ(run.output.find("(image/gif)"), std::string::npos);
    // The summary is the last line, the progress line gone.
    EXPECT_EQ(parts.back().rfind("Run ended: 2 groups, 46 articles, 23 pictures, ", 0), 0u)
        << parts.back();
    EXPECT_EQ(parts.back().find('\n'), parts.back().size() - 1);
}

TEST_F(ProgressLine, ASmallGroupShowsItsCountsAndADumbTerminalGetsNoEscapeCodes) {
    post("alt.small", 4);
    const std::string server = start(2);
    TerminalRun run = runOnTerminal({"fetch", "--server", server, "alt.small"});
    ASSERT_EQ(run.status, 0) << run.output;
    // Read whole sooner than a redraw is due, the group's line still ends up counting all
    // of it: the line drawn below a log line is as new as that line.
    bool counted = false, thumbnails = false;
    for (const std::string& part : split(run.output, Erase)) {
        if (part.find('\n') != std::string::npos) {
            EXPECT_EQ(part.find(" | "), std::string::npos) << "the line ended in a log line";
            continue;
        }
        counted = counted || (part.rfind("alt.small: ", 0) == 0 &&
                              part.find(" 4/4 articles") != std::string::npos);
        thumbnails = thumbnails || part.find("| making the last thumbnails: ") != std::string::npos;
    }
    EXPECT_TRUE(counted) << run.output;
    // The stage is there only when thumbnails were still being made as the run ended (the
    // worker may have finished these two before): then the line goes on through it.
    if (run.output.find("qmere-cli fetch: making the last thumbnails") != std::string::npos) {
        EXPECT_TRUE(thumbnails) << run.output;
    }

    post("alt.small", 8);
    run = runOnTerminal({"fetch", "--server", server, "alt.small"}, "dumb");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find('\x1b'), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find(" articles/s"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Run ended: 1 group, 4 articles, 2 pictures"), std::string::npos)
        << run.output;
}

TEST_F(ProgressLine, APipeGetsNoControlsQuietOnlyTheSummaryAndTheSavedSelectionIsFetched) {
    post("alt.pics", 4);
    post("alt.other", 2);
    const std::string server = start(0);

    CliRun r = runCli(m_dir, {"fetch", "--server", server, "alt.pics"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_NE(r.out.find("Decoded file "), std::string::npos) << r.out;
    const std::size_t summary = r.out.rfind("Run ended: 1 group, 4 articles, 2 pictures, ");
    ASSERT_NE(summary, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\n', summary), r.out.size() - 1) << "not the last line";

    // Nothing selected (the saved server's selection is empty) and no GROUP: an error.
    r = runCli(m_dir, {"fetch"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.err.find("No news group is selected."), std::string::npos) << r.err;

    // A timer's run: the saved server and its groups to retrieve, quiet.
    m_dir.write("data/qmere/127.0.0.1/Groups.fet", "alt.other\nalt.pics\n.\n");
    post("alt.pics", 6);  // two new articles, one a picture
    r = runCli(m_dir, {"fetch", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Run ended: 2 groups, 4 articles, 2 pictures, ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    EXPECT_EQ(m_dir.read("data/qmere/alt.other/Last"), "2");
    EXPECT_EQ(m_dir.read("data/qmere/alt.pics/Last"), "6");

    // Quiet still says what failed.
    m_server.reset();
    r = runCli(m_dir, {"fetch", "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out.rfind("Run ended: 2 groups, 0 articles, 0 pictures, 0 bytes in ", 0), 0u)
        << r.out;
}

// The line never reaches the last column whatever the width, never cuts a character in two
// and never lets a group name move the cursor.
TEST(ProgressLineText, FitsEveryWidthWithoutControlsOrCutCharacters) {
    RunFigures figures;
    figures.groups.push_back({"alt.bilder.\xc3\xa4\xc3\xb6\xc3\xbc", 40, 12, 3, 0, 0});
    figures.groups.push_back({"alt.evil\r\x1b[2J", std::nullopt, 0, 0, 0, 0});
    figures.articlesPerSecond = 12.5;
    figures.bytesPerSecond = 3 * 1024 * 1024;
    figures.secondsLeft = 3725;
    const std::string full = cli::progressLine(figures, 500);
    EXPECT_EQ(full,
              "alt.bilder.\xc3\xa4\xc3\xb6\xc3\xbc: 12/40 articles, 3 pictures; "
              "alt.evil??[2J: ? articles, 0 pictures | 12.5 articles/s, 3.00 MB/s, 1:02:05 left");
    for (int width = 1; width <= static_cast<int>(full.size()) + 2; ++width) {
        const std::string line = cli::progressLine(figures, width);
        ASSERT_LE(line.size(), static_cast<std::size_t>(std::max(width - 1, 1))) << width;
        for (char c : line) ASSERT_GE(static_cast<unsigned char>(c), 0x20) << width;
        if (!line.empty()) {
            ASSERT_NE(static_cast<unsigned char>(line.back()) & 0xC0, 0xC0) << line;
        }
        // Where the groups are cut, the rates stay whole.
        if (line.find("...") != std::string::npos) {
            EXPECT_NE(line.find(" | 12.5 articles/s, 3.00 MB/s, 1:02:05 left"), std::string::npos);
        }
    }
    EXPECT_EQ(cli::progressLine(figures, 80),
              "alt.bilder.\xc3\xa4\xc3\xb6\xc3\xbc: 12/40 articles... | 12.5 articles/s, 3.00 "
              "MB/s, 1:02:05 left");
}

}  // namespace
}  // namespace qm::test
