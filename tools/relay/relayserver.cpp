// SPDX-License-Identifier: GPL-3.0-or-later
#include "relay/relayserver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "relay/tcp.h"

namespace qm::relay {
namespace {

constexpr std::chrono::milliseconds ConnectLimit{10000};

}  // namespace

RelayServer::RelayServer(RelayOptions options)
    : m_options(std::move(options)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_wake)
        throw std::system_error(errno, std::generic_category(), "cannot make a wake-up event");
}

RelayServer::~RelayServer() {
    stop();
}

void RelayServer::start() {
    if (m_acceptThread.joinable()) throw std::logic_error("RelayServer started twice");
    m_listener = listenOn(m_options.host, m_options.port);
    m_port = boundPort(m_listener.get());
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

void RelayServer::stop() {
    const std::uint64_t one = 1;
    (void)!::write(m_wake.get(), &one, sizeof one);
    if (m_acceptThread.joinable()) m_acceptThread.join();
    std::list<std::unique_ptr<DelayedLink>> links;
    {
        std::lock_guard lock(m_mutex);
        links.swap(m_links);
    }
    for (auto& link : links) link->stop();
    std::lock_guard lock(m_mutex);
    for (auto& link : links)
        for (int d : {DelayedLink::AtoB, DelayedLink::BtoA})
            m_reapedBytes[d] += link->delivered(static_cast<DelayedLink::Direction>(d));
    m_listener.reset();
}

void RelayServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_wake.get(), POLLIN, 0}, {m_listener.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (!fds[1].revents) continue;
        Descriptor client(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) {
            // Out of descriptors or an aborted handshake: back off a little, keep relaying.
            if (errno != EINTR && errno != ECONNABORTED)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        reapFinished();
        join(std::move(client));
    }
}

void RelayServer::join(Descriptor client) {
    Descriptor target;
    try {
        target = connectTo(m_options.targetHost, m_options.targetPort, ConnectLimit);
    } catch (const std::exception& e) {
        // The client sees its connection end at once, as it would if the server refused it.
        std::fprintf(stderr, "qmere-relay: %s\n", e.what());
        return;
    }
    auto link = std::make_unique<DelayedLink>(std::move(client), std::move(target), m_options.link);
    std::lock_guard lock(m_mutex);
    m_links.push_back(std::move(link));
    ++m_joined;
}

void RelayServer::reapFinished() {
    std::list<std::unique_ptr<DelayedLink>> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_links.begin(); it != m_links.end();) {
            auto next = std::next(it);
            if ((*it)->finished()) {
                for (int d : {DelayedLink::AtoB, DelayedLink::BtoA})
                    m_reapedBytes[d] += (*it)->delivered(static_cast<DelayedLink::Direction>(d));
                finished.splice(finished.end(), m_links, it);
            }
            it = next;
        }
    }
}

int RelayServer::connections() const {
    std::lock_guard lock(m_mutex);
    return m_joined;
}

std::uint64_t RelayServer::delivered(DelayedLink::Direction direction) const {
    std::lock_guard lock(m_mutex);
    std::uint64_t total = m_reapedBytes[direction];
    for (const auto& link : m_links) total += link->delivered(direction);
    return total;
}

}  // namespace qm::relay
