// SPDX-License-Identifier: GPL-3.0-or-later
// Retrieval speed: a walk over N uuencoded articles of about 60 KB on the fixture news server
// (or an outside server) with 1, 4 and 8 readers, driven through the core exactly as the
// fetch command drives it, beside its peer in the same run: the same articles decoded from
// the spool files on disk as the decode command does. Each article is a real JPEG of its own
// (800 x 600), and every walk runs twice in a round: without and with the picture catalogue
// (thumbnails, the picture database, galleries), whose rate must stay within 90%. Also the
// 100,000-group list: LIST through the group-list worker, then the saved "Groups" file loaded by
// the same worker, each in a process of its own so that its peak memory (VmHWM) is its own.
//
// usage: bench_fetch [--articles N] [--kb K] [--groups G] [--readers 1,4,8] [--repeat R]
//                    [--list-groups N] [--no-list] [--no-fetch] [--no-tls] [--no-pictures]
//                    [--dir DIR]
//        bench_fetch --server HOST:PORT --group NAME... [--readers 1,4] [--expect N]
//        bench_fetch --write-articles DIR [--articles N] [--kb K] [--groups G]
//   The second form walks groups already on an outside server (fresh data folder per run);
//   the third only writes the articles, one file per article, for posting elsewhere.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "catalog/articlejournal.h"
#include "catalog/cataloghook.h"
#include "catalog/picturecatalog.h"
#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "model/grouptable.h"
#include "model/locks.h"
#include "newsserver/newsserver.h"
#include "nntp/groupfetchthread.h"
#include "nntp/readerpool.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/encoders.h"
#include "support/tlstestbed.h"

#include "benchsupport.h"

extern char** environ;

namespace qm::bench {
namespace {

namespace fs = std::filesystem;
// The report; standard output takes the decoder's line for every decoded file, as the
// commands print it, and goes to /dev/null.
FILE* Report = stdout;

long statusKB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0) return std::stol(line.substr(length + 1));
    return 0;
}

// Log lines are dropped (the "Log" file still gets the decoder's); the ends of runs and of
// the group-list worker are waited for; failures are counted and shown.
class BenchFrontend : public Frontend {
  public:
    void appendLog(std::string_view line) override {
        if (line.find("ail") != std::string_view::npos) {
            std::lock_guard lock(m_mutex);
            std::fprintf(stderr, "log: %.*s\n", static_cast<int>(line.size()), line.data());
        }
    }
    void messageBox(std::string_view text, MessageIcon) override {
        std::lock_guard lock(m_mutex);
        ++m_messages;
        std::fprintf(stderr, "message: %.*s\n", static_cast<int>(text.size()), text.data());
    }
    std::optional<Credentials> askCredentials(std::string_view, const Credentials&) override {
        return std::nullopt;
    }
    void offerAvailableGroup(GroupEntry&) override {}
    void updateGroupRow(GroupEntry&) override {}
    void runFinished() override { signal(m_runFinished); }
    void groupListFinished() override { signal(m_listFinished); }
    void openConfiguration() override {}

    bool waitRun(std::chrono::seconds limit) { return wait(m_runFinished, limit); }
    bool waitList(std::chrono::seconds limit) { return wait(m_listFinished, limit); }
    int messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

  private:
    void signal(bool& flag) {
        std::lock_guard lock(m_mutex);
        flag = true;
        m_changed.notify_all();
    }
    bool wait(bool& flag, std::chrono::seconds limit) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return flag; });
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_runFinished = false;
    bool m_listFinished = false;
    int m_messages = 0;
};

// A profile and settings on a folder of their own, loaded as a command-line session loads
// them (XDG homes below home, "Log" opened in the data directory).
class Session {
  public:
    explicit Session(const std::string& home) {
        setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        m_profile = std::make_unique<Profile>(profilePath());
        m_settings = std::make_unique<AppSettings>(m_frontend, *m_profile);
        // The default-browser lookup runs shell scripts; no page is opened here.
        m_settings->browserLookup = [] { return std::string("/bin/true"); };
        m_settings->loadSettings();
        m_settings->firstVisit = 0;  // every article of the fresh groups, not their newest
        if (makeDirectories(m_settings->dataDirectory) != 0 ||
            !m_settings->logFile.open(joinPath(m_settings->dataDirectory, "Log")))
            throw std::runtime_error("cannot prepare " + m_settings->dataDirectory);
    }
    AppSettings& settings() { return *m_settings; }
    BenchFrontend& frontend() { return m_frontend; }

