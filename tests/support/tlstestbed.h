// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A TLS test bed made from real tools: certificates made with the openssl command (an
// authority, good, wrong-host, expired and foreign-authority server certificates), stunnel
// in front of a plain loopback server, and a relay that records the bytes on the wire.
//
// Each object is owned by one test (or benchmark) and used from its thread; the relay and
// stunnel run on their own thread and process, which the destructors stop and join.
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/file.h"
#include "support/tempdir.h"

namespace qm::test {

// True when the openssl command and stunnel4 can be run.
bool tlsToolsPresent();

// A certificate and its key, with the fingerprint openssl itself reports.
struct TestCertificate {
    std::string certFile;
    std::string keyFile;
    std::string fingerprint;  // SHA-256, "AB:CD:..."
};

// Every certificate a test needs, made once in a folder of their own. Throws
// std::runtime_error naming the command when openssl fails.
class TestCertificates {
  public:
    TestCertificates();

    const std::string& authorityFile() const { return m_authority; }  // trust this one
    // For "localhost" and 127.0.0.1, signed by the authority, valid now.
    const TestCertificate& good() const { return m_good; }
    // For "wrong.example" only.
    const TestCertificate& wrongHost() const { return m_wrongHost; }
    // For localhost, but valid only in January 2020.
    const TestCertificate& expired() const { return m_expired; }
    // For localhost, signed by an authority nobody trusts.
    const TestCertificate& unknownAuthority() const { return m_unknown; }

  private:
    void makeAuthority(const std::string& name);
    TestCertificate makeServer(const std::string& name, const std::string& names,
                               const std::string& authority, const std::string& dates);

    TempDir m_dir;
    std::string m_authority;
    TestCertificate m_good, m_wrongHost, m_expired, m_unknown;
};

// stunnel4 accepting TLS on a free loopback port and passing the plain bytes to backendPort.
class StunnelProcess {
  public:
    // Throws std::runtime_error when stunnel does not start listening within 10 s.
    StunnelProcess(const TestCertificate& certificate, int backendPort);
    ~StunnelProcess();
    StunnelProcess(const StunnelProcess&) = delete;
    StunnelProcess& operator=(const StunnelProcess&) = delete;

    int port() const { return m_port; }

  private:
    TempDir m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

// Accepts one client on a loopback port, connects it to targetPort and passes the bytes both
// ways, keeping a copy of what the client sent.
class TcpRelay {
  public:
    explicit TcpRelay(int targetPort);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int port() const { return m_port; }
    std::string clientBytes() const;

  private:
    void run();
    void pass(int clientFd, int serverFd);

    UniqueFd m_listener;
    int m_port = 0;
    int m_targetPort;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::string m_clientBytes;  // guarded by m_mutex
    std::thread m_thread;
};

// A free loopback port at the time of asking.
int freeLoopbackPort();

}  // namespace qm::test
