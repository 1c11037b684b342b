// SPDX-License-Identifier: GPL-3.0-or-later
// Retrieval at the speed of the line: the program's own fetch (the core, as qmere-cli fetch
// drives it: fetched, decoded and written) through a delaying relay, beside its peers in the
// same run: today's walk (--no-overview) and what a simple pipelining client gets from the
// same path (bench_pipeline, run by bench_line_fetch_inn.sh and scripts/run-benchmarks.sh).
//
//   - 2,000 articles of 60 KB, one connection, 40 ms round trip: overview and pipeline, and
//     the walk (on the newest 200, which take it long enough);
//   - a never-read group of 100,000 articles (a picture every 50th) at 40 ms: "First visit"
//     1000, and the whole group;
//   - with no delay: the 2,000 articles, overview against walk;
//   - COMPRESS DEFLATE on and off: a 100,000-line overview (every article excluded, so only
//     the overview crosses) and the 2,000 articles through a relay of 100 Mbit/s and 20 ms
//     each way (time, wire bytes), and the 2,000 articles with no delay (time, CPU).
//
// usage: bench_line_fetch [--rounds R] [--delay-ms D] [--rate-mbit R] [--dir DIR]
//        bench_line_fetch --server HOST:PORT [--line-group G] [--big-group G] [options]
//   The first form writes both spools with qmere-mkspool's maker and serves them with
//   qmere-newsd; the second reads an outside server (INN) whose groups are filled already.
//   Medians of the rounds, with their ranges; the machine is shared, compare ratios.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/grouptable.h"
#include "newsserver/spoolmaker.h"
#include "nntp/readerpool.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "session/session.h"

#include "benchsupport.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;
FILE* Report = stdout;

// Log lines are dropped (the "Log" file keeps the decoder's); failures are shown.
class QuietFrontend : public Frontend {
  public:
    void appendLog(std::string_view line) override {
        if (line.starts_with("Fail") || line.starts_with("NNTP connection failure") ||
            line.starts_with("Retrieval stopped"))
            std::fprintf(stderr, "log: %.*s\n", static_cast<int>(line.size()), line.data());
    }
    void messageBox(std::string_view text, MessageIcon) override {
        std::fprintf(stderr, "message: %.*s\n", static_cast<int>(text.size()), text.data());
    }
    std::optional<Credentials> askCredentials(std::string_view, const Credentials&) override {
        return std::nullopt;
    }
    void offerAvailableGroup(GroupEntry&) override {}
    void updateGroupRow(GroupEntry&) override {}
    void runFinished() override {
        std::lock_guard lock(m_mutex);
        m_finished = true;
        m_changed.notify_all();
    }
    void groupListFinished() override {}
    void openConfiguration() override {}

    bool waitRun(std::chrono::seconds limit) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_finished; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_finished = false;
};

struct Fetch {
    int port = 0;
    std::string group;
    RunOptions run;
    int compress = 0;
    std::string killPattern;
};

Fetch job(int port, const std::string& group, const RunOptions& run, int compress = 0,
          std::string killPattern = {}) {
    return Fetch{port, group, run, compress, std::move(killPattern)};
}

struct Fetched {
    double seconds = 0;
    double cpu = 0;
    std::int64_t articles = 0;  // handed to the decoder
    std::int64_t files = 0;     // in news.dat
    std::uint64_t wire = 0;     // bytes received on the wire
};

