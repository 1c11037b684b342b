// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/tlstestbed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace qm::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs a shell command; throws with its output when it fails.
void run(const std::string& command, const TempDir& dir) {
    const std::string log = dir.file("command.log");
    if (std::system((command + " >" + log + " 2>&1").c_str()) != 0)
        throw std::runtime_error("failed: " + command + "\n" + dir.read("command.log"));
}

// What a shell command printed.
std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
        ::pclose(pipe);
    }
    return text;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

UniqueFd connectLoopback(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(port);
    if (fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    return fd;
}

// A listening socket on a free loopback port; port receives the number.
UniqueFd listenLoopback(int& port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (!fd || ::bind(fd.get(), raw, size) != 0 || ::listen(fd.get(), 8) != 0 ||
        ::getsockname(fd.get(), raw, &size) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port = ntohs(address.sin_port);
    return fd;
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool tlsToolsPresent() {
    return std::system(
               "command -v openssl >/dev/null 2>&1 && "
               "command -v stunnel4 >/dev/null 2>&1") == 0;
}

int freeLoopbackPort() {
    int port = 0;
    (void)listenLoopback(port);
    return port;
}

TestCertificates::TestCertificates() {
    m_dir.write("db/index.txt", "");
    m_dir.write("db/serial", "1000\n");
    m_dir.write("db/newcerts/.keep", "");
    const std::string db = m_dir.file("db");
    m_dir.write("ca.cnf", "[ca]\ndefault_ca = testca\n[testca]\ndatabase = " + db +
                              "/index.txt\nnew_certs_dir = " + db + "/newcerts\nserial = " + db +
                              "/serial\ndefault_md = sha256\npolicy = anything\n"
                              "unique_subject = no\n[anything]\ncommonName = supplied\n");
    makeAuthority("ca");
    makeAuthority("stranger");
    m_authority = m_dir.file("ca.pem");
    const std::string valid = "-days 2";
    const std::string local = "DNS:localhost,IP:127.0.0.1";
    m_good = makeServer("good", local, "ca", valid);
    m_wrongHost = makeServer("wronghost", "DNS:wrong.example", "ca", valid);
    m_expired =
        makeServer("expired", local, "ca", "-startdate 20200101000000Z -enddate 20200201000000Z");
    m_unknown = makeServer("unknown", local, "stranger", valid);
}

void TestCertificates::makeAuthority(const std::string& name) {
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -keyout " +
            m_dir.file(name + ".key") + " -out " + m_dir.file(name + ".pem") +
            " -subj /CN=" + name +
            "-authority -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign",
        m_dir);
}

TestCertificate TestCertificates::makeServer(const std::string& name, const std::string& names,
                                             const std::string& authority,
                                             const std::string& dates) {
    TestCertificate c{m_dir.file(name + ".pem"), m_dir.file(name + ".key"), {}};
    const std::string request = m_dir.file(name + ".csr");
    const std::string extensions = m_dir.write(
        name + ".ext", "subjectAltName = " + names +
                           "\nbasicConstraints = CA:FALSE\nextendedKeyUsage = serverAuth\n");
    run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
            c.keyFile + " -out " + request + " -subj /CN=" + name,
        m_dir);
    run("openssl ca -batch -notext -config " + m_dir.file("ca.cnf") + " -cert " +
            m_dir.file(authority + ".pem") + " -keyfile " + m_dir.file(authority + ".key") +
            " -in " + request + " -out " + c.certFile + " -extfile " + extensions + " " + dates,
        m_dir);
    // "sha256 Fingerprint=AB:CD:..."
    std::string printed = output("openssl x509 -noout -fingerprint -sha256 -in " + c.certFile);
    auto equals = printed.find('=');
    if (equals == std::string::npos) throw std::runtime_error("no fingerprint for " + name);
    c.fingerprint = printed.substr(equals + 1);
    while (!c.fingerprint.empty() && std::isspace(static_cast<unsigned char>(c.fingerprint.back())))
        c.fingerprint.pop_back();
    return c;
}

StunnelProcess::StunnelProcess(const TestCertificate& certificate, int backendPort) {
    // stunnel binds the port itself; a port found free a moment ago is taken again at once,
    // and a lost race shows up as a start-up failure below.
    m_port = freeLoopbackPort();
    const std::string config = m_dir.write(
        "stunnel.conf",
        "foreground = yes\npid =\ndebug = 4\noutput = " + m_dir.file("stunnel.log") +
            "\n[nntps]\naccept = 127.0.0.1:" + std::to_string(m_port) +
            "\nconnect = 127.0.0.1:" + std::to_string(backendPort) +
            "\ncert = " + certificate.certFile + "\nkey = " + certificate.keyFile + "\n");
    std::string program = "stunnel4";
    std::vector<char*> argv{program.data(), const_cast<char*>(config.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&m_pid, "stunnel4", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start stunnel4");
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!connectLoopback(m_port)) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid || Clock::now() > deadline) {
            m_pid = -1;
            throw std::runtime_error("stunnel4 did not start:\n" + m_dir.read("stunnel.log"));
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
}

StunnelProcess::~StunnelProcess() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

TcpRelay::TcpRelay(int targetPort) : m_targetPort(targetPort) {
    m_listener = listenLoopback(m_port);
    m_thread = std::thread([this] { run(); });
}

TcpRelay::~TcpRelay() {
    m_stop = true;
    m_thread.join();
}

std::string TcpRelay::clientBytes() const {
    std::lock_guard lock(m_mutex);
    return m_clientBytes;
}

void TcpRelay::run() {
    pollfd p{m_listener.get(), POLLIN, 0};
    while (!m_stop) {
        if (::poll(&p, 1, 50) <= 0) continue;
        UniqueFd client(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        UniqueFd server = connectLoopback(m_targetPort);
        if (client && server) pass(client.get(), server.get());
        return;  // one client only
    }
}

void TcpRelay::pass(int clientFd, int serverFd) {
    pollfd p[2] = {{clientFd, POLLIN, 0}, {serverFd, POLLIN, 0}};
    char buffer[16384];
    while (!m_stop) {
        if (::poll(p, 2, 50) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents == 0) continue;
            ssize_t n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            if (i == 0) {
                std::lock_guard lock(m_mutex);
                m_clientBytes.append(buffer, static_cast<std::size_t>(n));
            }
            if (!sendAll(p[1 - i].fd, buffer, static_cast<std::size_t>(n))) return;
        }
    }
}

}  // namespace qm::test
