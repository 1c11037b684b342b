// SPDX-License-Identifier: GPL-3.0-or-later
// The message-id history ("history.db"): lookups of 1, 2 and 4 readers side by side, beside the
// same lookups taken one at a time under one lock (as they would be under the decode lock); the
// start's filling from "MSGLIST" (10,000 ids, all there already); and one grouped commit of
// 2,000 new ids (a second of the 2,000-article benchmark), synced. The history holds 200,000 ids;
// half the lookups find theirs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalog/messagehistory.h"

namespace {

constexpr int Stored = 200000;

std::string idOf(int i) {
    return "<part" + std::to_string(i) + ".Xk3Lq9@news.example.net>";
}

// A history of Stored ids in a scratch folder below the system's temporary folder (on disk),
// made once for the whole run.
struct Filled {
    std::string folder;
    std::unique_ptr<qm::MessageHistory> history;

    Filled() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qmhistory.XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        folder = pattern;
        history = std::make_unique<qm::MessageHistory>([](std::string_view) {});
        if (!history->open(folder)) std::abort();
        std::vector<std::string> ids;
        for (int i = 0; i < Stored; ++i) ids.push_back(idOf(i));
        if (!history->insert(ids)) std::abort();
    }
    ~Filled() {
        history.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
};

Filled& filled() {
    static Filled f;
    return f;
}

std::mutex oneLock;

void lookups(benchmark::State& state, bool underOneLock) {
    qm::MessageHistory& history = *filled().history;
    int i = static_cast<int>(state.thread_index()) * 7919;
    std::int64_t found = 0;
    for (auto _ : state) {
        // Every other one is an id never stored.
        const int n = i++;
        const std::string id = idOf(n % 2 ? n % Stored : -1 - n % Stored);
        if (underOneLock) {
            std::lock_guard lock(oneLock);
            found += history.contains(id);
        } else {
            found += history.contains(id);
        }
    }
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(state.iterations());
}

void BM_HistoryLookupSideBySide(benchmark::State& state) {
    lookups(state, false);
}
BENCHMARK(BM_HistoryLookupSideBySide)->ThreadRange(1, 4)->UseRealTime();

void BM_HistoryLookupUnderOneLock(benchmark::State& state) {
    lookups(state, true);
}
BENCHMARK(BM_HistoryLookupUnderOneLock)->ThreadRange(1, 4)->UseRealTime();

void BM_HistoryFillFromMsglist(benchmark::State& state) {
    qm::MessageHistory& history = *filled().history;
    std::vector<std::string> ids;
    for (int i = 0; i < 10000; ++i) ids.push_back(idOf(i * 17));
    for (auto _ : state) benchmark::DoNotOptimize(history.insert(ids));
}
BENCHMARK(BM_HistoryFillFromMsglist)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HistoryGroupedCommitOf2000(benchmark::State& state) {
    qm::MessageHistory& history = *filled().history;
    int next = Stored;
    for (auto _ : state) {
        for (int i = 0; i < 2000; ++i) history.add(idOf(next++));
        benchmark::DoNotOptimize(history.commit());
    }
}
BENCHMARK(BM_HistoryGroupedCommitOf2000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
