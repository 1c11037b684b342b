// SPDX-License-Identifier: GPL-3.0-or-later
// A message box waits for the user. Whoever shows one must hold no program-wide lock while it
// waits: the window thread takes those locks too (the readers' count at the start of a run,
// the visited groups, the picture lists of the file manager), and would wait for ever for a
// thread that waits for the window. Here the box blocks its caller until another thread has
// tried every program-wide lock.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalog/picturelist.h"
#include "model/locks.h"
#include "nntp/enginefixture.h"

namespace qm::test {
namespace {

using namespace std::chrono_literals;

// Records each box and the program-wide locks that stayed taken (for 2 s, tried from another
// thread) while the box was up: one held by the box's own caller is never given back.
class LockProbingFrontend : public RecordingFrontend {
  public:
    void messageBox(std::string_view text, MessageIcon icon) override {
        std::vector<std::string> held;
        std::thread probe([&held] {
            if (!freedWithin(DecodeLock)) held.emplace_back("DecodeLock");
            if (!freedWithin(PictureListLock)) held.emplace_back("PictureListLock");
            if (!freedWithin(AuthLock)) held.emplace_back("AuthLock");
        });
        probe.join();
        {
            std::lock_guard lock(m_probeMutex);
            for (std::string& name : held) m_held.push_back(std::string(text) + ": " + name);
        }
        RecordingFrontend::messageBox(text, icon);
    }
    std::vector<std::string> heldDuringBoxes() const {
        std::lock_guard lock(m_probeMutex);
        return m_held;
    }

  private:
    // Other readers hold a lock for a decode at most; the box's caller for as long as it waits.
    template <typename Mutex>
    static bool freedWithin(Mutex& mutex) {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (mutex.try_lock()) {
                mutex.unlock();
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    mutable std::mutex m_probeMutex;
    std::vector<std::string> m_held;  // guarded by m_probeMutex
};

class MessageBoxThreads : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        // The same settings, reporting to the probing front end.
        m_settings = std::make_unique<AppSettings>(m_probing, m_profile);
        m_settings->browserLookup = [] { return std::string("/bin/true"); };
        m_settings->loadSettings();
        m_settings->dataDirectory = m_dir.file("data");
        m_settings->messageIds.setDirectory(m_settings->dataDirectory);
        m_hook = std::make_unique<CatalogHook>(*m_settings);
        m_decoder->setSink(m_hook.get());
    }
    void TearDown() override {
        m_pool.reset();  // its readers report to m_probing
        EngineTest::TearDown();
    }

    LockProbingFrontend m_probing;
};

TEST_F(MessageBoxThreads, AFailedConnectIsShownOnceAndWithNoLockHeldWhileSixReadersFail) {
    startServer();
    const int port = m_server->port();
    m_server.reset();  // nobody listens there now
    GroupTable table;
    for (int g = 0; g < 6; ++g) table.add(group("alt.refused." + std::to_string(g)));
    ReaderPool& readers = pool(6);
    readers.distribute(table);
    readers.setServer(m_settings->currentServer());
    readers.startRun();
    ASSERT_TRUE(waitFor([&] { return m_probing.runsFinished() >= 1; }));
    readers.stopAll();
    EXPECT_EQ(m_probing.runsFinished(), 1) << "one run, one end, however quickly readers fail";
    EXPECT_EQ(m_probing.messages(),
              std::vector<std::string>{"Connection to server 127.0.0.1(" + std::to_string(port) +
                                       ") failed (e=" + std::to_string(ECONNREFUSED) + ")" +
                                       "\r\nCannot connect to 127.0.0.1 port " +
                                       std::to_string(port) + ": connection refused."});
    EXPECT_EQ(m_probing.heldDuringBoxes(), std::vector<std::string>{});
}

TEST_F(MessageBoxThreads, APictureListThatCannotBeSavedIsShownWithNoLockHeld) {
    GroupEntry& g = group("alt.unsaved");
    g.ensureStats();
    const std::string folder = groupDirectory(*m_settings, g);
    // A folder where the list file should be: the new list cannot be renamed over it.
    std::filesystem::create_directories(folder + "/data.lst");
    setPicture(*m_settings, g, "a.jpg", PictureRecord{"a", "0101", 'N'});
    // As a reader saves at the end of its turn, while the window thread may be using lists.
    std::thread reader([&] { savePictureList(*m_settings, g); });
    reader.join();
    EXPECT_EQ(m_probing.messages(),
              std::vector<std::string>{"Fail to save picture list for alt.unsaved"});
    EXPECT_EQ(m_probing.heldDuringBoxes(), std::vector<std::string>{});
}

}  // namespace
}  // namespace qm::test
