// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/overviewwindow.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace qm {
namespace {

constexpr std::int64_t Max = std::numeric_limits<std::int64_t>::max();

// The asks as runs of one kind: "12L 13-19P" (Listed, Known, Probe, Tail).
std::string runs(const WindowPlan& plan) {
    std::string out;
    for (std::size_t i = 0; i < plan.asks.size();) {
        std::size_t j = i;
        while (j + 1 < plan.asks.size() && plan.asks[j + 1].kind == plan.asks[i].kind &&
               plan.asks[j + 1].number == plan.asks[j].number + 1)
            ++j;
        if (!out.empty()) out += ' ';
        out += std::to_string(plan.asks[i].number);
        if (j > i) out += "-" + std::to_string(plan.asks[j].number);
        out += "LKPT"[static_cast<int>(plan.asks[i].kind)];
        i = j + 1;
    }
    return out;
}

OverviewEntry entry(std::int64_t number, std::string subject) {
    OverviewEntry e;
    e.number = number;
    e.subject = std::move(subject);
    e.messageId = "<" + std::to_string(number) + "@x>";
    return e;
}

std::vector<OverviewEntry> listed(std::initializer_list<std::int64_t> numbers) {
    std::vector<OverviewEntry> entries;
    for (std::int64_t n : numbers) entries.push_back(entry(n, "s"));
    return entries;
}

// Which numbers of a window are asked for, and where the window ends, from what the server
// said: never a number it proved empty, every one it did not, and no sum past 2^63 - 1.
TEST(OverviewWindow, AsksForEveryNumberNotProvedEmptyAndEndsWhereItMust) {
    struct Case {
        const char* name;
        WindowFacts facts;
        std::string asks;
        std::int64_t end;
        bool tail;
    };
    const Case cases[] = {
        {"without LISTGROUP, NEXT proves 11 empty; the other unlisted numbers are probed",
         {11, 30, 100, listed({12, 20}), std::nullopt, 10, 12},
         "12L 13-19P 20L 21-30P",
         30,
         false},
        {"at the end of the range, the numbers above the last article known are the tail",
         {11, 20, 20, listed({11}), std::vector<std::int64_t>{11, 12}, -1, std::nullopt},
         "11L 12K 13-20T",
         20,
         true},
        {"NEXT names an article far beyond: the window reaches up to it",
         {6, 5005, 2'000'000, {}, std::vector<std::int64_t>{}, 5, 1'000'000},
         "",
         999'999,
         false},
        {"NEXT names one beyond the range: the window reaches its end, no tail",
         {6, 10, 10, {}, std::nullopt, 5, 12},
         "",
         10,
         false},
        {"the top of the number range",
         {Max - 2, Max, Max, {}, std::vector<std::int64_t>{Max}, -1, std::nullopt},
         std::to_string(Max) + "K",
         Max,
         false},
        {"a tail at the top of the number range",
         {Max - 2, Max, Max, listed({Max - 2}), std::nullopt, -1, std::nullopt},
         std::to_string(Max - 2) + "L " + std::to_string(Max - 1) + "-" + std::to_string(Max) + "T",
         Max,
         true},
        {"probes run out: the window ends before the first number not probed",
         {1, 20000, 100000, listed({9000}), std::nullopt, -1, std::nullopt},
         "1-" + std::to_string(MaxProbes) + "P",
         MaxProbes,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const WindowPlan plan = planWindow(c.facts);
        EXPECT_EQ(runs(plan), c.asks);
        EXPECT_EQ(plan.end, c.end);
        EXPECT_EQ(plan.tail, c.tail);
    }
}

// A hostile overview: lines out of order and repeated are merged (the first stands), and a
// window keeps no more than its byte budget, ending before what it dropped.
TEST(OverviewWindow, TheCollectorsMergeAndStayWithinTheirBounds) {
    OverviewCollector overview(1, 1000, 64 * 1024);
    for (std::int64_t n : {5, 3, 5, 4}) overview.add(entry(n, n == 5 ? "first" : "x"));
    overview.add(entry(2000, "out of range"));
    std::vector<OverviewEntry> kept = overview.take();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].number, 3);
    EXPECT_EQ(kept[2].subject, "first");
    EXPECT_EQ(overview.cutoff(), 1000);

    OverviewCollector big(1, 1000, 64 * 1024);
    for (std::int64_t n = 1; n <= 100; ++n) big.add(entry(n, std::string(16 * 1024, 'x')));
    kept = big.take();
    EXPECT_LE(kept.size(), 4u);
    EXPECT_EQ(big.cutoff(), kept.back().number);

    NumberCollector numbers(1, 1'000'000, 100);
    for (std::int64_t n = 100'000; n >= 1; --n) numbers.add(n);
    const std::vector<std::int64_t> lowest = numbers.take();
    ASSERT_EQ(lowest.size(), 100u);
    EXPECT_EQ(lowest.front(), 1);
    EXPECT_EQ(numbers.cutoff(), 100);
}

}  // namespace
}  // namespace qm
