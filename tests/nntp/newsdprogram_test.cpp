// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture tools as the demo, scripts and the benchmarks start them: programs that print
// their port, and the spool maker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "newsserver/spool.h"
#include "platform/socket.h"
#include "relay/relayoptions.h"
#include "support/tempdir.h"

extern char** environ;

namespace qm::newsd {
namespace {

// A tool started with a pipe on its standard output; killed and reaped when it goes.
class ToolProcess {
  public:
    ToolProcess(std::string program, std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), QM_BUILD_DIR "/tools/" + program);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = fdopen(out[0], "r");
    }
    ~ToolProcess() {
        if (m_pid > 0) terminate();
        if (m_out) std::fclose(m_out);
    }

    // The port of the "port N" line it starts with; 0 when there is none.
    int port() {
        int port = 0;
        return std::sscanf(firstLine().c_str(), "port %d", &port) == 1 ? port : 0;
    }
    std::string firstLine() {
        char buffer[256] = {};
        if (!m_out || !std::fgets(buffer, sizeof buffer, m_out)) return {};
        return buffer;
    }
    // Sends SIGTERM and returns the exit status.
    int terminate() {
        ::kill(m_pid, SIGTERM);
        return wait();
    }
    // Waits for the end and returns the exit status.
    int wait() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }
    bool started() const { return m_pid > 0; }

  private:
    pid_t m_pid = -1;
    std::FILE* m_out = nullptr;
};

TEST(NewsServerProgram, PrintsItsPortServesAndEndsOnTerm) {
    test::TempDir spool;
    writeSpoolArticle(spool.path(), "alt.demo", 1, "Subject: demo\n", "hello\n");
    ToolProcess newsd("newsserver/qmere-newsd",
                      {"--spool", spool.path(), "--port", "0", "--greeting", "201"});
    ASSERT_TRUE(newsd.started());
    std::string first = newsd.firstLine();
    int port = 0;
    ASSERT_EQ(std::sscanf(first.c_str(), "port %d", &port), 1) << first;
    TcpStream client;
    client.setTimeout(std::chrono::milliseconds(10000));
    ASSERT_EQ(client.connect("127.0.0.1", port), 0) << client.lastError();
    std::string line;
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line.substr(0, 4), "201 ");
    client.writeLine("GROUP alt.demo");
    client.flush();
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line, "211 1 1 1 alt.demo");
    int status = newsd.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

bool exitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(NewsServerProgram, RelayRelaysToTheServerAndEndsOnTerm) {
    test::TempDir spool;
    writeSpoolArticle(spool.path(), "alt.demo", 1, "Subject: demo\n", "hello\n");
    ToolProcess newsd("newsserver/qmere-newsd", {"--spool", spool.path()});
    const int serverPort = newsd.port();
    ASSERT_GT(serverPort, 0);
    ToolProcess relay("relay/qmere-relay",
                      {"--target", "127.0.0.1:" + std::to_string(serverPort), "--delay-ms", "5"});
    const int relayPort = relay.port();
    ASSERT_GT(relayPort, 0);
    TcpStream client;
    client.setTimeout(std::chrono::milliseconds(10000));
    ASSERT_EQ(client.connect("127.0.0.1", relayPort), 0) << client.lastError();
    std::string line;
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line.substr(0, 4), "200 ");
    client.writeLine("GROUP alt.demo");
    client.flush();
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line, "211 1 1 1 alt.demo");
    EXPECT_TRUE(exitedWith(relay.terminate(), 0));
    EXPECT_FALSE(client.readLine(line)) << "the relayed connection ends with the relay";
}

TEST(NewsServerProgram, MkspoolWritesTheSpoolItIsAskedForOrSaysWhy) {
    test::TempDir spool;
    ToolProcess made("newsserver/qmere-mkspool",
                     {"--spool", spool.path(), "--group", "alt.made", "--articles", "30",
                      "--picture-every", "10", "--encoding", "uu", "--article-kb", "5", "--start",
                      "2024-02-01", "--step-seconds", "60"});
    EXPECT_NE(made.firstLine().find("30 articles numbered 1-30, 3 pictures"), std::string::npos);
    EXPECT_TRUE(exitedWith(made.wait(), 0));
    const std::string tenth = spool.read("alt.made/10");
    EXPECT_NE(tenth.find("\nDate: Thu, 01 Feb 2024 00:09:00 +0000\n"), std::string::npos);
    EXPECT_NE(tenth.find("\n\nbegin 644 "), std::string::npos);
    EXPECT_EQ(spool.read("alt.made/31"), "<missing>");
    for (std::vector<std::string> bad : {std::vector<std::string>{"--articles", "5"},
                                         {"--spool", spool.path(), "--encoding", "base64"},
                                         {"--spool", spool.path(), "--start", "yesterday"},
                                         {"--spool", spool.path(), "--group", "../x"}}) {
        ToolProcess refused("newsserver/qmere-mkspool", bad);
        EXPECT_FALSE(exitedWith(refused.wait(), 0)) << bad.back();
    }
}

TEST(RelayArguments, AreParsedOrRejectedWithAReason) {
    using relay::parseRelayArguments;
    using relay::RelayOptions;
    const std::vector<std::pair<std::vector<std::string_view>, bool>> cases = {
        {{"--target", "127.0.0.1:119"}, true},
        {{"--target", "[::1]:119", "--port", "0", "--delay-ms", "20.5", "--rate-mbit", "100",
          "--queue-mb", "2"},
         true},
        {{}, false},
        {{"--target", "nohost"}, false},
        {{"--target", "h:0"}, false},
        {{"--target", "h:1", "--delay-ms", "-1"}, false},
        {{"--target", "h:1", "--rate-mbit", "fast"}, false},
        {{"--target", "h:1", "--delay-ms"}, false},
        {{"--target", "h:1", "--frobnicate", "1"}, false},
    };
    for (const auto& [args, valid] : cases) {
        auto parsed = parseRelayArguments(args);
        EXPECT_EQ(std::holds_alternative<RelayOptions>(parsed), valid) << args.size();
    }
    std::vector<std::string_view> full = {"--target", "[::1]:8119", "--delay-ms", "20.5"};
    auto options = std::get<RelayOptions>(parseRelayArguments(full));
    EXPECT_EQ(options.targetHost, "::1");
    EXPECT_EQ(options.targetPort, 8119);
    EXPECT_EQ(options.link.delay, std::chrono::microseconds(20500));
}

}  // namespace
}  // namespace qm::newsd
