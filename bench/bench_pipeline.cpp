// SPDX-License-Identifier: GPL-3.0-or-later
// What the line allows: a simple client on a distant path that asks for a group's overview
// once (OVER first-last), then keeps many BODY commands in flight on one connection (16, 64,
// 128) and on four (64 each), fetching only. It is the peer the retrieval engine's pipelined
// fetch is measured against. The paths: no delay, the fixture server's --latency-ms, and
// qmere-relay in front of the server; then a path limited in rate, where the wire bytes and
// times of the overview and of the articles are taken with and without COMPRESS DEFLATE.
//
// usage: bench_pipeline [--articles N] [--kb K] [--encoding uu|yenc] [--overview-articles N]
//                       [--delay-ms D] [--rate-mbit R] [--windows 16,64,128] [--repeat R]
//                       [--dir DIR] [--rated-connections 1,4,8]
//        bench_pipeline --server HOST:PORT --group NAME [--overview-group NAME] [options]
//   The first form writes its spools (N articles of K KB; an overview group of N articles,
//   every 50th a picture) and runs qmere-newsd; the second measures an outside server (INN)
//   whose groups are already filled, through qmere-relay for the delayed and rated paths.
//   --rated-connections: only the rated path, plain, with each of these many connections.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "newsserver/compression.h"
#include "newsserver/spoolmaker.h"
#include "relay/tcp.h"