  private:
    BenchFrontend m_frontend;
    std::unique_ptr<Profile> m_profile;
    std::unique_ptr<AppSettings> m_settings;
};

struct Options {
    int articles = 2000;
    int kilobytes = 60;
    int groups = 8;
    std::vector<int> readers{1, 4, 8};
    int repeat = 1;
    std::uint64_t listGroups = 100000;
    bool list = true;
    bool fetch = true;
    std::string dir;
    std::string server;  // an outside server: no spool, no peer
    std::vector<std::string> groupNames;
    int expect = 0;
    std::string writeArticles;
    bool tls = true;       // the walk again through stunnel, when openssl and stunnel4 are there
    bool pictures = true;  // every walk again with thumbnails, the database and galleries
};

std::string groupName(int index) {
    return "alt.binaries.bench." + std::to_string(index);
}

struct Article {
    std::string group;
    std::string headers;
    std::string body;
};

// A photograph stand-in of width x height: smooth waves of colour, different for every
// index, with a little grain, as a JPEG of that quality.
std::string syntheticJpeg(int index, int width, int height, int quality) {
    constexpr int Waves = 4;
    constexpr int Terms = 3 * Waves;  // per channel
    std::mt19937_64 random(static_cast<std::uint64_t>(index) * 7919 + 1);
    std::uniform_real_distribution<double> unit(0, 1);
    // sin(fx x + fy y + phase) = sin(fx x) cos(fy y + phase) + cos(fx x) sin(fy y + phase):
    // tables per column and row keep it to a few multiplications a pixel.
    std::vector<double> sx(static_cast<std::size_t>(width) * Terms), cx(sx.size());
    std::vector<double> sy(static_cast<std::size_t>(height) * Terms), cy(sy.size());
    for (int t = 0; t < Terms; ++t) {
        const double fx = unit(random) * 0.03, fy = unit(random) * 0.03;
        const double phase = unit(random) * 6.28, amplitude = 20 + unit(random) * 30;
        for (int x = 0; x < width; ++x) {
            sx[x * Terms + t] = amplitude * std::sin(fx * x);
            cx[x * Terms + t] = amplitude * std::cos(fx * x);
        }
        for (int y = 0; y < height; ++y) {
            sy[y * Terms + t] = std::sin(fy * y + phase);
            cy[y * Terms + t] = std::cos(fy * y + phase);
        }
    }
    std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
    std::uint64_t grain = static_cast<std::uint64_t>(index) * 0x9E3779B97F4A7C15ull + 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                double v = 128;
                for (int k = c * Waves; k < (c + 1) * Waves; ++k)
                    v += sx[x * Terms + k] * cy[y * Terms + k] +
                         cx[x * Terms + k] * sy[y * Terms + k];
                grain ^= grain << 13;
                grain ^= grain >> 7;
                grain ^= grain << 17;
                v += static_cast<double>(grain % 17) - 8;
                rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c] =
                    static_cast<unsigned char>(std::clamp(v, 0.0, 255.0));
            }
        }
    }
    jpeg_compress_struct jpeg{};
    jpeg_error_mgr errors{};
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&jpeg, &out, &size);
    jpeg.image_width = static_cast<JDIMENSION>(width);
    jpeg.image_height = static_cast<JDIMENSION>(height);
    jpeg.input_components = 3;
    jpeg.in_color_space = JCS_RGB;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, quality, TRUE);
    jpeg_start_compress(&jpeg, TRUE);
    while (jpeg.next_scanline < jpeg.image_height) {
        JSAMPROW row = &rgb[static_cast<std::size_t>(jpeg.next_scanline) * width * 3];
        jpeg_write_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    std::string picture(reinterpret_cast<const char*>(out), size);
    std::free(out);
    return picture;
}

