// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/newsserver.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "relay/tcp.h"

namespace qm::newsd {

using relay::boundPort;
using relay::listenOn;

NewsServer::NewsServer(NewsServerOptions options)
    : m_options(std::move(options)), m_spool(m_options.spool) {}

NewsServer::~NewsServer() {
    stop();
}

void NewsServer::start() {
    if (m_acceptThread.joinable()) throw std::logic_error("NewsServer started twice");
    m_listener = listenOn(m_options.host, m_options.port);
    m_port = boundPort(m_listener.get());
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

void NewsServer::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_listener) ::shutdown(m_listener.get(), SHUT_RDWR);
    if (m_acceptThread.joinable()) m_acceptThread.join();
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard lock(m_mutex);
        for (auto& c : m_connections) ::shutdown(c->fd.get(), SHUT_RDWR);
        connections.swap(m_connections);
    }
    for (auto& c : connections) {
        if (c->link) c->link->stop();
        if (c->thread.joinable()) c->thread.join();
    }
    m_listener.reset();
}

void NewsServer::acceptLoop() {
    while (!m_stopping) {
        pollfd p{m_listener.get(), POLLIN, 0};
        // The slice bounds how long a stop could go unnoticed if shutdown() did not wake us.
        int rc = ::poll(&p, 1, 200);
        if (rc <= 0 || m_stopping) continue;
        Descriptor client(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client) {
            // Out of descriptors or an aborted handshake: back off a little, keep serving.
            if (errno != EINTR && errno != ECONNABORTED)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        accept(std::move(client));
    }
}

void NewsServer::accept(Descriptor client) {
    reapFinished();
    int on = 1;
    setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(m_mutex);
    auto active = std::count_if(m_connections.begin(), m_connections.end(),
                                [](const auto& c) { return !c->done; });
    if (m_options.maxConnections > 0 && active >= m_options.maxConnections) {
        static constexpr char refusal[] = "400 Too many connections\r\n";
        (void)::send(client.get(), refusal, sizeof refusal - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ++m_refused;
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->id = ++m_accepted;
    connection->fd = sessionEnd(std::move(client), connection->link);
    if (!connection->fd) return;
    Connection& c = *connection;
    m_connections.push_back(std::move(connection));
    c.thread = std::thread([this, &c] { serve(c); });
}

Descriptor NewsServer::sessionEnd(Descriptor client, std::unique_ptr<relay::DelayedLink>& link) {
    if (m_options.latencyMs <= 0) return client;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return Descriptor();
    Descriptor inner(pair[0]);
    relay::LinkOptions options;
    options.delay = std::chrono::milliseconds(m_options.latencyMs);
    link = std::make_unique<relay::DelayedLink>(std::move(client), Descriptor(pair[1]), options);
    return inner;
}

void NewsServer::serve(Connection& connection) {
    NewsSession session(connection.fd.get(), connection.id, m_options, m_spool, *this);
    session.run();
    // Counted as ended before the client can see the end of the stream, so a client that
    // reconnects at once is not refused for the limit; the descriptor is closed by the reaper.
    connection.done = true;
    ::shutdown(connection.fd.get(), SHUT_RDWR);
}

void NewsServer::reapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto next = std::next(it);
            // A link may still be delivering the last replies of a session that has ended.
            const bool delivered = !(*it)->link || (*it)->link->finished();
            if ((*it)->done && delivered) finished.splice(finished.end(), m_connections, it);
            it = next;
        }
    }
    for (auto& c : finished) c->thread.join();  // closes the socket as the record goes
}

void NewsServer::recordCommand(int connection, std::string_view line) {
    std::lock_guard lock(m_mutex);
    m_commands.emplace_back(connection, std::string(line));
}

bool NewsServer::pause(std::chrono::milliseconds time) {
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, time, [this] { return m_stopping.load(); });
}

std::vector<std::string> NewsServer::commands() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> lines;
    for (const auto& [connection, line] : m_commands) lines.push_back(line);
    return lines;
}

std::vector<std::string> NewsServer::commands(int connection) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> lines;
    for (const auto& [c, line] : m_commands)
        if (c == connection) lines.push_back(line);
    return lines;
}

void NewsServer::clearCommands() {
    std::lock_guard lock(m_mutex);
    m_commands.clear();
}

int NewsServer::connectionsAccepted() const {
    std::lock_guard lock(m_mutex);
    return m_accepted;
}

}  // namespace qm::newsd
