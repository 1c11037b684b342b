// The fixture server as the demo and the benchmarks start it: a program that prints its port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "newsserver/spool.h"
#include "platform/socket.h"
#include "support/tempdir.h"

extern char** environ;

namespace qm::newsd {
namespace {

// qmere-newsd started with a pipe on its standard output; killed and reaped when it goes.
class NewsdProcess {
  public:
    explicit NewsdProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), QM_BUILD_DIR "/tools/newsserver/qmere-newsd");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = fdopen(out[0], "r");
    }
    ~NewsdProcess() {
        if (m_pid > 0) terminate();
        if (m_out) std::fclose(m_out);
    }

    std::string firstLine() {
        char buffer[256] = {};
        if (!m_out || !std::fgets(buffer, sizeof buffer, m_out)) return {};
        return buffer;
    }
    // Sends SIGTERM and returns the exit status.
    int terminate() {
        ::kill(m_pid, SIGTERM);
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
    NewsdProcess newsd({"--spool", spool.path(), "--port", "0", "--greeting", "201"});
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

}  // namespace
}  // namespace qm::newsd
