// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A settings record on a throw-away profile and data folder, a fixture news server on a spool
// of its own, and helpers to post articles and to run a retrieval to its end, for the tests of
// the readers, the retrieval loop and the group-list worker.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "catalog/cataloghook.h"
#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "model/locks.h"
#include "newsserver/newsserver.h"
#include "nntp/readerpool.h"
#include "platform/profile.h"
#include "support/encoders.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm::test {

// The uuencoded form of data, as "begin 644 name" ... "end".
inline std::string uuencode(std::string_view name, std::string_view data) {
    return uuencodeBody(data, name);
}

// Binary-looking content of a given size.
inline std::string pictureBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 256);
    return bytes;
}

class EngineTest : public ::testing::Test {
  protected:
    EngineTest() : m_xdg(m_dir), m_profile(m_dir.file("profile.ini")) {}

    void SetUp() override {
        ProgramExiting = false;
        m_settings = std::make_unique<AppSettings>(m_frontend, m_profile);
        m_settings->browserLookup = [] { return std::string("/bin/true"); };
        m_settings->freeSpaceProbe = [](const std::string&) { return std::int64_t{1} << 30; };
        m_settings->loadSettings();
        m_settings->dataDirectory = m_dir.file("data");
        m_settings->messageIds.setDirectory(m_settings->dataDirectory);
        m_options.spool = m_dir.file("spool");
        m_decoder = std::make_unique<Decoder>();
        m_hook = std::make_unique<CatalogHook>(*m_settings);
        m_decoder->setSink(m_hook.get());
    }

    void TearDown() override {
        m_pool.reset();
        ThreadContext::current() = ThreadContext{};
        ProgramExiting = false;
    }

    AppSettings& settings() { return *m_settings; }

    void startServer() {
        m_server = std::make_unique<newsd::NewsServer>(m_options);
        m_server->start();
        m_settings->useServerText("127.0.0.1 " + std::to_string(m_server->port()));
    }

    GroupEntry& group(std::string_view name) {
        if (GroupEntry* known = m_settings->allGroups.find(name)) return *known;
        GroupEntry& entry = m_settings->newGroup(name, Active | Selected);
        m_settings->allGroups.add(entry);
        return entry;
    }

    void post(std::string_view group, std::uint64_t number, std::string_view subject,
              std::string_view id, std::string_view body, std::string_view extra = "") {
        std::string headers = "Subject: " + std::string(subject) +
                              "\nMessage-ID: " + std::string(id) + "\n" + std::string(extra);
        newsd::writeSpoolArticle(m_options.spool, group, number, headers, body);
    }

    ReaderPool& pool(int readers) {
        m_pool = std::make_unique<ReaderPool>(*m_settings, *m_decoder, readers);
        return *m_pool;
    }

    // Hands table out to the readers and starts a run on the test's server.
    void startRun(ReaderPool& readers, const GroupTable& table) {
        readers.distribute(table);
        readers.setServer(m_settings->currentServer());
        readers.startRun();
    }

    // Hands table out, starts the run and waits (at most 30 s) for its end.
    bool runToEnd(ReaderPool& readers, const GroupTable& table) {
        const int before = m_frontend.runsFinished();
        startRun(readers, table);
        const bool ended = waitFor([&] { return m_frontend.runsFinished() > before; });
        readers.stopAll();
        return ended;
    }

    // A run of that many readers over the named groups, in order, waited for to its end.
    bool runGroupsToEnd(int readers, std::initializer_list<std::string_view> names) {
        GroupTable table;
        for (std::string_view name : names) table.add(group(name));
        return runToEnd(pool(readers), table);
    }

    template <typename Predicate>
    static bool waitFor(Predicate done,
                        std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    std::string newsFile(std::string_view group, std::string_view name) const {
        return m_dir.read("data/" + std::string(group) + "/news.dat/" + std::string(name));
    }

    int countCommands(std::string_view command) const {
        int n = 0;
        for (const std::string& line : m_server->commands())
            if (line == command) ++n;
        return n;
    }

    // How often the article's text was asked for: BODY by the walk, ARTICLE by the overview.
    int fetches(std::int64_t number) const {
        const std::string n = std::to_string(number);
        return countCommands("BODY " + n) + countCommands("ARTICLE " + n);
    }
    int allFetches() const {
        int n = 0;
        for (const std::string& line : m_server->commands())
            n += line.starts_with("BODY ") || line.starts_with("ARTICLE ");
        return n;
    }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    RecordingFrontend m_frontend;
    Profile m_profile;
    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<Decoder> m_decoder;
    std::unique_ptr<CatalogHook> m_hook;
    newsd::NewsServerOptions m_options;
    std::unique_ptr<newsd::NewsServer> m_server;
    std::unique_ptr<ReaderPool> m_pool;
};

}  // namespace qm::test
