// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/socket.h"

#include "platform/socketcompression.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
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

TcpStream::TcpStream() : m_in(std::make_unique<char[]>(ReceiveSize)) {}
TcpStream::~TcpStream() = default;

int TcpStream::connect(std::string_view host, int port, const TlsOptions& tls) {
    close();
    m_cancelled = false;
    m_peer = std::string(host) + ":" + std::to_string(port);
    m_wireIn = 0;
    m_lastError.clear();
    m_lastReason.clear();
    m_refusal.reset();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string hostName(host);
    int rc = getaddrinfo(hostName.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        const int error = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
        const std::string why = rc == EAI_SYSTEM ? errnoText(error) : gai_strerror(rc);
        m_lastError = m_peer + ": " + why;
        m_lastReason = "cannot resolve " + hostName + ": " + why;
        return error;
    }
    AddrInfoList list(found);
    int error = EHOSTUNREACH;
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        error = connectAddress(*a);
        if (error == 0) {
            if (!tls.enabled) return 0;
            error = startTls(host, tls);
            if (error != 0) m_lastReason = m_lastError;
            return error;
        }
        if (error == ECANCELED) break;
    }
    m_lastError = "connect to " + m_peer + ": " + errnoText(error);
    // "connection refused", as it reads inside a sentence.
    std::string why = errnoText(error);
    if (!why.empty())
        why.front() = static_cast<char>(std::tolower(static_cast<unsigned char>(why.front())));
    m_lastReason = "cannot connect to " + hostName + " port " + std::to_string(port) + ": " + why;
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
    // No close_notify: close() drops the connection as it is, and the server may be gone.
    m_ssl.reset();
    m_context.reset();
    m_tlsDescription.clear();
    {
        std::lock_guard lock(m_fdMutex);
        m_fd.reset();
    }
    m_compression.reset();
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

long TcpStream::receiveSome(int fd, char* buffer, std::size_t size, short& wait) {
    if (!m_ssl) {
        ssize_t n = ::recv(fd, buffer, size, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) wait = POLLIN;
        return n;
    }
    // SSL_read hands out what it has decrypted before it asks the socket again, so the poll
    // below only happens when it really needs bytes from the network.
    ERR_clear_error();
    const int n = SSL_read(m_ssl.get(), buffer, static_cast<int>(size));
    if (n > 0) return n;
    const int reason = SSL_get_error(m_ssl.get(), n);
    const int systemError = errno;
    switch (reason) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
            wait = POLLIN;
            return -1;
        case SSL_ERROR_WANT_WRITE:
            wait = POLLOUT;
            return -1;
        case SSL_ERROR_SYSCALL:
            if (m_cancelled) fail(ECANCELED, "reading from");
            if (systemError == 0) return 0;
            errno = systemError;
            return -1;
        default:
            if (m_cancelled) fail(ECANCELED, "reading from");
            failTls("reading from");
    }
}

long TcpStream::sendSome(int fd, const char* data, std::size_t size, short& wait) {
    if (!m_ssl) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) wait = POLLOUT;
        return n;
    }
    ERR_clear_error();
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
    const int n = SSL_write(m_ssl.get(), data, chunk);
    if (n > 0) return n;
    const int reason = SSL_get_error(m_ssl.get(), n);
    const int systemError = errno;
    if (reason == SSL_ERROR_WANT_WRITE || reason == SSL_ERROR_WANT_READ) {
        // A retried SSL_write must be given the same bytes again: sendAll keeps them.
        wait = reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return -1;
    }
    if (m_cancelled) fail(ECANCELED, "writing to");
    if (reason == SSL_ERROR_SYSCALL) {
        errno = systemError != 0 ? systemError : EPIPE;
        return -1;
    }
    failTls("writing to");
}

bool TcpStream::fill() {
    if (m_compression) return fillInflated();
    const std::size_t n = receive(m_in.get(), ReceiveSize);
    if (n == 0) return false;
    m_inPos = 0;
    m_inEnd = n;
    return true;
}