// One run of the core over one group on one connection, in a profile and data folder of
// its own below work, as `qmere-cli fetch --threads 1` makes it.
Fetched fetch(const std::string& work, const Fetch& f) {
    const std::string home = work + "/home";
    fs::remove_all(home);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    QuietFrontend frontend;
    Profile profile(profilePath());
    Session session(frontend, profile);
    if (!session.load({}).error.empty()) throw std::runtime_error("cannot load a session");
    session.switchServer("127.0.0.1 " + std::to_string(f.port));
    ConfigValues values = session.configuration();
    values.compress = f.compress;
    values.killPattern = f.killPattern;
    (void)session.applyConfiguration(values);
    session.prepareReaders(1);
    GroupTable table;
    GroupEntry& group = session.groupNamed(f.group);
    group.set(Selected);
    table.add(group);

    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    if (session.startRun(table, f.run) != 0) throw std::runtime_error("no server");
    if (!frontend.waitRun(std::chrono::seconds(1800))) throw std::runtime_error("run timed out");
    Fetched result;
    result.seconds = secondsSince(start);
    result.cpu = cpuSeconds() - cpu0;
    session.finishRun();
    result.wire = session.wireBytesReceived();
    result.articles = group.stats() ? group.stats()->retrieved.load() : 0;
    const std::string news = session.groupFolder(group).filesFolder();
    if (fs::is_directory(news))
        result.files = std::distance(fs::directory_iterator(news), fs::directory_iterator());
    const std::vector<std::string> failures = session.runFailures();
    if (!failures.empty()) throw std::runtime_error(failures.front());
    return result;
}

struct Options {
    int rounds = 3;
    double delayMs = 20;
    double rateMbit = 100;
    std::string dir;
    std::string server;  // an outside server
    std::string lineGroup = "alt.binaries.line";
    std::string bigGroup = "alt.binaries.line.overview";
    int lineArticles = 2000;
    int bigArticles = 100000;
    int walkArticles = 200;
};

void writeSpools(const Options& o, const std::string& spool) {
    newsd::SpoolPlan plan;
    plan.spoolDir = spool;
    plan.group = o.lineGroup;
    plan.articles = static_cast<std::uint64_t>(o.lineArticles);
    plan.pictureEvery = 1;
    plan.encoding = newsd::PictureEncoding::Uuencode;
    plan.pictureBytes = newsd::pictureBytesFor(60000, plan.encoding);
    auto started = Clock::now();
    newsd::makeSpool(plan);
    plan.group = o.bigGroup;
    plan.articles = static_cast<std::uint64_t>(o.bigArticles);
    plan.pictureEvery = 50;
    plan.encoding = newsd::PictureEncoding::Yenc;
    plan.pictureBytes = newsd::pictureBytesFor(60000, plan.encoding);
    newsd::makeSpool(plan);
    std::fprintf(Report, "spools written in %.1f s\n", secondsSince(started));
}

void measure(const Options& o, const std::string& work, int direct, int delayed, int rated,
             MedianTable& speed, MedianTable& compression) {
    auto rate = [](const Fetched& f) { return f.articles / f.seconds; };
    const std::string ms = std::to_string(static_cast<int>(2 * o.delayMs)) + " ms";
    RunOptions all;
    all.firstVisit = 0;
    RunOptions walk = all;
    walk.overview = false;

    Fetched r = fetch(work, job(delayed, o.lineGroup, all));
    speed.add(std::to_string(r.articles) + " x 60 KB, " + ms, "overview, art/s", rate(r));
    RunOptions walkNewest = walk;
    walkNewest.firstVisit = o.walkArticles;
    r = fetch(work, job(delayed, o.lineGroup, walkNewest));
    speed.add(std::to_string(o.lineArticles) + " x 60 KB, " + ms, "walk, art/s", rate(r));

    RunOptions newest;
    newest.firstVisit = 1000;
    r = fetch(work, job(delayed, o.bigGroup, newest));
    speed.add("100,000 never read, First visit 1000, " + ms, "overview, s", r.seconds);
    speed.add("100,000 never read, First visit 1000, " + ms, "files", r.files);
    r = fetch(work, job(delayed, o.bigGroup, all));
    speed.add("100,000 never read, whole, " + ms, "overview, s", r.seconds);
    speed.add("100,000 never read, whole, " + ms, "files", r.files);

    r = fetch(work, job(direct, o.lineGroup, all));
    speed.add(std::to_string(r.articles) + " x 60 KB, no delay", "overview, art/s", rate(r));
    r = fetch(work, job(direct, o.lineGroup, walk));
    speed.add(std::to_string(r.articles) + " x 60 KB, no delay", "walk, art/s", rate(r));

    for (int compress : {0, 1}) {
        const std::string row = compress ? "COMPRESS DEFLATE" : "plain";
        if (rated > 0) {
            // Everything excluded: only the overview crosses the line.
            r = fetch(work, job(rated, o.bigGroup, all, compress, "."));
            compression.add(row, "100,000-line overview, s", r.seconds);
            compression.add(row, "its wire MB", r.wire / 1e6);
            r = fetch(work, job(rated, o.lineGroup, all, compress));
            compression.add(row, "2,000 articles, s", r.seconds);
            compression.add(row, "their wire MB", r.wire / 1e6);
        }
        r = fetch(work, job(direct, o.lineGroup, all, compress));
        compression.add(row, "no delay, art/s", rate(r));
        compression.add(row, "no delay, CPU s", r.cpu);
    }
}

