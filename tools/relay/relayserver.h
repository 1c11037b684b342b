// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The delaying relay: accepts clients on a loopback port and joins each one to a connection of
// its own to the target server through a DelayedLink, so that any server (INN included)
// seems as far away, and as narrow, as the options say.
//
// The owner (a test, a benchmark or qmere-relay's main) calls start() and stop() from one
// thread; the queries may be called from any thread. The relay owns its listening socket, the
// accepting thread and every link; stop() (and the destructor) ends them all promptly.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "relay/delayedlink.h"

namespace qm::relay {

struct RelayOptions {
    std::string host = "127.0.0.1";  // listened on
    int port = 0;                    // 0: any free port
    std::string targetHost;
    int targetPort = 0;
    LinkOptions link;
};

class RelayServer {
  public:
    explicit RelayServer(RelayOptions options);
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Listens and starts accepting; throws std::runtime_error when the address cannot be
    // bound. The target is connected to for each client as it arrives. Call once.
    void start();
    // The port listened on (the chosen one when options.port was 0); 0 before start().
    int port() const { return m_port.load(); }
    void stop();

    // Clients joined to the target so far; clients whose target connection failed are not.
    int connections() const;
    // Bytes delivered towards the target (AtoB) or towards the clients (BtoA), all links.
    std::uint64_t delivered(DelayedLink::Direction direction) const;

  private:
    void acceptLoop();
    void join(Descriptor client);
    void reapFinished();

    const RelayOptions m_options;
    Descriptor m_listener;
    Descriptor m_wake;  // an eventfd, readable once stop() was called
    std::atomic<int> m_port{0};
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::list<std::unique_ptr<DelayedLink>> m_links;  // guarded by m_mutex
    std::uint64_t m_reapedBytes[2] = {0, 0};          // guarded: of links already gone
    int m_joined = 0;                                 // guarded by m_mutex
};

}  // namespace qm::relay
