#include "newsserver/newsserver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace qm::newsd {
namespace {

std::string errnoText(int code) {
    return std::generic_category().message(code);
}

Descriptor listenOn(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(rc));
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
    int error = EADDRNOTAVAIL;
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        Descriptor fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            error = errno;
            continue;
        }
        int on = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd.get(), a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd.get(), 128) == 0)
            return fd;
        error = errno;
    }
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                             errnoText(error));
}

int boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace

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
    for (auto& c : connections)
        if (c->thread.joinable()) c->thread.join();
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
    connection->fd = std::move(client);
    Connection& c = *connection;
    m_connections.push_back(std::move(connection));
    c.thread = std::thread([this, &c] { serve(c); });
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
            if ((*it)->done) finished.splice(finished.end(), m_connections, it);
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