std::size_t TcpStream::receive(char* buffer, std::size_t size) {
    const int fd = descriptor();
    if (fd < 0) fail(ENOTCONN, "reading from");
    for (;;) {
        if (m_cancelled) fail(ECANCELED, "reading from");
        short wait = 0;
        const long n = receiveSome(fd, buffer, size, wait);
        if (n > 0) {
            m_wireIn += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            if (m_cancelled) fail(ECANCELED, "reading from");
            return 0;
        }
        if (wait == POLLIN) {
            // An acknowledgement we delay while we wait would hold back the rest of a reply
            // the server does not send before it (about 40 ms for some servers): it goes
            // out now. Linux leaves quick-ack mode again by itself, so this is done before
            // every wait; a receive that finds data waiting needs none.
            setIntOption(fd, IPPROTO_TCP, TCP_QUICKACK, 1);
        }
        if (wait != 0)
            waitFor(wait, "reading from");
        else if (errno != EINTR)
            fail(errno, "reading from");
    }
}

bool TcpStream::readLine(std::string& line) {
    std::string_view view;
    const bool got = readLine(view);
    line.assign(view);
    return got;
}

bool TcpStream::readLongLine(std::string& line, std::size_t limit) {
    std::string_view piece;
    if (!readLine(piece)) return false;
    line.assign(piece.substr(0, limit));
    // A piece of full length leaves the line open: it goes on unless a line end follows.
    while (m_afterFullLine) {
        if (m_inPos == m_inEnd && !fill()) break;
        const char next = m_in[m_inPos];
        if (next == '\n' || next == '\r') break;  // the next readLine takes that line end
        m_afterFullLine = false;
        if (!readLine(piece)) break;
        if (line.size() < limit) line.append(piece.substr(0, limit - line.size()));
    }
    return true;
}

bool TcpStream::readLineInPieces(std::string_view& line) {
    m_pieces.clear();
    bool found = false;  // something of this line (a character or its line end) was read
    for (;;) {
        if (m_inPos == m_inEnd && !fill()) {
            m_skipLf = m_afterFullLine = false;
            line = m_pieces;
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
        const char* begin = m_in.get() + m_inPos;
        const std::size_t room = MaxLineLength - m_pieces.size();
        const std::size_t available = std::min<std::size_t>(m_inEnd - m_inPos, room);
        // The search never looks further than one line may be long, so a stream of bare CRs
        // costs no more than one of whole lines.
        const char* end = begin + available;
        const char* p = static_cast<const char*>(std::memchr(begin, '\n', available));
        if (!p) p = end;
        if (const void* cr = std::memchr(begin, '\r', static_cast<std::size_t>(p - begin)))
            p = static_cast<const char*>(cr);
        const std::size_t length = static_cast<std::size_t>(p - begin);
        const bool ended = p != end;
        if (ended || length == room) {
            if (m_pieces.empty()) {
                line = std::string_view(begin, length);
            } else {
                m_pieces.append(begin, length);
                line = m_pieces;
            }
            m_inPos += length;
            if (ended) {
                ++m_inPos;
                // A CR LF whole in the buffer is taken at once; leaving its LF behind would
                // send every later line down this slower path as well.
                m_skipLf = *p == '\r';
                if (m_skipLf && m_inPos < m_inEnd && m_in[m_inPos] == '\n') {
                    ++m_inPos;
                    m_skipLf = false;
                }
            } else {
                m_afterFullLine = true;
            }
            return true;
        }
        m_pieces.append(begin, length);
        m_inPos += length;
        found = found || length != 0;
    }
}

void TcpStream::write(std::string_view data) {
    if (m_out.size() + data.size() > BufferSize) flush();
    if (data.size() >= BufferSize && !m_compression) {
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
    if (m_compression)
        sendCompressed(pending);
    else
        sendAll(pending.data(), pending.size());
    pending.clear();
    m_out.swap(pending);
}

void TcpStream::sendAll(const char* data, std::size_t size) {
    const int fd = descriptor();
    if (size > 0 && fd < 0) fail(ENOTCONN, "writing to");
    while (size > 0) {
        if (m_cancelled) fail(ECANCELED, "writing to");
        short wait = 0;
        const long n = sendSome(fd, data, size, wait);
        if (n >= 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (wait != 0) {
            waitFor(wait, "writing to");
        } else if (errno != EINTR) {
            fail(m_cancelled ? ECANCELED : errno, "writing to");
        }
    }
}

}  // namespace qm
