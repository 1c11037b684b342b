// SPDX-License-Identifier: GPL-3.0-or-later
// Loading a "Groups" file of 100,000 names through loadList (a new settings record each time,
// so every name is new, as at the first fetch of a server's list; and again into a filled
// table, as at a reload), beside a peer: the standard library reading the same words into a
// hash set. Peak memory of the process (VmHWM) is reported as a counter.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unordered_set>

#include "config/appsettings.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/silentfrontend.h"

namespace {

constexpr int GroupCount = 100000;

class NullFrontend : public qm::test::SilentFrontend {
  public:
    void offerAvailableGroup(qm::GroupEntry&) override { ++offered; }
    long offered = 0;
};

// A throw-away XDG home with a "Groups" file in the program directory.
struct Fixture {
    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qmbench.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        root = pattern;
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        if (qm::makeDirectories(qm::programDirectory()) != 0) std::abort();
        file = qm::joinPath(qm::programDirectory(), "Groups");
        // Names shaped like a real list: a hierarchy, then two to five words of varied
        // length (the name hash sums bytes, so uniform synthetic names would all collide).
        static const char* const Tops[] = {"alt", "comp", "rec", "sci", "news", "misc",
                                           "soc", "talk", "de",  "uk",  "fr",   "it"};
        std::mt19937 random(1998);
        std::ofstream out(file);
        for (int i = 0; i < GroupCount; ++i) {
            std::string name = Tops[random() % std::size(Tops)];
            int words = 2 + static_cast<int>(random() % 4);
            for (int w = 0; w < words; ++w) {
                name += '.';
                int length = 2 + static_cast<int>(random() % 11);
                for (int c = 0; c < length; ++c) name += static_cast<char>('a' + random() % 26);
            }
            out << name << i % 10 << '\n';
        }
        out << ".\n";
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::string root;
    std::string file;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

double peakMemoryMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

void BM_LoadListNewNames(benchmark::State& state) {
    fixture();
    NullFrontend frontend;
    qm::Profile profile(qm::profilePath());
    for (auto _ : state) {
        state.PauseTiming();
        auto settings = std::make_unique<qm::AppSettings>(frontend, profile);
        state.ResumeTiming();
        int result = settings->loadList(settings->allGroups, "Groups", true);
        benchmark::DoNotOptimize(result);
        if (result != 0 || settings->allGroups.size() != GroupCount) {
            state.SkipWithError("load failed");
        }
        state.PauseTiming();
        settings.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * GroupCount);
    state.counters["VmHWM_MB"] = peakMemoryMB();
}

void BM_LoadListKnownNames(benchmark::State& state) {
    fixture();
    NullFrontend frontend;
    qm::Profile profile(qm::profilePath());
    qm::AppSettings settings(frontend, profile);
    (void)settings.loadList(settings.allGroups, "Groups", true);
    for (auto _ : state) {
        benchmark::DoNotOptimize(settings.loadList(settings.allGroups, "Groups", true));
    }
    state.SetItemsProcessed(state.iterations() * GroupCount);
    state.counters["VmHWM_MB"] = peakMemoryMB();
}

// The peer: ifstream words into an unordered_set, stopping at ".".
void BM_PeerIfstreamIntoHashSet(benchmark::State& state) {
    const std::string& file = fixture().file;
    for (auto _ : state) {
        std::unordered_set<std::string> names;
        std::ifstream in(file);
        std::string word;
        while (in >> word && word != ".") names.insert(word);
        benchmark::DoNotOptimize(names.size());
    }
    state.SetItemsProcessed(state.iterations() * GroupCount);
    state.counters["VmHWM_MB"] = peakMemoryMB();
}

}  // namespace

BENCHMARK(BM_PeerIfstreamIntoHashSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadListNewNames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadListKnownNames)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