#include "benchsupport.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;
// One NNTP connection of the simple client: blocking, acknowledging promptly, with an inflate
// layer once COMPRESS DEFLATE is on. Counts the bytes that crossed the wire inbound.
class PeerConnection {
  public:
    PeerConnection(const std::string& host, int port)
        : m_fd(relay::connectTo(host, port, std::chrono::seconds(10))) {
        int on = 1;
        setsockopt(m_fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const std::string greeting = readLine();
        if (greeting.compare(0, 3, "200") != 0 && greeting.compare(0, 3, "201") != 0)
            throw std::runtime_error("greeting: " + greeting);
    }

    void compress() {
        send("COMPRESS DEFLATE\r\n");
        const std::string reply = readLine();
        if (reply.compare(0, 3, "206") != 0) throw std::runtime_error("COMPRESS: " + reply);
        m_deflater = std::make_unique<newsd::Deflater>();
        m_inflater = std::make_unique<newsd::Inflater>();
        // Anything read past the reply was compressed already.
        m_raw.assign(m_text, m_textPos, std::string::npos);
        m_text.clear();
        m_textPos = 0;
    }

    void send(std::string_view text) {
        std::string compressed;
        if (m_deflater) {
            m_deflater->compress(text, compressed, true);
            text = compressed;
        }
        while (!text.empty()) {
            const ssize_t n = ::send(m_fd.get(), text.data(), text.size(), MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("connection lost while sending");
            text.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    std::string ask(std::string_view command) {
        send(std::string(command) + "\r\n");
        return readLine();
    }

    // The next line without its line end.
    std::string readLine() {
        for (;;) {
            const auto lf = m_text.find('\n', m_textPos);
            if (lf != std::string::npos) {
                std::string line = m_text.substr(m_textPos, lf - m_textPos);
                m_textPos = lf + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            more();
        }
    }

    // Reads a multi-line data block to its final "."; returns its bytes (line ends included,
    // the final line not). Each line is handed to visit when one is given.
    std::uint64_t readData(const std::function<void(std::string_view)>& visit = {}) {
        std::uint64_t bytes = 0;
        for (;;) {
            const auto lf = m_text.find('\n', m_textPos);
            if (lf == std::string::npos) {
                more();
                continue;
            }
            std::string_view line(m_text.data() + m_textPos, lf - m_textPos);
            m_textPos = lf + 1;
            if (line == ".\r" || line == ".") return bytes;
            bytes += line.size() + 1;
            if (visit) visit(line.substr(0, line.size() - (line.ends_with('\r') ? 1 : 0)));
        }
    }

    std::uint64_t wireBytesIn() const { return m_wireIn; }

  private:
    // Reads more text (inflated, when compressing) onto m_text.
    void more() {
        m_text.erase(0, m_textPos);
        m_textPos = 0;
        for (;;) {
            if (m_inflater && !m_raw.empty()) {
                char out[256 * 1024];
                auto r = m_inflater->inflate(m_raw, out);
                m_raw.erase(0, r.consumed);
                if (r.damaged || r.ended) throw std::runtime_error("the compressed stream broke");
                m_text.append(out, r.produced);
                if (r.produced > 0) return;
            }
            char buffer[256 * 1024];
            const ssize_t n = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
            if (n <= 0) throw std::runtime_error("connection lost");
            // Acknowledge at once, as a client on a distant path should.
            int on = 1;
            setsockopt(m_fd.get(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            m_wireIn += static_cast<std::uint64_t>(n);
            if (!m_inflater) {
                m_text.append(buffer, static_cast<std::size_t>(n));
                return;
            }
            m_raw.append(buffer, static_cast<std::size_t>(n));
        }
    }

    newsd::Descriptor m_fd;
    std::string m_text;
    std::size_t m_textPos = 0;
    std::string m_raw;
    std::unique_ptr<newsd::Deflater> m_deflater;
    std::unique_ptr<newsd::Inflater> m_inflater;
    std::uint64_t m_wireIn = 0;
};

struct Endpoint {
    std::string host;
    int port = 0;
};

struct Result {
    double seconds = 0;
    std::uint64_t items = 0;  // articles or overview lines
    std::uint64_t bytes = 0;  // of the replies' data
    std::uint64_t wire = 0;   // inbound bytes on the wire
};

std::pair<std::uint64_t, std::uint64_t> selectGroup(PeerConnection& c, const std::string& group) {
    const std::string reply = c.ask("GROUP " + group);
    unsigned long long count = 0, first = 0, last = 0;
    if (std::sscanf(reply.c_str(), "211 %llu %llu %llu", &count, &first, &last) != 3)
        throw std::runtime_error("GROUP " + group + ": " + reply);
    return {first, last};
}

// OVER first-last of the group on a fresh connection (connecting is not timed); the numbers
// of the articles it lists go to numbers when asked for.
Result overview(const Endpoint& at, const std::string& group, bool compress,
                std::vector<std::uint64_t>* numbers = nullptr) {
    PeerConnection c(at.host, at.port);
    if (compress) c.compress();
    const auto [first, last] = selectGroup(c, group);
    const std::uint64_t wire0 = c.wireBytesIn();
    const auto start = Clock::now();
    const std::string reply = c.ask("OVER " + std::to_string(first) + "-" + std::to_string(last));
    if (reply.compare(0, 3, "224") != 0) throw std::runtime_error("OVER: " + reply);
    Result r;
    r.bytes = c.readData([&](std::string_view line) {
        ++r.items;
        std::uint64_t n = 0;
        if (numbers && std::from_chars(line.data(), line.data() + line.size(), n).ec == std::errc())
            numbers->push_back(n);
    });
    r.seconds = secondsSince(start);
    r.wire = c.wireBytesIn() - wire0;
    return r;
}

// BODY of every article of the list, window commands in flight on each connection.
Result fetch(const Endpoint& at, const std::string& group,
             const std::vector<std::uint64_t>& numbers, int window, int connections,
             bool compress) {
    std::vector<std::unique_ptr<PeerConnection>> pool;
    for (int i = 0; i < connections; ++i) {
        pool.push_back(std::make_unique<PeerConnection>(at.host, at.port));
        if (compress) pool.back()->compress();
        selectGroup(*pool.back(), group);
    }
    std::vector<Result> parts(static_cast<std::size_t>(connections));
    std::vector<std::string> errors(parts.size());
    auto run = [&](std::size_t k) {
        try {
            PeerConnection& c = *pool[k];
            std::vector<std::uint64_t> mine;
            for (std::size_t i = k; i < numbers.size(); i += pool.size())
                mine.push_back(numbers[i]);
            const std::uint64_t wire0 = c.wireBytesIn();
            std::size_t sent = 0;
            std::string batch;
            auto queue = [&](std::size_t upTo) {
                batch.clear();
                for (; sent < std::min(upTo, mine.size()); ++sent)
                    batch += "BODY " + std::to_string(mine[sent]) + "\r\n";
                if (!batch.empty()) c.send(batch);
            };
            queue(static_cast<std::size_t>(window));
            for (std::size_t done = 0; done < mine.size(); ++done) {
                const std::string status = c.readLine();
                if (status.compare(0, 3, "222") == 0) {
                    parts[k].bytes += c.readData();
                    ++parts[k].items;
                }
                queue(done + 1 + static_cast<std::size_t>(window));
            }
            parts[k].wire = c.wireBytesIn() - wire0;
        } catch (const std::exception& e) {
            errors[k] = e.what();
        }
    };
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < pool.size(); ++k) threads.emplace_back(run, k);
    for (std::thread& t : threads) t.join();
    Result total;
    total.seconds = secondsSince(start);
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (!errors[k].empty()) throw std::runtime_error("fetch: " + errors[k]);
        total.items += parts[k].items;
        total.bytes += parts[k].bytes;
        total.wire += parts[k].wire;
    }
    return total;
}

struct Options {
    int articles = 2000;
    int kilobytes = 60;
    newsd::PictureEncoding encoding = newsd::PictureEncoding::Uuencode;
    int overviewArticles = 100000;
    double delayMs = 20;
    double rateMbit = 100;
    std::vector<int> windows{16, 64, 128};
    int repeat = 1;
    std::string dir;
    std::string server;  // an outside server
    std::string group;
    std::string overviewGroup;
    // On the rated path only, with this many connections (64 in flight each) and no more.
    std::vector<int> ratedConnections;
};

struct Path {
    std::string name;
    Endpoint at;
};

// The latency paths: fetch at every window, four connections, the two overviews.
void measurePaths(const Options& o, const std::vector<Path>& paths,
                  const std::vector<std::uint64_t>& numbers, MedianTable& fetches,
                  MedianTable& overviews) {
    for (const Path& path : paths) {
        const Result small = overview(path.at, o.group, false);
        overviews.add(path.name, "OVER " + std::to_string(small.items) + " lines (s)",
                      small.seconds);
        for (int window : o.windows) {
            const Result r = fetch(path.at, o.group, numbers, window, 1, false);
            fetches.add(path.name, std::to_string(window) + " in flight, art/s",
                        r.items / r.seconds);
            fetches.add(path.name, std::to_string(window) + " in flight, MB/s",
                        r.bytes / r.seconds / 1e6);
        }
        const Result four = fetch(path.at, o.group, numbers, 64, 4, false);
        fetches.add(path.name, "4 x 64, art/s", four.items / four.seconds);
        fetches.add(path.name, "4 x 64, MB/s", four.bytes / four.seconds / 1e6);
        if (!o.overviewGroup.empty()) {
            const Result big = overview(path.at, o.overviewGroup, false);
            overviews.add(path.name, "OVER " + std::to_string(big.items) + " lines (s)",
                          big.seconds);
            overviews.add(path.name, "its MB", big.bytes / 1e6);
        }
    }
}

// The rated path: wire bytes and times with and without compression.
void measureRate(const Options& o, const Endpoint& rated, const std::vector<std::uint64_t>& numbers,
                 MedianTable& table) {
    if (!o.ratedConnections.empty()) {
        // Each connection rated on its own: what several connections of a capped account carry.
        for (int connections : o.ratedConnections) {
            const Result r = fetch(rated, o.group, numbers, 64, connections, false);
            const std::string row = std::to_string(connections) + " x 64";
            table.add(row, "seconds", r.seconds);
            table.add(row, "art/s", r.items / r.seconds);
            table.add(row, "MB/s", r.bytes / r.seconds / 1e6);
        }
        return;
    }
    for (bool compress : {false, true}) {
        const std::string row = compress ? "COMPRESS DEFLATE" : "plain";
        if (!o.overviewGroup.empty()) {
            const Result big = overview(rated, o.overviewGroup, compress);
            table.add(row, "OVER " + std::to_string(big.items) + " (s)", big.seconds);
            table.add(row, "its wire MB", big.wire / 1e6);
        }
        const Result r = fetch(rated, o.group, numbers, 64, 1, compress);
        table.add(row, std::to_string(r.items) + " articles, 64 in flight (s)", r.seconds);
        table.add(row, "their wire MB", r.wire / 1e6);
        table.add(row, "art/s", r.items / r.seconds);
    }
}

void run(Options& o, const std::string& work) {
    std::unique_ptr<ToolProcess> plain, distant;
    Endpoint direct;
    if (o.server.empty()) {
        const std::string spool = work + "/spool";
        o.group = "alt.binaries.line";
        newsd::SpoolPlan plan;
        plan.spoolDir = spool;
        plan.group = o.group;
        plan.articles = static_cast<std::uint64_t>(o.articles);
        plan.pictureEvery = 1;
        plan.encoding = o.encoding;
        plan.pictureBytes = newsd::pictureBytesFor(o.kilobytes * 1000u, plan.encoding);
        auto started = Clock::now();
        const auto written = newsd::makeSpool(plan);
        std::printf("spool: %llu articles of %.1f KB (%s) in %s, written in %.1f s\n",
                    static_cast<unsigned long long>(written.articles),
                    written.bytes / 1e3 / written.articles,
                    o.encoding == newsd::PictureEncoding::Yenc ? "yEnc" : "uuencoded",
                    o.group.c_str(), secondsSince(started));
        if (o.overviewArticles > 0) {
            o.overviewGroup = "alt.binaries.line.overview";
            plan.group = o.overviewGroup;
            plan.articles = static_cast<std::uint64_t>(o.overviewArticles);
            plan.pictureEvery = 50;
            plan.encoding = newsd::PictureEncoding::Yenc;
            plan.pictureBytes = newsd::pictureBytesFor(o.kilobytes * 1000u, plan.encoding);
            started = Clock::now();
            const auto big = newsd::makeSpool(plan);
            std::printf("spool: %llu articles in %s, every 50th a picture, written in %.1f s\n",
                        static_cast<unsigned long long>(big.articles), o.overviewGroup.c_str(),
                        secondsSince(started));
        }
        const std::string newsd = toolPath("tools/newsserver/qmere-newsd");
        plain = std::make_unique<ToolProcess>(std::vector<std::string>{newsd, "--spool", spool});
        char latency[32];
        std::snprintf(latency, sizeof latency, "%.0f", o.delayMs);
        distant = std::make_unique<ToolProcess>(
            std::vector<std::string>{newsd, "--spool", spool, "--latency-ms", latency});
        direct = {"127.0.0.1", plain->port()};
    } else {
        const auto colon = o.server.rfind(':');
        if (colon == std::string::npos) throw std::runtime_error("--server HOST:PORT");
        direct = {o.server.substr(0, colon), std::stoi(o.server.substr(colon + 1))};
    }
    char delay[32], rate[32];
    std::snprintf(delay, sizeof delay, "%g", o.delayMs);
    std::snprintf(rate, sizeof rate, "%g", o.rateMbit);
    const std::string relay = toolPath("tools/relay/qmere-relay");
    const std::string target = direct.host + ":" + std::to_string(direct.port);
    ToolProcess delayed({relay, "--target", target, "--delay-ms", delay});
    std::unique_ptr<ToolProcess> rated;
    if (o.rateMbit > 0)
        rated = std::make_unique<ToolProcess>(std::vector<std::string>{
            relay, "--target", target, "--delay-ms", delay, "--rate-mbit", rate});

    std::vector<Path> paths = {{"no delay", direct}};
    if (distant)
        paths.push_back(
            {"server --latency-ms " + std::string(delay), {"127.0.0.1", distant->port()}});
    paths.push_back(
        {"relay " + std::string(delay) + " ms each way", {"127.0.0.1", delayed.port()}});

    // The article numbers from the overview; untimed warm-up: every server builds its
    // overviews and reads its articles once, as a busy server has them at hand.
    std::vector<std::uint64_t> numbers;
    overview(direct, o.group, false, &numbers);
    if (!o.ratedConnections.empty()) (void)fetch(direct, o.group, numbers, 128, 4, false);
    for (const Path& path : paths) {
        if (!o.ratedConnections.empty()) break;  // the direct path's warm-up is enough
        (void)fetch(path.at, o.group, numbers, 128, 4, false);
        if (!o.overviewGroup.empty()) (void)overview(path.at, o.overviewGroup, false);
    }
    std::printf("load at start: %s\n", loadAverage().c_str());
    MedianTable fetches, overviews, rateTable;
    for (int round = 0; round < o.repeat; ++round) {
        if (o.ratedConnections.empty()) measurePaths(o, paths, numbers, fetches, overviews);
        if (rated) measureRate(o, {"127.0.0.1", rated->port()}, numbers, rateTable);
    }
    std::printf("load at end: %s\n", loadAverage().c_str());
    std::printf("\nBODY pipelined, %zu articles of %s (median of %d, range)\n", numbers.size(),
                o.group.c_str(), o.repeat);
    fetches.print(stdout, "path");
    std::printf("\noverviews\n");
    overviews.print(stdout, "path");
    if (rated) {
        std::printf("\nrelay at %s Mbit/s and %s ms each way\n", rate, delay);
        rateTable.print(stdout, "stream");
    }
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::runtime_error(a + " needs a value");
            return args[++i];
        };
        if (a == "--articles")
            o.articles = std::stoi(value());
        else if (a == "--kb")
            o.kilobytes = std::stoi(value());
        else if (a == "--encoding")
            o.encoding =
                value() == "yenc" ? newsd::PictureEncoding::Yenc : newsd::PictureEncoding::Uuencode;
        else if (a == "--overview-articles")
            o.overviewArticles = std::stoi(value());
        else if (a == "--delay-ms")
            o.delayMs = std::stod(value());
        else if (a == "--rate-mbit")
            o.rateMbit = std::stod(value());
        else if (a == "--windows")
            o.windows = parseList(value());
        else if (a == "--repeat")
            o.repeat = std::max(1, std::stoi(value()));
        else if (a == "--dir")
            o.dir = value();
        else if (a == "--server")
            o.server = value();
        else if (a == "--group")
            o.group = value();
        else if (a == "--overview-group")
            o.overviewGroup = value();
        else if (a == "--rated-connections")
            o.ratedConnections = parseList(value());
        else
            throw std::runtime_error("unknown argument " + a);
    }
    if (!o.server.empty() && o.group.empty()) throw std::runtime_error("--server needs --group");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Many small spool files: tmpfs when there is one, as the figures are about the line.
    std::string base = o.dir;
    if (base.empty()) base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    std::string pattern = base + "/qmpipeline.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a work folder");
    WorkFolder work{pattern};
    std::printf("== the line's limit: a simple client, fetch only (work folder %s, load %s)\n",
                work.path.c_str(), loadAverage().c_str());
    run(o, work.path);
    return 0;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    try {
        return qm::bench::main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_pipeline: %s\n", e.what());
        return 1;
    }
}
