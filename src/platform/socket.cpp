#include "platform/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

namespace qm {
namespace {

struct AddrInfoFree {
    void operator()(addrinfo* list) const noexcept { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

std::string errnoText(int code) {
    return std::generic_category().message(code);
}

void setIntOption(int fd, int level, int option, int value) {
    // Best effort: a socket without these options still works, only slower.
    (void)::setsockopt(fd, level, option, &value, sizeof value);
}

}  // namespace

int TcpStream::connect(std::string_view host, int port) {
    close();
    m_cancelled = false;
    m_peer = std::string(host) + ":" + std::to_string(port);
    m_lastError.clear();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string hostName(host);
    int rc = getaddrinfo(hostName.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        int error = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
        m_lastError = m_peer + ": " + (rc == EAI_SYSTEM ? errnoText(errno) : gai_strerror(rc));
        return error;
    }
    AddrInfoList list(found);
    int error = EHOSTUNREACH;
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        error = connectAddress(*a);
        if (error == 0) return 0;
        if (error == ECANCELED) break;
    }
    m_lastError = "connect to " + m_peer + ": " + errnoText(error);
    return error;
}

int TcpStream::connectAddress(const addrinfo& address) {
    UniqueFd fd(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                         address.ai_protocol));
    if (!fd) return errno;
    int raw = fd.get();
    {
        // From here on cancel() can reach the socket; one that came earlier wins.
        std::lock_guard lock(m_fdMutex);
        if (m_cancelled) return ECANCELED;
        m_fd = std::move(fd);
    }
    int error = 0;
    if (::connect(raw, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS && waitReady(raw, POLLOUT, error)) {
            socklen_t size = sizeof error;
            if (getsockopt(raw, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        }
    }
    if (error == 0 && m_cancelled) error = ECANCELED;
    if (error != 0) {
        close();
        return error;
    }
    setIntOption(raw, IPPROTO_TCP, TCP_NODELAY, 1);
    setIntOption(raw, IPPROTO_TCP, TCP_QUICKACK, 1);
    return 0;
}

bool TcpStream::isOpen() const {
    return descriptor() >= 0;
}

void TcpStream::close() {
    {
        std::lock_guard lock(m_fdMutex);
        m_fd.reset();
    }
    m_inPos = m_inEnd = 0;
    m_skipLf = m_afterFullLine = false;
    m_out.clear();
}

void TcpStream::cancel() {
    m_cancelled = true;
    std::lock_guard lock(m_fdMutex);
    // shutdown, not close: the owner may be inside recv() on this descriptor, and a closed
    // number could be reused by another thread's socket.
    if (m_fd) ::shutdown(m_fd.get(), SHUT_RDWR);
}

int TcpStream::descriptor() const {
    std::lock_guard lock(m_fdMutex);
    return m_fd.get();
}

bool TcpStream::waitReady(int fd, short events, int& error) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + m_timeout;
    for (;;) {
        if (m_cancelled || (m_stop && m_stop())) {
            error = ECANCELED;
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::min(left, PollSlice).count()) + 1);
        if (rc > 0) return true;  // readiness or an error; the next call tells which
        if (rc < 0 && errno != EINTR) {
            error = errno;
            return false;
        }
    }
}

void TcpStream::waitFor(short events, const char* operation) {
    int error = 0;
    if (!waitReady(descriptor(), events, error)) fail(error, operation);
}

void TcpStream::fail(int code, const char* operation) const {
    throw SocketError(code, std::string(operation) + " " + m_peer + ": " + errnoText(code));
}

bool TcpStream::fill() {
    const int fd = descriptor();
    if (fd < 0) fail(ENOTCONN, "reading from");
    for (;;) {
        if (m_cancelled) fail(ECANCELED, "reading from");
        ssize_t n = ::recv(fd, m_in, BufferSize, 0);
        if (n > 0) {
            m_inPos = 0;
            m_inEnd = static_cast<std::size_t>(n);
            // Linux clears quick-ack mode again; without it every multi-line reply of some
            // servers waits for our delayed acknowledgement (about 40 ms).
            setIntOption(fd, IPPROTO_TCP, TCP_QUICKACK, 1);
            return true;
        }
        if (n == 0) {
            if (m_cancelled) fail(ECANCELED, "reading from");
            return false;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            waitFor(POLLIN, "reading from");
        else if (errno != EINTR)
            fail(errno, "reading from");
    }
}

bool TcpStream::readLine(std::string& line) {
    line.clear();
    bool found = false;  // something of this line (a character or its line end) was read
    for (;;) {
        if (m_inPos == m_inEnd && !fill()) {
            m_skipLf = m_afterFullLine = false;
            return found;
        }
        const char first = m_in[m_inPos];
        if (m_skipLf) {
            m_skipLf = false;
            if (first == '\n') {
                ++m_inPos;
                continue;
            }
        }
        if (m_afterFullLine) {
            m_afterFullLine = false;
            if (first == '\n' || first == '\r') {
                ++m_inPos;
                m_skipLf = first == '\r';
                continue;
            }
        }
        const char* begin = m_in + m_inPos;
        const char* bufferEnd = m_in + m_inEnd;
        const char* end =
            begin + std::min<std::size_t>(bufferEnd - begin, MaxLineLength - line.size());
        const char* p = std::find_if(begin, end, [](char c) { return c == '\n' || c == '\r'; });
        line.append(begin, p);
        m_inPos += static_cast<std::size_t>(p - begin);
        if (p != end) {
            ++m_inPos;
            m_skipLf = *p == '\r';
            return true;
        }
        found = found || p != begin;
        if (line.size() == MaxLineLength) {
            m_afterFullLine = true;
            return true;
        }
    }
}

void TcpStream::write(std::string_view data) {
    if (m_out.size() + data.size() > BufferSize) flush();
    if (data.size() >= BufferSize) {
        sendAll(data.data(), data.size());
        return;
    }
    if (m_out.capacity() < BufferSize) m_out.reserve(BufferSize);
    m_out.append(data);
}

void TcpStream::writeLine(std::string_view text) {
    write(text);
    write("\r\n");
}

void TcpStream::flush() {
    std::string pending;
    pending.swap(m_out);  // a failed send leaves nothing half-buffered behind
    sendAll(pending.data(), pending.size());
    pending.clear();
    m_out.swap(pending);
}

void TcpStream::sendAll(const char* data, std::size_t size) {
    const int fd = descriptor();
    if (size > 0 && fd < 0) fail(ENOTCONN, "writing to");
    while (size > 0) {
        if (m_cancelled) fail(ECANCELED, "writing to");
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n >= 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitFor(POLLOUT, "writing to");
        } else if (errno != EINTR) {
            fail(m_cancelled ? ECANCELED : errno, "writing to");
        }
    }
}

}  // namespace qm
