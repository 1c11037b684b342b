// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A blocking TCP client stream with a buffered line reader and a buffered writer, as the NNTP
// connection uses it; optionally with implicit TLS (the handshake follows the TCP connect).
//
// Owned by one connection (one worker thread), which calls every operation except cancel().
// cancel() may be called from any other thread at any time: it makes a connect, read or write
// in progress (or the next one) fail at once. No lock needs to be held by callers; the
// descriptor is guarded by an internal mutex only against cancel().
//
// Errors: connect() returns an errno value (0 on success) and keeps a text in lastError();
// reads and writes throw SocketError (errno and a text with the peer and the operation) for
// failures other than the end of the stream: a broken connection, the time-out, cancel() or
// the stop predicate. Exceptions thrown by the stop predicate itself pass through unchanged.
// A TLS failure of connect() is EPROTO; a refused certificate also fills certificateRefusal().
// After startCompression() both directions are deflate streams (RFC 8054) on top of TCP or
// TLS; the line reader and writer above them are unchanged.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/file.h"

struct addrinfo;
struct ssl_st;
struct ssl_ctx_st;

namespace qm {

class SocketError : public std::runtime_error {
  public:
    SocketError(int code, const std::string& what) : std::runtime_error(what), m_code(code) {}
    // The errno value: ETIMEDOUT for the time-out, ECANCELED for cancel() and the stop
    // predicate, otherwise what the system reported.
    int code() const { return m_code; }

  private:
    int m_code;
};

// What connect() does after the TCP connect.
struct TlsOptions {
    bool enabled = false;
    // The SHA-256 fingerprint of one certificate the user trusts for this server even though
    // it does not verify (hex, colons and case do not matter).
    std::string pinnedSha256;
    // Authorities (a PEM file) trusted besides the system's; empty: the system's only.
    std::string caFile;
};

// Why the server's certificate was refused.
struct CertificateRefusal {
    std::string reason;       // "certificate has expired", "hostname mismatch", ...
    std::string fingerprint;  // SHA-256 of the certificate, "AB:CD:..."
};

// The SHA-256 fingerprint in the form shown to the user: upper-case hex pairs with colons.
// Empty when text is not 32 hex bytes.
std::string normalizedFingerprint(std::string_view text);

class TcpStream {
  public:
    static constexpr std::size_t BufferSize = 4096;  // for writes
    // One receive takes up to this much: a 60 KB article body arrives in one or two calls.
    static constexpr std::size_t ReceiveSize = 64 * 1024;
    static constexpr std::size_t MaxLineLength = 2048;
    static constexpr std::chrono::milliseconds DefaultTimeout{120000};
    // The longest a blocked call waits before it looks at the stop predicate and the cancel
    // flag again.
    static constexpr std::chrono::milliseconds PollSlice{200};

    TcpStream();
    ~TcpStream();
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Resolves host (IPv4 or IPv6) and connects to the first address that accepts, with
    // TCP_NODELAY set. Returns 0, or the errno of the last failed connect (ETIMEDOUT when the
    // time-out passed, ECANCELED when cancelled or stopped, EHOSTUNREACH when the name does
    // not resolve). An open stream is closed first. Clears an earlier cancel().
    // With tls.enabled the TLS handshake follows (SNI and the host name checked against the
    // certificate, the system's authorities); any TLS failure returns EPROTO and closes.
    [[nodiscard]] int connect(std::string_view host, int port, const TlsOptions& tls = {});
    bool isOpen() const;
    // Closes the descriptor and drops buffered data in both directions (nothing is flushed).
    void close();
    // Shuts the connection down in both directions (from any thread) and marks the stream
    // cancelled, so that blocked and later calls fail with ECANCELED until the next connect.
    void cancel();

    // How long a connect, or a wait for the next byte to arrive or to be sent, may take.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    // Asked at least every PollSlice while a call waits; true makes the call fail (ECANCELED).
    void setStopPredicate(std::function<bool()> stop) { m_stop = std::move(stop); }

    // Reads the next line into line (without its line end). A line ends at LF, at CR, or at
    // CR LF; at most MaxLineLength characters are taken, and a longer line arrives as several
    // lines (a line end right after a full-length piece belongs to that piece). Returns false
    // at the end of the stream when nothing was read; a last line without a line end is
    // returned as a line.
    bool readLine(std::string& line);
    // The same, without a copy: line views the receive buffer (or an internal piece buffer
    // for a line that arrived in pieces) and stays valid until the next read.
    bool readLine(std::string_view& line) {
        // The common line, whole in the buffer and ended by LF or CR LF with no other CR, is
        // taken here; everything else (pieces, bare CRs, long lines) by the general reader.
        if (!m_skipLf && !m_afterFullLine) {
            if (const std::size_t used = takePlainLine(
                    std::string_view(m_in.get() + m_inPos, m_inEnd - m_inPos), line)) {
                m_inPos += used;
                return true;
            }
        }
        return readLineInPieces(line);
    }

    // Reads the next line whole, however long: its first limit characters go to line, the
    // rest is read and dropped. Otherwise as readLine (false only at the end of the stream
    // with nothing read).
    bool readLongLine(std::string& line, std::size_t limit);

