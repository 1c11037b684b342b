// SPDX-License-Identifier: GPL-3.0-or-later
// Thumbnails of large JPEGs against the peers, whole runs measured side by side on the same
// files: libvips's own vipsthumbnail (Debian libvips-tools) and ImageMagick's
// convert -thumbnail 200x200, one process per picture.
// Usage: bench_thumbnails [pictures, default 200]
// The pictures (4000 x 3000, quality 90, a few MB each, all different) are made once with
// ImageMagick and libvips's command line and kept in $QM_BENCH_CACHE (default
// /var/tmp/qmere-bench). Every run is a fresh process, ours included, so that loading and
// starting libvips counts as it does for vipsthumbnail; each is the best of 3 (convert: 1),
// taken round by round.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "catalog/thumbnailer.h"
#include "catalog/thumbnailworker.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

// Processor time (user and system) of the child processes waited for so far.
double childCpu() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double seconds(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool sh(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string cacheDirectory(int count) {
    const char* env = std::getenv("QM_BENCH_CACHE");
    return std::string(env && *env ? env : "/var/tmp/qmere-bench") + "/jpeg4000x3000-" +
           std::to_string(count);
}

// Makes the pictures once: a plasma with grain, then as many colour variants of it.
std::vector<std::string> pictures(int count) {
    const std::string dir = cacheDirectory(count);
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(dir + "/p" + std::to_string(i) + ".jpg");
    if (fs::exists(dir + "/complete")) return paths;
    fs::create_directories(dir);
    std::printf("making %d pictures of 4000 x 3000 in %s (once)...\n", count, dir.c_str());
    std::fflush(stdout);
    const std::string base = dir + "/base.v";
    if (!sh("convert -seed 7 -size 1000x750 plasma:fractal -resize 4000x3000! -attenuate 0.15 "
            "+noise Gaussian '" +
            dir + "/base.ppm' && vips copy '" + dir + "/base.ppm' '" + base + "'")) {
        return {};
    }
    for (int i = 0; i < count; ++i) {
        const double r = 0.7 + 0.3 * (i % 7) / 6.0, g = 0.7 + 0.3 * (i % 5) / 4.0;
        const std::string command = "vips linear '" + base + "' '" + paths[i] + "[Q=90]' '" +
                                    std::to_string(r) + " " + std::to_string(g) + " 1' '" +
                                    std::to_string(i % 40) + " 0 0' --uchar";
        if (!sh(command)) return {};
    }
    fs::remove(base);
    fs::remove(dir + "/base.ppm");
    std::ofstream(dir + "/complete") << "done\n";
    return paths;
}

// ---- our side, in a child process of its own: "--time <variant> <list> <out>"; exit status 0
// when every picture went as the variant expects

int timeOurs(const std::string& variant, const std::string& list, const std::string& out) {
    std::vector<std::string> files;
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);) files.push_back(line);
    std::atomic<int> failures{0};
    auto log = [&](std::string_view) { ++failures; };
    qm::ThumbnailOptions options;
    if (variant == "strict") options.failOnTruncated = true;
    if (variant == "header") options.maxPixels = 1;  // refused once its header is read
    double took = 0;
    if (variant == "worker") {
        // What a run does per picture: its digest, its record, its thumbnail, its gallery.
        const std::string data = out + "/data", group = data + "/alt.bench";
        fs::create_directories(group + "/news.dat");
        took = seconds([&] {
            qm::ThumbnailWorker worker(data, log);
            for (const std::string& f : files) {
                qm::DuplicateCheck check = worker.check(f);
                if (check.readable())
                    worker.submit({f, "alt.bench", group, "A picture", ""}, check);
            }
            worker.waitIdle(std::chrono::minutes(30));
        });
    } else {
        qm::Thumbnailer thumbnailer(log, options);
        took = seconds([&] {
            for (const std::string& f : files) {
                thumbnailer.make(f, qm::thumbnailPath(out, std::string(qm::baseName(f))));
            }
        });
    }
    const bool failed =
        variant == "header" ? failures != static_cast<int>(files.size()) : failures != 0;
    std::printf("%f\n", took);
    return failed ? 1 : 0;
}

struct Run {
    std::string label;
    std::string command;  // {out} is replaced by a fresh output folder
    int repeats = 3;
};

