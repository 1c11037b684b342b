// SPDX-License-Identifier: GPL-3.0-or-later
#include "relay/tcp.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace qm::relay {
namespace {

using newsd::Descriptor;
using AddressList = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;

std::string errnoText(int code) {
    return std::generic_category().message(code);
}

AddressList resolve(const std::string& host, int port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) throw std::runtime_error("cannot resolve " + host + ": " + gai_strerror(rc));
    return AddressList(found, freeaddrinfo);
}

// 0 when the socket connected within the limit, else the errno.
int connectWithin(int fd, const addrinfo& address, std::chrono::milliseconds limit) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return errno;
        pollfd p{fd, POLLOUT, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(limit.count()));
        if (rc == 0) return ETIMEDOUT;
        socklen_t size = sizeof error;
        if (rc < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    }
    ::fcntl(fd, F_SETFL, flags);
    return error;
}

}  // namespace

Descriptor listenOn(const std::string& host, int port) {
    AddressList list = resolve(host, port, AI_PASSIVE);
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

Descriptor connectTo(const std::string& host, int port, std::chrono::milliseconds limit) {
    AddressList list = resolve(host, port, 0);
    int error = EADDRNOTAVAIL;
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        Descriptor fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            error = errno;
            continue;
        }
        error = connectWithin(fd.get(), *a, limit);
        if (error == 0) return fd;
    }
    throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port) + ": " +
                             errnoText(error));
}

}  // namespace qm::relay