// The index-th article: a picture of its own, uuencoded to about kilobytes KB (800 x 600 at
// quality 77 makes 44 KB, 60 KB as uuencoded text), in a single post.
Article makeArticle(const Options& o, int index) {
    const double scale = std::sqrt(o.kilobytes / 60.0);
    const int width = std::max(16, static_cast<int>(800 * scale));
    const int height = std::max(16, static_cast<int>(600 * scale));
    Article a;
    a.group = groupName(index % o.groups);
    const std::string file = "bench" + std::to_string(index) + ".jpg";
    a.headers =
        "Path: bench.example!not-for-mail\nFrom: bench@example.invalid\nNewsgroups: " + a.group +
        "\nSubject: " + file + " (1/1)\nMessage-ID: <" + std::to_string(index) +
        ".bench@example.invalid>\nDate: Mon, 1 Jan 2024 00:00:00 GMT\n";
    a.body = qm::test::uuencodeBody(syntheticJpeg(index, width, height, 77), file);
    return a;
}

// Writes the articles into the spool; returns every article file's path and the total size.
std::vector<std::string> writeSpool(const Options& o, const std::string& spool,
                                    std::uint64_t& bytes) {
    std::vector<std::string> paths;
    bytes = 0;
    for (int i = 0; i < o.articles; ++i) {
        Article a = makeArticle(o, i);
        const int number = i / o.groups + 1;
        newsd::writeSpoolArticle(spool, a.group, static_cast<std::uint64_t>(number), a.headers,
                                 a.body);
        paths.push_back(spool + "/" + a.group + "/" + std::to_string(number));
        bytes += a.headers.size() + 1 + a.body.size();
    }
    return paths;
}

struct Tally {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

// The decoded files below a data directory (every "news.dat" folder).
Tally decodedFiles(const std::string& dataDirectory) {
    Tally t;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dataDirectory, ec), end; it != end; it.increment(ec)) {
        if (ec) break;
        if (it->is_regular_file(ec) && it->path().parent_path().filename() == "news.dat") {
            ++t.files;
            t.bytes += it->file_size(ec);
        }
    }
    return t;
}

class CountingSink : public DecodeSink {
  public:
    void onFileDecoded(const DecodeInputs&, const std::string&, const std::string&,
                       const FileStart&) override {
        ++files;
    }
    void countAssembled(const DecodeInputs&) override {}
    int files = 0;
};

struct Measure {
    double seconds = 0;  // until the readers are done
    double cpu = 0;
    double serverCpu = 0;
    Tally decoded;
    bool ok = true;
    // With the picture catalogue: until the last thumbnail and gallery were written, and
    // the thumbnails made.
    double drained = 0;
    std::uint64_t thumbnails = 0;
};

// The thumbnails below a data directory (every "thumbs" folder).
std::uint64_t thumbnailFiles(const std::string& dataDirectory) {
    std::uint64_t count = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dataDirectory, ec), end; it != end; it.increment(ec)) {
        if (ec) break;
        count += it->is_regular_file(ec) && it->path().parent_path().filename() == "thumbs";
    }
    return count;
}

// A new data folder for every timed run; all are removed with the work folder at the end.
// Removing the last run's thousands of files just before the next run would make every
// file the next run creates slower on an ext4 without a journal, which passes over
// recently deleted inodes when it picks one.
class RunFolders {
  public:
    explicit RunFolders(std::string root) : m_root(std::move(root)) {}
    std::string next(const char* what) {
        return m_root + "/" + what + "-" + std::to_string(++m_count);
    }

  private:
    std::string m_root;
    int m_count = 0;
};

// The peer: the spool files decoded one by one from disk, as the decode command does.
Measure decodeFromDisk(const std::vector<std::string>& paths, const std::string& home) {
    fs::remove_all(home);
    Session session(home);
    AppSettings& settings = session.settings();
    const DecodeInputs inputs{
        settings.dataDirectory, settings.dataDirectory, nullptr, "", &settings.logFile, "", -1};
    Decoder decoder;
    CountingSink sink;
    decoder.setSink(&sink);
    Measure m;
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    for (const std::string& path : paths) {
        FilePtr in = openFile(path, "r");
        if (!in) {
            m.ok = false;
            continue;
        }
        std::lock_guard lock(DecodeLock);
        (void)decoder.decodeArticle(std::move(in), inputs, false, false, false);  // timing only
    }
    m.seconds = secondsSince(start);
    m.cpu = cpuSeconds() - cpu0;
    m.decoded = decodedFiles(settings.dataDirectory);
    return m;
}