struct Timing {
    double wall = 1e30;  // seconds, the best run
    double cpu = 1e30;   // processor seconds of that kind of run, the least
    bool ok = true;
};

// Runs every command repeats times, round by round, so that the load of a shared machine
// falls on all of them alike. Processor time is the steadier figure there: it does not count
// the time waited for a core that another program holds.
std::vector<Timing> bestTimes(const std::vector<Run>& runs, const std::string& work) {
    std::vector<Timing> best(runs.size());
    for (int round = 0; round < 3; ++round) {
        for (std::size_t r = 0; r < runs.size(); ++r) {
            if (round >= runs[r].repeats) continue;
            const std::string out = work + "/out";
            fs::remove_all(out);
            fs::create_directories(out);
            std::string command = runs[r].command;
            for (auto at = command.find("{out}"); at != std::string::npos;
                 at = command.find("{out}")) {
                command.replace(at, 5, out);
            }
            bool good = true;
            const double cpuBefore = childCpu();
            const double took = seconds([&] { good = sh(command + " >/dev/null 2>&1"); });
            best[r].wall = std::min(best[r].wall, took);
            best[r].cpu = std::min(best[r].cpu, childCpu() - cpuBefore);
            best[r].ok = best[r].ok && good;
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--time") return timeOurs(argv[2], argv[3], argv[4]);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    for (const char* tool : {"vipsthumbnail", "convert", "vips"}) {
        if (!sh(std::string("command -v ") + tool + " >/dev/null")) {
            std::printf("bench_thumbnails: skipped: %s is missing (scripts/install-deps.sh test)\n",
                        tool);
            return 0;
        }
    }
    const std::vector<std::string> files = pictures(count);
    if (files.empty()) {
        std::printf("bench_thumbnails: cannot make the pictures\n");
        return 1;
    }
    std::string work = (fs::temp_directory_path() / "qmbench.XXXXXX").string();
    if (!mkdtemp(work.data())) return 1;
    const std::string list = work + "/list";
    std::string quoted;
    {
        std::ofstream out(list);
        for (const std::string& f : files) {
            out << f << "\n";
            quoted += " '" + f + "'";
        }
    }
    std::uintmax_t bytes = 0;
    for (const std::string& f : files) bytes += fs::file_size(f);
    const std::string self = qm::executableDirectory() + "bench_thumbnails";
    const std::string ours = "'" + self + "' --time ";
    const std::vector<Run> runs = {
        {"vipsthumbnail --size 200", "vipsthumbnail --size 200 -o '{out}/%s.jpg'" + quoted},
        {"ours", ours + "default '" + list + "' '{out}'"},
        {"ours, 2 libvips threads",
         "VIPS_CONCURRENCY=2 " + ours + "default '" + list + "' '{out}'"},
        {"ours, fail on truncation", ours + "strict '" + list + "' '{out}'"},
        {"ours, header only", ours + "header '" + list + "' '{out}'"},
        {"ours, whole worker", ours + "worker '" + list + "' '{out}'"},
        {"vipsthumbnail, 1 thread",
         "VIPS_CONCURRENCY=1 vipsthumbnail --size 200 -o '{out}/%s.jpg'" + quoted},
        {"convert -thumbnail 200x200",
         "for f in" + quoted +
             "; do convert \"$f\" -thumbnail 200x200 \"{out}/$(basename \"$f\")\"; done",
         1},
    };
    std::printf(
        "thumbnails of %d JPEGs of 4000 x 3000 (%.0f MB), whole runs, best of 3 (convert 1)\n",
        count, bytes / 1e6);
    const std::vector<Timing> times = bestTimes(runs, work);
    const Timing& peer = times[0];
    std::printf("%-28s %9s %14s %8s %12s\n", "", "wall", "a picture", "cpu", "ratios");
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const Timing& t = times[r];
        std::printf("%-28s %8.2f s %9.1f ms %7.2f s   x%.2f wall x%.2f cpu of vipsthumbnail%s\n",
                    runs[r].label.c_str(), t.wall, t.wall * 1000 / count, t.cpu, t.wall / peer.wall,
                    t.cpu / peer.cpu, t.ok ? "" : "  FAILED");
    }
    bool allOk = true;
    for (const Timing& t : times) allOk = allOk && t.ok;
    fs::remove_all(work);
    return allOk ? 0 : 1;
}