    // The common line at the start of data: whole, ended by LF or CR LF, with no other CR
    // and at most MaxLineLength long. Sets line to it (without its line end) and returns the
    // bytes it takes up; 0 when data does not start with such a line.
    static std::size_t takePlainLine(std::string_view data, std::string_view& line) {
        const char* begin = data.data();
        const void* found = std::memchr(begin, '\n', std::min(data.size(), MaxLineLength));
        if (!found) return 0;
        const char* lf = static_cast<const char*>(found);
        const char* end = lf != begin && lf[-1] == '\r' ? lf - 1 : lf;
        const auto length = static_cast<std::size_t>(end - begin);
        if (std::memchr(begin, '\r', length)) return 0;
        line = std::string_view(begin, length);
        return static_cast<std::size_t>(lf - begin) + 1;
    }

    // What has been received and not read yet, for a caller that takes many lines at once;
    // empty while the end of the last line read is still pending (its LF, or the line end
    // after a full-length piece), so that what it holds always starts a new line.
    std::string_view buffered() const {
        if (m_skipLf || m_afterFullLine) return {};
        return std::string_view(m_in.get() + m_inPos, m_inEnd - m_inPos);
    }
    // Marks count bytes of buffered() as read; they must end with a line end.
    void consume(std::size_t count) { m_inPos += std::min(count, m_inEnd - m_inPos); }

    // From now on everything written is deflated and everything received inflated, as after
    // a "206" reply to COMPRESS DEFLATE: what was received beyond the line read last is the
    // start of the peer's compressed stream. Until the next connect or close.
    void startCompression();
    bool compressing() const { return m_compression != nullptr; }
    // Bytes received from the network since the connect, as they crossed it (compressed
    // while compressing): what the line cost, for measurements.
    std::uint64_t wireBytesReceived() const { return m_wireIn; }

    // Buffers data and sends it whenever the buffer fills.
    void write(std::string_view data);
    // write(text) followed by CR LF.
    void writeLine(std::string_view text);
    // Sends everything buffered.
    void flush();

    // "host:port" of the current or last connection, for messages.
    const std::string& peer() const { return m_peer; }
    // Why the last connect failed.
    const std::string& lastError() const { return m_lastError; }
    // The same in words for the user: "cannot resolve HOST: Name or service not known",
    // "cannot connect to HOST port PORT: connection refused", or the TLS failure.
    const std::string& lastReason() const { return m_lastReason; }
    // Set when the last connect failed because the certificate was refused.
    const std::optional<CertificateRefusal>& certificateRefusal() const { return m_refusal; }
    // "TLS <version> <cipher>" of the open connection; empty for plain TCP.
    const std::string& tlsDescription() const { return m_tlsDescription; }

  private:
    struct Compression;  // platform/socketcompression.h
    struct SslFree {
        void operator()(::ssl_st* ssl) const noexcept;
    };
    struct SslContextFree {
        void operator()(::ssl_ctx_st* context) const noexcept;
    };

    int connectAddress(const ::addrinfo& address);
    // The handshake and the certificate check on the connected descriptor; 0 or an errno.
    int startTls(std::string_view host, const TlsOptions& options);
    int handshake(int fd);
    int checkCertificate(const TlsOptions& options);
    // One recv or SSL_read into buffer: the bytes read, 0 at the end of the stream, or -1
    // with the event to wait for in wait.
    long receiveSome(int fd, char* buffer, std::size_t size, short& wait);
    // Receives what the network has (waiting for it) into buffer; 0 at the end of the stream.
    std::size_t receive(char* buffer, std::size_t size);
    // One send or SSL_write, likewise.
    long sendSome(int fd, const char* data, std::size_t size, short& wait);
    [[noreturn]] void failTls(const char* operation) const;
    // Waits in slices until fd is ready for events; false with error set on time-out
    // (ETIMEDOUT), cancel or stop (ECANCELED) or a failed poll.
    bool waitReady(int fd, short events, int& error);
    // waitReady on the stream's descriptor, throwing SocketError instead of returning false.
    void waitFor(short events, const char* operation);
    // Refills the receive buffer with the next bytes of the stream; false at its end.
    bool fill();
    // fill() while compressing: inflates what was received (socketcompression.cpp).
    bool fillInflated();
    // Deflates data and sends it (socketcompression.cpp).
    void sendCompressed(std::string_view data);
    bool readLineInPieces(std::string_view& line);
    void sendAll(const char* data, std::size_t size);
    [[noreturn]] void fail(int code, const char* operation) const;
    int descriptor() const;

    mutable std::mutex m_fdMutex;  // guards m_fd against cancel() from other threads
    UniqueFd m_fd;
    std::atomic<bool> m_cancelled{false};
    std::chrono::milliseconds m_timeout = DefaultTimeout;
    std::function<bool()> m_stop;
    std::string m_peer;
    std::string m_lastError;
    std::string m_lastReason;
    std::optional<CertificateRefusal> m_refusal;
    std::string m_tlsDescription;
    // Touched only by the owner thread: cancel() reaches a TLS connection through its socket.
    std::unique_ptr<::ssl_ctx_st, SslContextFree> m_context;
    std::unique_ptr<::ssl_st, SslFree> m_ssl;

    std::unique_ptr<Compression> m_compression;  // owner thread only
    std::uint64_t m_wireIn = 0;

    std::unique_ptr<char[]> m_in;  // ReceiveSize bytes
    std::string m_pieces;          // a line that spans two receives
    std::size_t m_inPos = 0;
    std::size_t m_inEnd = 0;
    bool m_skipLf = false;         // the last line ended with CR: a following LF belongs to it
    bool m_afterFullLine = false;  // the last line was cut at MaxLineLength
    std::string m_out;
};

}  // namespace qm
