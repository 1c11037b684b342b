// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-newsd: the fixture news server as a program, for the demo and the benchmarks.
// Prints "port N" as its first line, then serves until SIGINT, SIGTERM or SIGHUP.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "newsserver/newsserver.h"

int main(int argc, char** argv) {
    using namespace qm::newsd;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    auto parsed = parseNewsServerArguments(args);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        bool help = *error == "help";
        if (!help) std::fprintf(stderr, "qmere-newsd: %s\n", error->c_str());
        std::fputs(NewsServerUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    // Blocked before any thread starts, so that only sigwait below receives them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    NewsServer server(std::get<NewsServerOptions>(std::move(parsed)));
    try {
        server.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qmere-newsd: %s\n", e.what());
        return 1;
    }
    std::printf("port %d\n", server.port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
