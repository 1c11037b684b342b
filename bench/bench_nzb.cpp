// SPDX-License-Identifier: GPL-3.0-or-later
// An NZB fetched as users start it, beside the simple pipelined client on the same
// connections in the same run: N files of S yEnc segments of K KB each, served by qmere-newsd
// through qmere-relay (D ms each way). Per round and connection count, the simple client
// (BODY <id> of every segment, W commands in flight on each connection, fetch only; timed
// from its first command, and from its connecting as the command's time is) and then
// `qmere-cli nzb --threads C` whole (start-up, connecting, decoding, assembling, writing, the
// progress file, the history, the save at its end), into a fresh data folder and profile.
//
// usage: bench_nzb [--files N] [--segments S] [--kb K] [--delay-ms D] [--connections 1,4]
//                  [--window W] [--repeat R] [--dir DIR] [--keep]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "newsserver/spool.h"
#include "nzb/nzbwriter.h"
#include "platform/file.h"
#include "relay/tcp.h"
#include "support/encoders.h"

#include "benchsupport.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

struct Options {
    int files = 200;
    int segments = 2;
    int kilobytes = 700;
    double delayMs = 20;
    std::vector<int> connections{1, 4};
    int window = 16;
    int repeat = 3;
    std::string dir;
    bool keep = false;  // leave the work folder (spool and NZB) for a closer look
};