// One retrieval run as the fetch command makes it, on a fresh data folder; with pictures,
// the catalogue makes thumbnails, records the pictures and writes galleries as it does.
Measure fetchRun(const std::string& serverText, const std::vector<std::string>& names, int readers,
                 const std::string& home, bool tls = false, bool pictures = false) {
    fs::remove_all(home);
    Session session(home);
    AppSettings& settings = session.settings();
    settings.useServerText(serverText).setSecure(tls);
    GroupTable run;
    for (const std::string& name : names) {
        GroupEntry& group = settings.newGroup(name, Active);
        settings.allGroups.add(group);
        group.set(Selected);
        run.add(group);
    }
    Decoder decoder;
    PictureCatalog catalog(
        [&session](std::string_view line) { session.frontend().appendLog(line); });
    CatalogHook hook(settings, pictures ? &catalog : nullptr);
    decoder.setSink(&hook);
    // As the session commits: every article recorded in the journal.
    ArticleJournal journal;
    if (!journal.open(settings.dataDirectory)) std::fprintf(stderr, "cannot open the journal\n");
    hook.setJournal(&journal);
    Measure m;
    const double cpu0 = cpuSeconds();
    const auto start = Clock::now();
    {
        ReaderPool pool(settings, decoder, readers);
        pool.distribute(run);
        pool.setServer(settings.currentServer());
        if (pictures) catalog.start(settings.dataDirectory);  // as the session's run start does
        pool.startRun();
        m.ok = session.frontend().waitRun(std::chrono::seconds(900));
        m.seconds = secondsSince(start);
        pool.stopAll();
    }
    if (pictures) {
        m.ok = catalog.finish({}) && m.ok;  // as the fetch command waits for them
        m.drained = secondsSince(start);
        m.thumbnails = thumbnailFiles(settings.dataDirectory);
    }
    m.cpu = cpuSeconds() - cpu0;
    m.ok = m.ok && session.frontend().messages() == 0;
    for (const std::string& name : names) {
        GroupEntry* group = settings.allGroups.find(name);
        if (!group || !group->has(Finished)) m.ok = false;
    }
    m.decoded = decodedFiles(settings.dataDirectory);
    return m;
}

// ---- the group list, each step in a process of its own

// Child: LIST through the group-list worker (no "Groups" file yet), or the saved file loaded
// by the same worker. Prints "seconds VmHWM-kB VmRSS-before-kB groups".
int listPhase(const std::string& home, const std::string& serverText) {
    Session session(home);
    AppSettings& settings = session.settings();
    settings.useServerText(serverText);
    const long before = statusKB("VmRSS:");
    GroupFetchThread worker(settings);
    const auto start = Clock::now();
    if (worker.start() != 0 || !session.frontend().waitList(std::chrono::seconds(300))) return 1;
    const double seconds = secondsSince(start);
    worker.wait(std::chrono::seconds(60));
    std::fprintf(stdout, "%.4f %ld %ld %zu\n", seconds, statusKB("VmHWM:"), before,
                 settings.allGroups.size());
    return 0;
}

struct ListResult {
    double seconds = 0;
    double peakMB = 0;
    double startMB = 0;
    std::size_t groups = 0;
    bool ok = false;
};

ListResult runListPhase(const std::string& self, const std::string& home,
                        const std::string& serverText) {
    const std::string command = "'" + self + "' --phase-list '" + home + "' '" + serverText + "'";
    ListResult r;
    FILE* child = popen(command.c_str(), "r");
    if (!child) return r;
    long peak = 0, start = 0;
    r.ok = std::fscanf(child, "%lf %ld %ld %zu", &r.seconds, &peak, &start, &r.groups) == 4;
    r.ok = pclose(child) == 0 && r.ok;
    r.peakMB = peak / 1024.0;
    r.startMB = start / 1024.0;
    return r;
}

std::string selfPath() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).string();
}