void run(Options& o, const std::string& work) {
    std::unique_ptr<ToolProcess> server;
    int direct = 0;
    if (o.server.empty()) {
        const std::string spool = work + "/spool";
        writeSpools(o, spool);
        server = std::make_unique<ToolProcess>(
            std::vector<std::string>{toolPath("tools/newsserver/qmere-newsd"), "--spool", spool});
        direct = server->port();
    } else {
        const auto colon = o.server.rfind(':');
        if (colon == std::string::npos) throw std::runtime_error("--server HOST:PORT");
        direct = std::stoi(o.server.substr(colon + 1));
    }
    const std::string target = "127.0.0.1:" + std::to_string(direct);
    char delay[32], rate[32];
    std::snprintf(delay, sizeof delay, "%g", o.delayMs);
    std::snprintf(rate, sizeof rate, "%g", o.rateMbit);
    const std::string relay = toolPath("tools/relay/qmere-relay");
    ToolProcess delayed({relay, "--target", target, "--delay-ms", delay});
    std::unique_ptr<ToolProcess> rated;
    if (o.rateMbit > 0)
        rated = std::make_unique<ToolProcess>(std::vector<std::string>{
            relay, "--target", target, "--delay-ms", delay, "--rate-mbit", rate});

    // Untimed warm-up: the server builds its overviews and reads its articles once.
    RunOptions all;
    all.firstVisit = 0;
    (void)fetch(work, job(direct, o.lineGroup, all));
    (void)fetch(work, job(direct, o.bigGroup, all, 0, "."));
    std::fprintf(Report, "load at start: %s\n", loadAverage().c_str());
    MedianTable speed, compression;
    for (int round = 0; round < o.rounds; ++round)
        measure(o, work, direct, delayed.port(), rated ? rated->port() : 0, speed, compression);
    std::fprintf(Report, "load at end: %s\n\n", loadAverage().c_str());
    std::fprintf(Report, "fetched, decoded and written on one connection (median of %d)\n",
                 o.rounds);
    speed.print(Report, "what");
    std::fprintf(Report, "\ncompression (relay %s Mbit/s and %s ms each way; no delay)\n", rate,
                 delay);
    compression.print(Report, "stream");
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
        if (a == "--rounds")
            o.rounds = std::max(1, std::stoi(value()));
        else if (a == "--delay-ms")
            o.delayMs = std::stod(value());
        else if (a == "--rate-mbit")
            o.rateMbit = std::stod(value());
        else if (a == "--dir")
            o.dir = value();
        else if (a == "--server")
            o.server = value();
        else if (a == "--line-group")
            o.lineGroup = value();
        else if (a == "--big-group")
            o.bigGroup = value();
        else if (a == "--line-articles")
            o.lineArticles = std::stoi(value());
        else if (a == "--big-articles")
            o.bigArticles = std::stoi(value());
        else
            throw std::runtime_error("unknown argument " + a);
    }
    // The decoder names every file it writes on standard output; the report keeps its own.
    std::fflush(stdout);
    const int report = dup(STDOUT_FILENO);
    Report = fdopen(report, "w");
    std::setvbuf(Report, nullptr, _IOLBF, 0);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    std::string base = o.dir;
    if (base.empty()) base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    std::string pattern = base + "/qmlinefetch.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a work folder");
    WorkFolder work{pattern};
    std::fprintf(Report, "== the program's fetch at the speed of the line (work folder %s)\n",
                 work.path.c_str());
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
        std::fprintf(stderr, "bench_line_fetch: %s\n", e.what());
        return 1;
    }
}