// One connection of the simple client: blocking reads, acknowledging promptly.
class PeerConnection {
  public:
    PeerConnection(const std::string& host, int port)
        : m_fd(relay::connectTo(host, port, std::chrono::seconds(10))) {
        int on = 1;
        setsockopt(m_fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const std::string greeting = readLine();
        if (!greeting.starts_with("200") && !greeting.starts_with("201"))
            throw std::runtime_error("greeting: " + greeting);
    }

    void send(std::string_view text) {
        while (!text.empty()) {
            const ssize_t n = ::send(m_fd.get(), text.data(), text.size(), MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("connection lost while sending");
            text.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    std::string readLine() {
        for (;;) {
            const auto lf = m_text.find('\n', m_at);
            if (lf != std::string::npos) {
                std::string line = m_text.substr(m_at, lf - m_at);
                m_at = lf + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            more();
        }
    }

    // Reads a data block to its final "."; its bytes.
    std::uint64_t readData() {
        std::uint64_t bytes = 0;
        for (;;) {
            const auto lf = m_text.find('\n', m_at);
            if (lf == std::string::npos) {
                more();
                continue;
            }
            const std::string_view line(m_text.data() + m_at, lf - m_at);
            m_at = lf + 1;
            if (line == ".\r" || line == ".") return bytes;
            bytes += line.size() + 1;
        }
    }

  private:
    void more() {
        m_text.erase(0, m_at);
        m_at = 0;
        char buffer[256 * 1024];
        const ssize_t n = ::recv(m_fd.get(), buffer, sizeof buffer, 0);
        if (n <= 0) throw std::runtime_error("connection lost");
        int on = 1;
        setsockopt(m_fd.get(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        m_text.append(buffer, static_cast<std::size_t>(n));
    }

    newsd::Descriptor m_fd;
    std::string m_text;
    std::size_t m_at = 0;
};

struct SimpleTimes {
    double whole = 0;  // connecting (to the greeting) included, as the command's time is
    double fetch = 0;  // from the first command on
};

// The simple client: BODY of every id, spread over connections, window in flight on each.
SimpleTimes simpleFetch(int port, const std::vector<std::string>& ids, int connections,
                        int window) {
    const auto connecting = Clock::now();
    std::vector<std::unique_ptr<PeerConnection>> pool;
    for (int i = 0; i < connections; ++i)
        pool.push_back(std::make_unique<PeerConnection>("127.0.0.1", port));
    std::vector<std::string> errors(pool.size());
    auto run = [&](std::size_t k) {
        try {
            PeerConnection& c = *pool[k];
            std::vector<const std::string*> mine;
            for (std::size_t i = k; i < ids.size(); i += pool.size()) mine.push_back(&ids[i]);
            std::size_t sent = 0;
            auto queue = [&](std::size_t upTo) {
                std::string batch;
                for (; sent < std::min(upTo, mine.size()); ++sent)
                    batch += "BODY <" + *mine[sent] + ">\r\n";
                if (!batch.empty()) c.send(batch);
            };
            queue(static_cast<std::size_t>(window));
            for (std::size_t done = 0; done < mine.size(); ++done) {
                const std::string status = c.readLine();
                if (!status.starts_with("222")) throw std::runtime_error("BODY: " + status);
                (void)c.readData();
                queue(done + 1 + static_cast<std::size_t>(window));
            }
        } catch (const std::exception& e) {
            errors[k] = e.what();
        }
    };
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < pool.size(); ++k) threads.emplace_back(run, k);
    for (std::thread& t : threads) t.join();
    const SimpleTimes times{secondsSince(connecting), secondsSince(start)};
    for (const std::string& error : errors)
        if (!error.empty()) throw std::runtime_error("simple client: " + error);
    return times;
}

// qmere-cli nzb whole, into a fresh home; its seconds.
double cliFetch(const std::string& work, int port, const std::string& nzb, int connections) {
    const std::string home = work + "/home";
    fs::remove_all(home);
    fs::create_directories(home);
    const std::string command =
        "HOME='" + home + "' XDG_DATA_HOME='" + home + "/data' XDG_CONFIG_HOME='" + home +
        "/config' '" + toolPath("qmere-cli") +
        "' nzb --quiet --server 127.0.0.1:" + std::to_string(port) + " --threads " +
        std::to_string(connections) + " '" + nzb + "' >'" + work + "/cli.log' 2>&1";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    const double seconds = secondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("qmere-cli nzb failed: " +
                                 readWholeFile(work + "/cli.log").value_or(""));
    return seconds;
}

// The spool and the NZB of its files; the segments' ids in NZB order and their bytes.
std::uint64_t writeSet(const Options& o, const std::string& spool, const std::string& nzbPath,
                       std::vector<std::string>& ids) {
    const std::string group = "alt.binaries.nzbbench";
    // yEnc adds about 2%: the articles come out near the size asked for.
    const std::size_t piece = static_cast<std::size_t>(o.kilobytes) * 1000 * 98 / 100;
    std::mt19937 random(11);
    NzbDocument document;
    std::uint64_t bytes = 0, number = 0;
    for (int f = 0; f < o.files; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "file%03d.bin", f);
        std::string data(piece * static_cast<std::size_t>(o.segments), '\0');
        for (char& c : data) c = static_cast<char>(random());
        NzbFile file;
        file.poster = "bench@example";
        file.date = 1700000000;
        file.subject =
            std::string("bench \"") + name + "\" yEnc (1/" + std::to_string(o.segments) + ")";
        file.groups = {group};
        for (int n = 1; n <= o.segments; ++n) {
            const std::string_view part =
                std::string_view(data).substr(piece * static_cast<std::size_t>(n - 1), piece);
            const std::size_t begin = piece * static_cast<std::size_t>(n - 1);
            const std::string body =
                "=ybegin part=" + std::to_string(n) + " total=" + std::to_string(o.segments) +
                " line=128 size=" + std::to_string(data.size()) + " name=" + name +
                "\r\n=ypart begin=" + std::to_string(begin + 1) +
                " end=" + std::to_string(begin + part.size()) + "\r\n" + test::yencLines(part) +
                "=yend size=" + std::to_string(part.size()) + " part=" + std::to_string(n) +
                " pcrc32=" + test::crcText(part) + "\r\n";
            const std::string id = std::string(name) + "." + std::to_string(n) + "@bench";
            newsd::writeSpoolArticle(spool, group, ++number,
                                     "Subject: " + file.subject + "\nMessage-ID: <" + id + ">",
                                     body);
            file.segments.push_back({n, static_cast<std::int64_t>(body.size()), id});
            ids.push_back(id);
            bytes += body.size();
        }
        document.files.push_back(std::move(file));
    }
    if (!writeFileAtomic(nzbPath, formatNzb(document)))
        throw std::runtime_error("cannot write " + nzbPath);
    return bytes;
}

void run(const Options& o, const std::string& work) {
    const std::string spool = work + "/spool", nzb = work + "/bench.nzb";
    std::vector<std::string> ids;
    auto started = Clock::now();
    const std::uint64_t bytes = writeSet(o, spool, nzb, ids);
    std::printf("spool: %d files of %d segments, %zu articles, %.1f MB, written in %.1f s\n",
                o.files, o.segments, ids.size(), bytes / 1e6, secondsSince(started));
    ToolProcess server({toolPath("tools/newsserver/qmere-newsd"), "--spool", spool});
    char delay[32];
    std::snprintf(delay, sizeof delay, "%g", o.delayMs);
    ToolProcess relay({toolPath("tools/relay/qmere-relay"), "--target",
                       "127.0.0.1:" + std::to_string(server.port()), "--delay-ms", delay});
    // Untimed: the server reads every article once, as a busy server has them at hand.
    (void)simpleFetch(server.port(), ids, 2, o.window);
    std::printf("load at start: %s\n", loadAverage().c_str());
    MedianTable table;
    for (int round = 0; round < o.repeat; ++round) {
        for (int c : o.connections) {
            const std::string row = std::to_string(c) + (c == 1 ? " connection" : " connections");
            const SimpleTimes simple = simpleFetch(relay.port(), ids, c, o.window);
            const double cli = cliFetch(work, relay.port(), nzb, c);
            table.add(row, "simple art/s (fetch only)", ids.size() / simple.fetch);
            table.add(row, "simple art/s (connecting too)", ids.size() / simple.whole);
            table.add(row, "qmere-cli nzb art/s", ids.size() / cli);
            table.add(row, "qmere-cli MB/s", bytes / cli / 1e6);
            table.add(row, "ratio to fetch only", simple.fetch / cli);
            table.add(row, "ratio to connecting too", simple.whole / cli);
        }
    }
    std::printf("load at end: %s\n", loadAverage().c_str());
    std::printf("\nrelay %s ms each way, %d in flight per connection (median of %d, range)\n",
                delay, o.window, o.repeat);
    table.print(stdout, "connections");
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
        if (a == "--files")
            o.files = std::max(1, std::stoi(value()));
        else if (a == "--segments")
            o.segments = std::max(1, std::stoi(value()));
        else if (a == "--kb")
            o.kilobytes = std::max(1, std::stoi(value()));
        else if (a == "--delay-ms")
            o.delayMs = std::stod(value());
        else if (a == "--connections")
            o.connections = parseList(value());
        else if (a == "--window")
            o.window = std::max(1, std::stoi(value()));
        else if (a == "--repeat")
            o.repeat = std::max(1, std::stoi(value()));
        else if (a == "--dir")
            o.dir = value();
        else if (a == "--keep")
            o.keep = true;
        else
            throw std::runtime_error("unknown argument " + a);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string base = o.dir;
    if (base.empty()) base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    std::string pattern = base + "/qmnzbbench.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a work folder");
    WorkFolder work{o.keep ? std::string() : pattern};
    std::printf("== an NZB beside the simple client (work folder %s, load %s)\n", pattern.c_str(),
                loadAverage().c_str());
    run(o, pattern);
    return 0;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    try {
        return qm::bench::main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_nzb: %s\n", e.what());
        return 1;
    }
}