void groupListBench(const Options& o, const std::string& root) {
    newsd::NewsServerOptions serverOptions;
    serverOptions.spool = root + "/empty-spool";
    serverOptions.syntheticGroups = o.listGroups;
    newsd::NewsServer server(serverOptions);
    server.start();
    const std::string serverText = "127.0.0.1 " + std::to_string(server.port());
    const std::string home = root + "/list-home";
    const std::string self = selfPath();

    std::fprintf(Report, "\n== %llu-group list (load %s)\n",
                 static_cast<unsigned long long>(o.listGroups), loadAverage().c_str());
    std::fprintf(
        Report,
        "| step | groups | time (s) | VmHWM (MB) | RSS at start (MB) |\n|---|---|---|---|---|\n");
    for (int i = 0; i < o.repeat; ++i) {
        fs::remove_all(home);
        ListResult list = runListPhase(self, home, serverText);
        ListResult load = runListPhase(self, home, serverText);  // the file saved by the first
        std::fprintf(
            Report, "| LIST from server, saved as \"Groups\" | %zu | %.3f | %.1f | %.1f |%s\n",
            list.groups, list.seconds, list.peakMB, list.startMB, list.ok ? "" : " FAILED");
        std::fprintf(Report, "| \"Groups\" file loaded | %zu | %.3f | %.1f | %.1f |%s\n",
                     load.groups, load.seconds, load.peakMB, load.startMB,
                     load.ok ? "" : " FAILED");
    }
    server.stop();
    std::fprintf(Report, "(load after: %s)\n", loadAverage().c_str());
}

// ---- the walk

void printRun(const char* what, const std::string& readers, const Measure& m, int articles,
              std::uint64_t wireBytes) {
    const bool complete = m.ok && m.decoded.files == static_cast<std::uint64_t>(articles);
    std::fprintf(
        Report, "| %s | %s | %.3f | %.0f | %.1f | %.1f | %.3f | %.3f |%s\n", what, readers.c_str(),
        m.seconds, articles / m.seconds, wireBytes / m.seconds / 1e6,
        static_cast<double>(m.decoded.bytes) / m.seconds / 1e6, m.cpu / articles * 1e3,
        m.serverCpu / articles * 1e3,
        complete ? "" : (" INCOMPLETE: " + std::to_string(m.decoded.files) + " files").c_str());
}

struct Run {
    int readers;
    Measure fetch;
    Measure peer;
    std::optional<Measure> pictures;  // the same walk with the picture catalogue
};

// What the picture catalogue costs the walk: its rate against the walk's without it, in the
// same round, and how long after the readers the last thumbnail was made.
void picturesSummary(const std::vector<Run>& runs, const Options& o) {
    std::fprintf(Report,
                 "\nthe same walk with thumbnails, the picture database and galleries (goal: at "
                 "least 90%% of the rate without)\n| readers | without (s) | with (s) | rate "
                 "kept | thumbnails done (s) | thumbnails | client CPU ms/article without / "
                 "with |\n|---|---|---|---|---|---|---|\n");
    for (const Run& run : runs) {
        if (!run.pictures) continue;
        const Measure& p = *run.pictures;
        std::fprintf(Report, "| %d | %.3f | %.3f | %.0f%% | %.3f | %llu%s | %.3f / %.3f |\n",
                     run.readers, run.fetch.seconds, p.seconds, 100 * run.fetch.seconds / p.seconds,
                     p.drained, static_cast<unsigned long long>(p.thumbnails),
                     p.thumbnails == static_cast<std::uint64_t>(o.articles) ? "" : " INCOMPLETE",
                     run.fetch.cpu / o.articles * 1e3, p.cpu / o.articles * 1e3);
    }
    for (int readers : o.readers) {
        std::vector<double> kept;
        for (const Run& run : runs)
            if (run.readers == readers && run.pictures)
                kept.push_back(run.fetch.seconds / run.pictures->seconds);
        if (kept.empty()) continue;
        std::fprintf(Report, "median rate kept with pictures, %d reader%s: %.0f%% (%zu rounds)\n",
                     readers, readers == 1 ? "" : "s", 100 * medianOf(kept), kept.size());
    }
}

