// SPDX-License-Identifier: GPL-3.0-or-later
// The TLS half of TcpStream: the handshake over the stream's own socket, the certificate and
// host-name checks with the fingerprint a user may trust instead, and OpenSSL's errors as text.
// The plain half (connect, buffered reads and writes, stop and deadline handling) is in
// socket.cpp; both share the stream's receive and send steps, which switch on m_ssl.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include "platform/socket.h"

namespace qm {
namespace {

std::string errnoText(int code) {
    return std::generic_category().message(code);
}

struct X509Free {
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
struct BioMethodFree {
    void operator()(BIO_METHOD* method) const noexcept { BIO_meth_free(method); }
};

// The oldest OpenSSL error of this thread as text, and the queue emptied.
std::string takeTlsError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "TLS protocol error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    // "error:0A00010B:SSL routines::wrong version number": the reason is the last part.
    std::string_view reason(text);
    if (auto colon = reason.rfind(':'); colon != std::string_view::npos)
        reason.remove_prefix(colon + 1);
    return std::string(reason);
}

// The socket side of a TLS connection. OpenSSL's own socket BIO writes with write(), which
// raises SIGPIPE on a connection the server closed; this one sends with MSG_NOSIGNAL.
int socketOf(BIO* bio) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

bool retryable(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int bioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t n = ::send(socketOf(bio), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n < 0 && retryable(errno)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t n = ::recv(socketOf(bio), data, static_cast<std::size_t>(size), 0);
    if (n < 0 && retryable(errno)) BIO_set_retry_read(bio);
    if (n == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);
    return static_cast<int>(n);
}

long bioControl(BIO* bio, int command, long, void*) {
    if (command == BIO_CTRL_FLUSH) return 1;  // nothing is buffered here
    if (command == BIO_CTRL_EOF) return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0;
    return 0;
}

const BIO_METHOD* socketBioMethod() {
    static const std::unique_ptr<BIO_METHOD, BioMethodFree> method = [] {
        std::unique_ptr<BIO_METHOD, BioMethodFree> m(
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qm socket"));
        if (m) {
            BIO_meth_set_write(m.get(), bioWrite);
            BIO_meth_set_read(m.get(), bioRead);
            BIO_meth_set_ctrl(m.get(), bioControl);
        }
        return m;
    }();
    return method.get();
}

bool isAddressLiteral(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string certificateFingerprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return {};
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0) text += ':';
        text += Hex[digest[i] >> 4];
        text += Hex[digest[i] & 15];
    }
    return text;
}
}  // namespace

std::string normalizedFingerprint(std::string_view text) {
    std::string hex;
    for (char c : text) {
        if (c == ':' || std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64) return {};
    std::string result;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0) result += ':';
        result.append(hex, i, 2);
    }
    return result;
}

void TcpStream::SslFree::operator()(SSL* ssl) const noexcept {
    SSL_free(ssl);
}

void TcpStream::SslContextFree::operator()(SSL_CTX* context) const noexcept {
    SSL_CTX_free(context);
}

int TcpStream::startTls(std::string_view host, const TlsOptions& options) {
    ERR_clear_error();
    m_context.reset(SSL_CTX_new(TLS_client_method()));
    if (!m_context) {
        m_lastError = "TLS with " + m_peer + ": " + takeTlsError();
        close();
        return EPROTO;
    }
    SSL_CTX* context = m_context.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A server that just closes the socket ends the stream like a plain one does; NNTP marks
    // the end of every reply itself, so a cut reply is still seen as cut.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);
    // The handshake always completes; checkCertificate() judges the result, because a pinned
    // certificate is accepted where verification fails.
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    (void)SSL_CTX_set_default_verify_paths(context);  // no system store: nothing verifies
    if (!options.caFile.empty() &&
        SSL_CTX_load_verify_locations(context, options.caFile.c_str(), nullptr) != 1) {
        m_lastError = "TLS with " + m_peer + ": cannot read the authorities of " + options.caFile +
                      ": " + takeTlsError();
        close();
        return EPROTO;
    }

    const std::string name(host);
    m_ssl.reset(SSL_new(context));
    BIO* bio = BIO_new(socketBioMethod());
    if (!m_ssl || !bio) {
        BIO_free(bio);
        m_lastError = "TLS with " + m_peer + ": " + takeTlsError();
        close();
        return EPROTO;
    }
    const int fd = descriptor();
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl.get(), bio, bio);  // the SSL object owns the BIO now
    X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl.get());
    if (isAddressLiteral(name)) {
        (void)X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
    } else {
        // Server name indication is for names only; an address is never sent in it.
        (void)SSL_set_tlsext_host_name(m_ssl.get(), name.c_str());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        (void)X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    }

    int error = handshake(fd);
    if (error == 0) error = checkCertificate(options);
    if (error != 0) {
        close();
        return error;
    }
    m_tlsDescription =
        std::string("TLS ") + SSL_get_version(m_ssl.get()) + " " + SSL_get_cipher_name(m_ssl.get());
    return 0;
}

int TcpStream::handshake(int fd) {
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_connect(m_ssl.get());
        if (rc == 1) return 0;
        const int reason = SSL_get_error(m_ssl.get(), rc);
        const int systemError = errno;
        int error = 0;
        if (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE) {
            if (waitReady(fd, reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, error)) continue;
        } else if (m_cancelled) {
            error = ECANCELED;
        } else if (reason == SSL_ERROR_SYSCALL && systemError != 0) {
            error = systemError;
        } else {
            m_lastError = "TLS handshake with " + m_peer + " failed: " +
                          (reason == SSL_ERROR_SYSCALL || reason == SSL_ERROR_ZERO_RETURN
                               ? std::string("the server closed the connection")
                               : takeTlsError());
            return EPROTO;
        }
        m_lastError = "TLS handshake with " + m_peer + ": " + errnoText(error);
        return error;
    }
}

int TcpStream::checkCertificate(const TlsOptions& options) {
    std::unique_ptr<X509, X509Free> certificate(SSL_get1_peer_certificate(m_ssl.get()));
    if (!certificate) {
        m_refusal = CertificateRefusal{"no certificate was offered", ""};
    } else {
        const std::string fingerprint = certificateFingerprint(certificate.get());
        const long result = SSL_get_verify_result(m_ssl.get());
        const std::string pinned = normalizedFingerprint(options.pinnedSha256);
        if (result == X509_V_OK || (!pinned.empty() && pinned == fingerprint)) return 0;
        m_refusal = CertificateRefusal{X509_verify_cert_error_string(result), fingerprint};
    }
    m_lastError = "The certificate of " + m_peer + " was refused: " + m_refusal->reason;
    if (!m_refusal->fingerprint.empty())
        m_lastError += " (SHA-256 fingerprint " + m_refusal->fingerprint + ")";
    return EPROTO;
}

void TcpStream::failTls(const char* operation) const {
    throw SocketError(EPROTO, std::string(operation) + " " + m_peer + ": " + takeTlsError());
}

}  // namespace qm
