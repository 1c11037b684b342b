// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-relay: the delaying relay as a program, for scripts and the benchmarks.
// Prints "port N" as its first line, then relays until SIGINT or SIGTERM, and on the way out
// how many bytes went each way.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "relay/relayoptions.h"

int main(int argc, char** argv) {
    using namespace qm::relay;
    std::vector<std::string_view> args(argv + 1, argv + argc);
    auto parsed = parseRelayArguments(args);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        const bool help = *error == "help";
        if (!help) std::fprintf(stderr, "qmere-relay: %s\n", error->c_str());
        std::fputs(RelayUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    // Blocked before any thread starts, so that only sigwait below receives them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    RelayServer relay(std::get<RelayOptions>(std::move(parsed)));
    try {
        relay.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qmere-relay: %s\n", e.what());
        return 1;
    }
    std::printf("port %d\n", relay.port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    relay.stop();
    std::fprintf(stderr, "qmere-relay: %d connections, %llu bytes to the server, %llu to clients\n",
                 relay.connections(),
                 static_cast<unsigned long long>(relay.delivered(DelayedLink::AtoB)),
                 static_cast<unsigned long long>(relay.delivered(DelayedLink::BtoA)));
    return 0;
}
