// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The fixture news server: serves the articles of a spool folder over NNTP on a loopback
// port, one thread per connection, for tests, the demo and the benchmarks.
//
// The owner (a test or qmere-newsd's main) calls start() and stop() from one thread; the
// queries (port, commands, counts) may be called from any thread. The server owns its
// listening socket, every connection socket and every thread: stop() (and the destructor)
// shuts every socket down and joins every thread, promptly even while a client is silent or
// a reply is paused. m_mutex guards the connection list and the command record. With a
// latency, each session talks to its client through a DelayedLink of its own.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "newsserver/descriptor.h"
#include "newsserver/newsserveroptions.h"
#include "newsserver/newssession.h"
#include "newsserver/spool.h"
#include "relay/delayedlink.h"

namespace qm::newsd {

class NewsServer final : private SessionHost {
  public:
    explicit NewsServer(NewsServerOptions options);
    ~NewsServer();
    NewsServer(const NewsServer&) = delete;
    NewsServer& operator=(const NewsServer&) = delete;

    // Binds and listens on options.host and options.port and starts accepting. Throws
    // std::runtime_error with the reason when the address cannot be bound. Call once.
    void start();
    // The port listened on (the chosen one when options.port was 0); 0 before start().
    int port() const { return m_port.load(); }
    void stop();

    // Every command line received, in order of arrival, over all connections.
    std::vector<std::string> commands() const;
    // The command lines of one connection (numbered from 1 in order of acceptance).
    std::vector<std::string> commands(int connection) const;
    void clearCommands();
    // Connections served so far; connections refused for the limit are not counted.
    int connectionsAccepted() const;
    int connectionsRefused() const { return m_refused.load(); }

  private:
    struct Connection {
        int id = 0;
        Descriptor fd;  // the session's end: the client's socket, or the link's inner end
        std::unique_ptr<relay::DelayedLink> link;  // with latency: between client and fd
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void accept(Descriptor client);
    // The session's end of a new connection: the client itself, or with latency the inner
    // end of a delaying link to it.
    Descriptor sessionEnd(Descriptor client, std::unique_ptr<relay::DelayedLink>& link);
    void serve(Connection& connection);
    void reapFinished();
    void recordCommand(int connection, std::string_view line) override;
    bool pause(std::chrono::milliseconds time) override;

    const NewsServerOptions m_options;
    const Spool m_spool;
    Descriptor m_listener;
    std::atomic<int> m_port{0};
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_refused{0};

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;                        // pauses wait on it
    std::list<std::unique_ptr<Connection>> m_connections;  // guarded by m_mutex
    std::vector<std::pair<int, std::string>> m_commands;   // guarded by m_mutex
    int m_accepted = 0;                                    // guarded by m_mutex
};

}  // namespace qm::newsd