void fetchBench(const Options& o, const std::string& root) {
    const std::string spool = root + "/spool";
    std::uint64_t wireBytes = 0;
    const auto written = Clock::now();
    const std::vector<std::string> paths = writeSpool(o, spool, wireBytes);
    std::fprintf(Report,
                 "\n== walk over %d articles, %.1f KB each on average, %d groups (spool written in "
                 "%.1f s)\n",
                 o.articles, wireBytes / 1e3 / o.articles, o.groups, secondsSince(written));

    const std::string program =
        (fs::path(selfPath()).parent_path().parent_path() / "tools/newsserver/qmere-newsd")
            .string();
    // The fixture server as a process of its own (qmere-newsd, built beside the bench), so
    // that the bench's own CPU time is the client's alone.
    ToolProcess server({program, "--spool", spool});
    const std::string serverText = "127.0.0.1 " + std::to_string(server.port());
    std::vector<std::string> names;
    for (int g = 0; g < o.groups; ++g) names.push_back(groupName(g));

    std::fprintf(Report, "load at start: %s\n", loadAverage().c_str());
    std::fprintf(Report,
                 "| what | readers | time (s) | articles/s | article MB/s | decoded MB/s | client "
                 "CPU ms/article | server CPU ms/article |\n|---|---|---|---|---|---|---|---|\n");
    // The machine's speed drifts (it is shared), so every round measures the peer right
    // before its fetch runs, and each run is compared with the peer of its own round.
    RunFolders folders(root);
    std::vector<Run> runs;
    // The disk decode reads the spool from the page cache; an untimed walk first gives the
    // server its articles in memory likewise.
    (void)fetchRun(serverText, names, 4, folders.next("warm-up"));
    for (int r = 0; r < o.repeat; ++r) {
        Measure peer = decodeFromDisk(paths, folders.next("peer-home"));
        printRun("decode from disk", "-", peer, o.articles, wireBytes);
        for (int readers : o.readers) {
            const double server0 = server.cpuSeconds();
            Measure m = fetchRun(serverText, names, readers, folders.next("fetch-home"));
            m.serverCpu = server.cpuSeconds() - server0;
            runs.push_back({readers, m, peer, std::nullopt});
            printRun("fetch, fixture server", std::to_string(readers), m, o.articles, wireBytes);
            if (!o.pictures) continue;
            const double server1 = server.cpuSeconds();
            Measure p =
                fetchRun(serverText, names, readers, folders.next("pictures-home"), false, true);
            p.serverCpu = server.cpuSeconds() - server1;
            runs.back().pictures = p;
            printRun("fetch + thumbnails, database", std::to_string(readers), p, o.articles,
                     wireBytes);
        }
    }
    if (o.tls && qm::test::tlsToolsPresent()) {
        // The same walk over implicit TLS: stunnel in front of the same server, its
        // certificate made for localhost by an authority the client is told to trust.
        qm::test::TestCertificates certificates;
        qm::test::StunnelProcess tunnel(certificates.good(), server.port());
        setenv("SSL_CERT_FILE", certificates.authorityFile().c_str(), 1);
        const std::string tlsText = "localhost " + std::to_string(tunnel.port());
        for (int readers : o.readers) {
            const double server0 = server.cpuSeconds();
            Measure m = fetchRun(tlsText, names, readers, folders.next("fetch-home"), true);
            m.serverCpu = server.cpuSeconds() - server0;
            printRun("fetch over TLS (stunnel)", std::to_string(readers), m, o.articles, wireBytes);
        }
        unsetenv("SSL_CERT_FILE");
    }
    std::fprintf(Report, "load at end: %s\n", loadAverage().c_str());

    // The split: the decoder has no timing hooks, so the disk decode's time per article
    // stands for decoding and writing; the rest of a run's wall time is the network, the
    // protocol, the server, saving the article text and the catalogue.
    std::fprintf(Report,
                 "\nsplit per article; decode+write = the disk decode of the same round\n"
                 "| readers | ms/article | decode+write | rest (network, protocol, server, text, "
                 "catalogue) | rate vs disk decode |\n|---|---|---|---|---|\n");
    for (const Run& run : runs) {
        const double perArticle = run.fetch.seconds / o.articles;
        const double decodePerArticle = run.peer.seconds / o.articles;
        std::fprintf(Report, "| %d | %.3f | %.3f (%.0f%%) | %.3f (%.0f%%) | %.0f%% |\n",
                     run.readers, perArticle * 1e3, decodePerArticle * 1e3,
                     100 * decodePerArticle / perArticle, (perArticle - decodePerArticle) * 1e3,
                     100 * (perArticle - decodePerArticle) / perArticle,
                     100 * run.peer.seconds / run.fetch.seconds);
    }
    for (int readers : o.readers) {
        std::vector<double> ratios;
        for (const Run& run : runs)
            if (run.readers == readers) ratios.push_back(run.peer.seconds / run.fetch.seconds);
        std::fprintf(Report, "median rate vs disk decode, %d reader%s: %.0f%% (%zu rounds)\n",
                     readers, readers == 1 ? "" : "s", 100 * medianOf(ratios), ratios.size());
    }
    if (o.pictures) picturesSummary(runs, o);
}

