// SPDX-License-Identifier: GPL-3.0-or-later
// The message-id index's duplicate check at its full size of 10000 ids, against the plain
// walk over the ring (checksum first, then the bytes) that a ring alone allows; and the cost
// of adding and saving.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "model/messageidindex.h"

namespace {

constexpr int Capacity = 10000;

std::string idOf(int i) {
    return "<part" + std::to_string(i) + "of" + std::to_string(Capacity) +
           ".Xk3Lq9@news.example.net>";
}

// The ring alone, as a reference: contains walks from the oldest id to the newest.
class LinearRing {
  public:
    void add(const std::string& id) {
        if (m_ids.size() < Capacity) {
            m_ids.push_back(id);
            m_checksums.push_back(qm::MessageIdIndex::checksum(id));
            return;
        }
        m_ids[m_head] = id;
        m_checksums[m_head] = qm::MessageIdIndex::checksum(id);
        m_head = (m_head + 1) % Capacity;
    }
    bool contains(std::string_view id) const {
        int sum = qm::MessageIdIndex::checksum(id);
        for (size_t i = 0; i < m_ids.size(); ++i) {
            size_t slot = (m_head + i) % m_ids.size();
            if (m_checksums[slot] == sum && m_ids[slot] == id) return true;
        }
        return false;
    }

  private:
    std::vector<std::string> m_ids;
    std::vector<int> m_checksums;
    size_t m_head = 0;
};

// A scratch folder below the system's temporary folder, removed afterwards.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qmbench.XXXXXX").string();
        if (mkdtemp(pattern.data())) m_path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

// Probes: ids in the ring (spread over it) or absent ones.
std::vector<std::string> probes(bool hit) {
    std::vector<std::string> result;
    for (int i = 0; i < 64; ++i) result.push_back(idOf(hit ? i * 151 % Capacity : Capacity + i));
    return result;
}

void fill(qm::MessageIdIndex& index) {
    for (int i = 0; i < Capacity; ++i) (void)index.add(idOf(i), true);
}

void BM_IndexContains(benchmark::State& state) {
    qm::MessageIdIndex index(Capacity);
    fill(index);
    const std::vector<std::string> ids = probes(state.range(0) != 0);
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(index.contains(ids[next]));
        next = (next + 1) % ids.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_LinearWalkContains(benchmark::State& state) {
    LinearRing ring;
    for (int i = 0; i < Capacity; ++i) ring.add(idOf(i));
    const std::vector<std::string> ids = probes(state.range(0) != 0);
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.contains(ids[next]));
        next = (next + 1) % ids.size();
    }
    state.SetItemsProcessed(state.iterations());
}

// Adding to a full ring: the oldest id is dropped from the ring and the hash index.
void BM_IndexAddOverwriting(benchmark::State& state) {
    qm::MessageIdIndex index(Capacity);
    fill(index);
    std::vector<std::string> ids;
    for (int i = 0; i < Capacity; ++i) ids.push_back(idOf(Capacity + i));
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(index.add(ids[next], true));
        next = (next + 1) % ids.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_IndexSave(benchmark::State& state) {
    ScratchFolder dir;
    if (dir.path().empty()) {
        state.SkipWithError("no scratch folder");
        return;
    }
    qm::MessageIdIndex index(Capacity);
    index.setDirectory(dir.path());
    fill(index);
    for (auto _ : state) {
        if (index.save() != 0) state.SkipWithError("MSGLIST could not be written");
    }
    state.SetItemsProcessed(state.iterations() * Capacity);
}

}  // namespace

BENCHMARK(BM_IndexContains)->ArgName("hit")->Arg(1)->Arg(0);
BENCHMARK(BM_LinearWalkContains)->ArgName("hit")->Arg(1)->Arg(0);
BENCHMARK(BM_IndexAddOverwriting);
BENCHMARK(BM_IndexSave)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
