// SPDX-License-Identifier: GPL-3.0-or-later
// The shared turn of a group read by several readers at once: the position only ever covers
// numbers dealt with, whatever order the readers finish in, articles given back by a reader
// that leaves go to another, and the group is finished once, by one reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "model/groupentry.h"
#include "nntp/groupturns.h"
#include "nntp/sharedgroupturn.h"

namespace qm::test {
namespace {

using Kind = WindowAsk::Kind;

std::vector<TurnItem> listed(std::int64_t from, std::int64_t to, std::int64_t step) {
    std::vector<TurnItem> items;
    for (std::int64_t n = from; n <= to; n += step) items.push_back({n, 1000, Kind::Listed, {}});
    return items;
}

TEST(SharedGroupTurn, ThePositionCoversOnlyTheDealtWithPrefixAndATailNotFoundStaysOpen) {
    GroupEntry group("alt.shared");
    GroupStats& stats = group.ensureStats();
    stats.first = 1;
    stats.last = 40;
    stats.current = 0;
    SharedGroupTurn turn(group);
    auto claim = turn.claimWindow(1);
    ASSERT_TRUE(claim);
    EXPECT_EQ(claim->from, 1);
    EXPECT_FALSE(turn.claimWindow(1)) << "one window asked for at a time";
    // 2, 4, ..., 20 accepted; the odd numbers were filtered or are not on the server.
    turn.addWindow(20, false, listed(2, 20, 2), 20, 20);
    EXPECT_EQ(stats.current.load(), 1) << "up to the first article not dealt with";

    auto a = turn.take(1 << 20, false);  // 2
    auto b = turn.take(1 << 20, false);  // 4
    auto c = turn.take(1 << 20, false);  // 6
    ASSERT_TRUE(a && b && c);
    turn.done(c->first);
    turn.done(b->first);
    EXPECT_EQ(stats.current.load(), 1) << "2 is still in flight";
    turn.release(a->first);  // its reader left
    auto again = turn.take(0, true);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->second.number, 2) << "a given-back article comes first";
    turn.done(again->first);
    EXPECT_EQ(stats.current.load(), 7) << "over 2, 4, 6 and the numbers between";

    // The rest, one failed: the position stays before it, and no further window is asked.
    while (auto next = turn.take(1 << 20, false)) {
        if (next->second.number == 14)
            turn.fail(next->first);
        else
            turn.done(next->first);
    }
    EXPECT_EQ(stats.current.load(), 13);
    EXPECT_FALSE(turn.claimWindow(1 << 30));
    EXPECT_FALSE(turn.claimFinish());
    EXPECT_TRUE(turn.over());

    // Past the last article known: numbers not found do not move the position; one found does.
    GroupEntry tailGroup("alt.tail");
    GroupStats& tail = tailGroup.ensureStats();
    tail.first = 1;
    tail.last = 12;
    tail.current = 9;
    SharedGroupTurn tailTurn(tailGroup);
    ASSERT_TRUE(tailTurn.claimWindow(1));
    tailTurn.addWindow(
        12, true, {{10, 10, Kind::Tail, {}}, {11, 10, Kind::Tail, {}}, {12, 10, Kind::Tail, {}}},
        12, -1);
    auto t10 = tailTurn.take(100, false), t11 = tailTurn.take(100, false),
         t12 = tailTurn.take(100, false);
    tailTurn.done(t10->first, false);
    tailTurn.done(t11->first, false);
    EXPECT_EQ(tail.current.load(), 9);
    tailTurn.done(t12->first, true);
    EXPECT_EQ(tail.current.load(), 12);
    EXPECT_TRUE(tailTurn.claimFinish());
    EXPECT_FALSE(tailTurn.claimFinish()) << "said once";
}

// Readers on their own threads, finishing in random order, some leaving with articles in
// hand: every number is dealt with exactly once, the position never passes one still open,
// and one reader finishes the group.
TEST(SharedGroupTurnThreads,
     ReadersInAnyOrderDealWithEveryArticleOnceAndThePositionNeverPassesAnOpenOne) {
    constexpr std::int64_t Last = 3000;
    constexpr int Readers = 6;
    GroupEntry group("alt.many");
    GroupStats& stats = group.ensureStats();
    stats.first = 1;
    stats.last = Last;
    stats.current = 0;
    group.set(Active | Selected);
    GroupTurns turns;
    SharedGroupTurn& turn = turns.turnFor(group);
    ASSERT_EQ(turns.helpable(), &turn);

    std::mutex mutex;
    std::map<std::int64_t, int> dealt;  // number: times dealt with
    std::set<std::int64_t> open;        // handed out, not dealt with
    std::atomic<int> finishes{0};
    std::atomic<bool> passed{false};
    auto reader = [&](unsigned seed) {
        std::mt19937 random(seed);
        turn.join();
        std::vector<std::pair<SharedGroupTurn::Ticket, TurnItem>> hand;
        for (;;) {
            if (auto claim = turn.claimWindow(4000)) {
                // Windows of 250 numbers, every third one an article.
                const std::int64_t end = std::min(Last, claim->from + 249);
                std::vector<TurnItem> items;
                for (std::int64_t n = claim->from; n <= end; ++n)
                    if (n % 3 == 0) items.push_back({n, 100, Kind::Listed, {}});
                turn.addWindow(end, false, std::move(items), 250, end);
            }
            while (hand.size() < 8)
                if (auto got = turn.take(1000, hand.empty())) {
                    std::lock_guard lock(mutex);
                    open.insert(got->second.number);
                    hand.push_back(std::move(*got));
                } else {
                    break;
                }
            if (hand.empty()) {
                if (turn.claimFinish()) ++finishes;
                if (turn.over()) break;
                turn.wait(std::chrono::milliseconds(1));
                continue;
            }
            std::shuffle(hand.begin(), hand.end(), random);
            const auto [ticket, item] = hand.back();
            hand.pop_back();
            if (random() % 50 == 0) {
                std::lock_guard lock(mutex);
                open.erase(item.number);
                turn.release(ticket);
                continue;
            }
            {
                std::lock_guard lock(mutex);
                ++dealt[item.number];
                open.erase(item.number);
            }
            turn.done(ticket);
            std::lock_guard lock(mutex);
            const std::int64_t position = stats.current.load();
            if (!open.empty() && *open.begin() <= position) passed = true;
        }
        turn.leave();
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < Readers; ++i) threads.emplace_back(reader, 17u * (i + 1));
    for (std::thread& t : threads) t.join();

    EXPECT_FALSE(passed.load()) << "the position passed an article in flight";
    EXPECT_EQ(finishes.load(), 1);
    EXPECT_EQ(stats.current.load(), Last);
    EXPECT_EQ(stats.readers.load(), 0);
    EXPECT_EQ(dealt.size(), static_cast<std::size_t>(Last / 3));
    for (const auto& [number, times] : dealt) EXPECT_EQ(times, 1) << number;
    EXPECT_EQ(turns.helpable(), nullptr) << "nothing left to help with";
}

}  // namespace
}  // namespace qm::test
