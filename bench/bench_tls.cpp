// SPDX-License-Identifier: GPL-3.0-or-later
// What TLS costs a reader: one large BODY from the fixture news server, read line by line
// through TcpStream, over plain TCP (directly and through a plain relay, which adds the same
// extra hop that stunnel does) and over TLS through stunnel. Prints the median wall and
// reader-thread CPU time of each and the ratios to plain TCP.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "newsserver/newsserver.h"
#include "platform/socket.h"
#include "support/tempdir.h"
#include "support/tlstestbed.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Rounds = 7;
constexpr int BodyLines = 200000;  // 78-byte lines: about 15 MB

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Sample {
    double wall = 0;
    double cpu = 0;
};

// Connects, reads the greeting, asks for the body and reads it to its ".".
Sample fetch(int port, const qm::TlsOptions& tls, std::size_t& bytes) {
    qm::TcpStream stream;
    if (stream.connect("localhost", port, tls) != 0) {
        std::fprintf(stderr, "connect: %s\n", stream.lastError().c_str());
        std::exit(1);
    }
    std::string line;
    (void)stream.readLine(line);
    stream.writeLine("GROUP alt.bench");
    stream.flush();
    (void)stream.readLine(line);
    const auto start = Clock::now();
    const double cpuStart = threadCpuSeconds();
    stream.writeLine("BODY 1");
    stream.flush();
    bytes = 0;
    (void)stream.readLine(line);
    while (stream.readLine(line) && line != ".") bytes += line.size() + 2;
    return {std::chrono::duration<double>(Clock::now() - start).count(),
            threadCpuSeconds() - cpuStart};
}

Sample median(const std::function<Sample()>& run) {
    std::vector<Sample> samples;
    for (int i = 0; i < Rounds; ++i) samples.push_back(run());
    auto middle = [&](double Sample::*field) {
        std::vector<double> v;
        for (const Sample& s : samples) v.push_back(s.*field);
        std::nth_element(v.begin(), v.begin() + Rounds / 2, v.end());
        return v[Rounds / 2];
    };
    return {middle(&Sample::wall), middle(&Sample::cpu)};
}

}  // namespace

int main() {
    if (!qm::test::tlsToolsPresent()) {
        std::fprintf(stderr,
                     "bench_tls needs openssl and stunnel4 (scripts/install-deps.sh test)\n");
        return 1;
    }
    qm::test::TempDir spool;
    std::string body;
    for (int i = 0; i < BodyLines; ++i)
        body += "=y" + std::string(74, static_cast<char>('a' + i % 26)) + "\n";
    qm::newsd::writeSpoolArticle(spool.path(), "alt.bench", 1, "Subject: big", body);
    qm::newsd::NewsServerOptions options;
    options.spool = spool.path();
    qm::newsd::NewsServer server(options);
    server.start();
    qm::test::TestCertificates certificates;
    qm::test::StunnelProcess stunnel(certificates.good(), server.port());
    std::size_t bytes = 0;
    const qm::TlsOptions plain;
    const qm::TlsOptions tls{true, {}, certificates.authorityFile()};

    const Sample direct = median([&] { return fetch(server.port(), plain, bytes); });
    const Sample relayed = median([&] {
        qm::test::TcpRelay relay(server.port());
        return fetch(relay.port(), plain, bytes);
    });
    const Sample secure = median([&] { return fetch(stunnel.port(), tls, bytes); });

    std::printf("BODY of %zu bytes, median of %d rounds\n", bytes, Rounds);
    auto show = [&](const char* name, const Sample& s) {
        std::printf("%-22s wall %7.1f ms (%6.1f MB/s)  reader CPU %7.1f ms\n", name, s.wall * 1e3,
                    static_cast<double>(bytes) / s.wall / 1e6, s.cpu * 1e3);
    };
    show("plain TCP", direct);
    show("plain TCP via relay", relayed);
    show("TLS via stunnel", secure);
    std::printf("TLS / plain: wall %.2fx, reader CPU %.2fx; TLS / relayed plain: wall %.2fx\n",
                secure.wall / direct.wall, secure.cpu / direct.cpu, secure.wall / relayed.wall);
    return 0;
}
