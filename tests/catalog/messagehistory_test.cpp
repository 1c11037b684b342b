// SPDX-License-Identifier: GPL-3.0-or-later
// The message-id history behind the journal's grouped sync: readers that record and look up
// ids side by side always find what they recorded, the grouped sync puts the ids into the file
// without waiting for a fold, and what was committed is there after the file is opened again.
#include "catalog/messagehistory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalog/articlejournal.h"
#include "support/tempdir.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

TEST(MessageHistoryThreads, ReadersFindWhatTheyRecordedAndTheGroupedSyncCommitsItWithoutAFold) {
    test::TempDir dir;
    const std::string data = dir.file("data");
    dir.write("data/.keep", "");
    std::vector<std::string> logged;
    std::mutex logMutex;
    MessageHistory history([&](std::string_view line) {
        std::lock_guard lock(logMutex);
        logged.emplace_back(line);
    });
    ASSERT_TRUE(history.open(data));
    ArticleJournal journal;
    journal.setSyncHooks([&] { return history.mark(); },
                         [&](std::uint64_t mark) { (void)history.commitUpTo(mark); });
    ASSERT_TRUE(journal.open(data));

    constexpr int Readers = 4;
    constexpr int PerReader = 300;
    auto id = [](int reader, int n) {
        return "<" + std::to_string(n) + "." + std::to_string(reader) + "@h>";
    };
    std::mutex decodeLock;  // the commit of an article, as the decoder takes it
    std::atomic<int> lost{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < Readers; ++r) {
        readers.emplace_back([&, r] {
            for (int n = 0; n < PerReader; ++n) {
                JournalRecord record;
                record.messageId = id(r, n);
                {
                    std::lock_guard lock(decodeLock);
                    if (!journal.append(record)) ++lost;
                    history.add(record.messageId);
                }
                // Its own ids, whether they still wait or were committed meanwhile.
                if (!history.contains(record.messageId) || !history.contains(id(r, n / 2))) ++lost;
                (void)history.contains(id((r + 1) % Readers, n));
            }
        });
    }
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(lost.load(), 0);

    // Another connection to the file sees only what was committed: the grouped sync does it
    // within about a second of the last record. A commit takes ids in the order they were
    // added, so with every reader's last one in the file all are.
    MessageHistory other([](std::string_view) {});
    ASSERT_TRUE(other.open(data));
    auto allLastOnes = [&] {
        for (int r = 0; r < Readers; ++r)
            if (!other.contains(id(r, PerReader - 1))) return false;
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!allLastOnes() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(allLastOnes());
    EXPECT_TRUE(other.contains(id(0, 0)));
    other.close();

    journal.close();
    history.close();
    ASSERT_TRUE(history.open(data));
    for (int r = 0; r < Readers; ++r)
        for (int n = 0; n < PerReader; ++n) ASSERT_TRUE(history.contains(id(r, n))) << id(r, n);
    EXPECT_FALSE(history.contains("<never@h>"));
    EXPECT_TRUE(logged.empty()) << logged.front();
}

// A file that is not a database is set aside and a new history made.
TEST(MessageHistory, ADamagedFileIsSetAsideAndANewOneMade) {
    test::TempDir dir;
    dir.write("data/history.db", std::string(8192, 'x'));
    std::vector<std::string> logged;
    MessageHistory history([&](std::string_view line) { logged.emplace_back(line); });
    ASSERT_TRUE(history.open(dir.file("data")));
    EXPECT_EQ(dir.read("data/history.db.damaged"), std::string(8192, 'x'));
    history.add("<1@d>");
    EXPECT_TRUE(history.commit());
    EXPECT_TRUE(history.contains("<1@d>"));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("set aside"), std::string::npos) << logged[0];
}

}  // namespace
}  // namespace qm