// The walk against an outside server (INN): groups given, no spool and no peer.
void outsideBench(const Options& o, const std::string& root) {
    std::string serverText = o.server;
    if (auto colon = serverText.rfind(':'); colon != std::string::npos) serverText[colon] = ' ';
    std::fprintf(Report, "\n== walk on %s over %zu groups (load %s)\n", o.server.c_str(),
                 o.groupNames.size(), loadAverage().c_str());
    std::fprintf(Report,
                 "| readers | time (s) | articles/s | decoded MB/s | CPU (client) | files |\n"
                 "|---|---|---|---|---|---|\n");
    RunFolders folders(root);
    for (int r = 0; r < o.repeat; ++r) {
        for (int readers : o.readers) {
            Measure m = fetchRun(serverText, o.groupNames, readers, folders.next("fetch-home"));
            const double files = static_cast<double>(m.decoded.files);
            std::fprintf(
                Report, "| %d | %.3f | %.0f | %.1f | %.0f%% | %llu |%s\n", readers, m.seconds,
                files / m.seconds, static_cast<double>(m.decoded.bytes) / m.seconds / 1e6,
                100 * m.cpu / m.seconds, static_cast<unsigned long long>(m.decoded.files),
                m.ok && (o.expect == 0 || m.decoded.files == static_cast<std::uint64_t>(o.expect))
                    ? ""
                    : " INCOMPLETE");
        }
    }
    std::fprintf(Report, "load at end: %s\n", loadAverage().c_str());
}

// Writes the articles as whole files (headers, empty line, body) for posting elsewhere.
void writeArticleFiles(const Options& o) {
    fs::create_directories(o.writeArticles);
    for (int i = 0; i < o.articles; ++i) {
        Article a = makeArticle(o, i);
        std::ofstream out(o.writeArticles + "/" + std::to_string(i));
        out << a.headers << '\n' << a.body;
    }
}

int run(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--phase-list") {
        std::string serverText = args[2];
        return listPhase(args[1], serverText);
    }
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
        else if (a == "--groups")
            o.groups = std::stoi(value());
        else if (a == "--readers")
            o.readers = parseList(value());
        else if (a == "--repeat")
            o.repeat = std::stoi(value());
        else if (a == "--list-groups")
            o.listGroups = std::stoull(value());
        else if (a == "--no-list")
            o.list = false;
        else if (a == "--no-fetch")
            o.fetch = false;
        else if (a == "--no-tls")
            o.tls = false;
        else if (a == "--no-pictures")
            o.pictures = false;
        else if (a == "--dir")
            o.dir = value();
        else if (a == "--server")
            o.server = value();
        else if (a == "--group")
            o.groupNames.push_back(value());
        else if (a == "--expect")
            o.expect = std::stoi(value());
        else if (a == "--write-articles")
            o.writeArticles = value();
        else
            throw std::runtime_error("unknown argument " + a);
    }
    const int reportFd = dup(STDOUT_FILENO);
    Report = reportFd >= 0 ? fdopen(reportFd, "w") : nullptr;
    if (!Report || !std::freopen("/dev/null", "w", stdout))
        throw std::runtime_error("cannot set up the report");
    std::setvbuf(Report, nullptr, _IOLBF, 0);
    if (!o.writeArticles.empty()) {
        writeArticleFiles(o);
        return 0;
    }
    std::string pattern =
        (o.dir.empty() ? fs::temp_directory_path().string() : o.dir) + "/qmfetchbench.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a work folder");
    WorkFolder work{pattern};
    std::fprintf(Report, "work folder %s; load %s\n", work.path.c_str(), loadAverage().c_str());
    if (!o.server.empty()) {
        outsideBench(o, work.path);
        return 0;
    }
    if (o.list) groupListBench(o, work.path);
    if (o.fetch) fetchBench(o, work.path);
    return 0;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
    try {
        return qm::bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_fetch: %s\n", e.what());
        return 1;
    }
}
