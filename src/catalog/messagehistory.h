// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The history of a data folder: every message-id retrieved there, however long ago, in one
// SQLite file ("history.db", one table keyed by the id, write-ahead log), so that an article
// met again after the 10,000 ids of "MSGLIST" have moved on (a re-walk, a group numbered anew,
// a cross-post, a journal of more than 10,000 records replayed) is not fetched again.
// "MSGLIST" keeps its role; the history only adds to it. Beside the ids it keeps, per file
// decoded in the folder, the articles it came from (DecodedFileRecord), so that an NZB of the
// file can be written however many parts it had.
//
// Ids added wait in memory and are committed in groups (commit), each group once the journal
// records of its articles are on disk, so that the history never holds an article whose
// record and files a power cut could still take. A commit is synced to disk before it returns.
//
// Thread-safe: any thread may look ids up (each lookup on a connection of its own, so readers
// never wait for each other) or add them. open and close run while nobody else uses it. A
// damaged file is set aside as "history.db.damaged" and a new one made (filled again from
// "MSGLIST" by its owner); a lookup that fails answers "not retrieved", so the worst a broken
// history costs is a download.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "decode/decoder.h"
#include "model/messageidindex.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qm {

// A file decoded in the data folder and the articles it came from.
struct DecodedFileRecord {
    std::string path;       // relative to the data directory
    std::string group;      // whose run decoded it ("nzb/<name>" for an NZB's folder)
    std::int64_t date = 0;  // when it was decoded, seconds since 1970
    std::string subject;
    std::vector<ArticleSegment> segments;  // in part order

    bool operator==(const DecodedFileRecord&) const = default;
};

class MessageHistory final : public IdHistory {
  public:
    using Log = std::function<void(std::string_view)>;
    static constexpr std::string_view FileName = "history.db";

    explicit MessageHistory(Log log);
    ~MessageHistory() override;
    MessageHistory(const MessageHistory&) = delete;
    MessageHistory& operator=(const MessageHistory&) = delete;

    // Opens (or makes) dataDirectory's history; false (logged) when it cannot be used.
    bool open(const std::string& dataDirectory);
    // Commits what waits and closes the file.
    void close();
    bool isOpen() const { return m_writer != nullptr; }

    bool contains(std::string_view id) override;
    // The id waits in memory for the next commit.
    void add(std::string_view id) override;
    // Stores ids at once (filling the history from "MSGLIST"); false on failure.
    bool insert(std::span<const std::string> ids);

    // The file waits in memory and is stored with the next commit, replacing what the
    // history held for its path. A file whose record a crash took is only missing from an
    // NZB; one stored whose article a crash took names a file that is not there, which the
    // readers check.
    void addFile(DecodedFileRecord file);
    // The files recorded for group, in the order they were decoded; the one at path.
    std::vector<DecodedFileRecord> files(std::string_view group);
    std::optional<DecodedFileRecord> file(std::string_view path);
    // The file at from was moved to to: its record follows it.
    void renameFile(std::string_view from, std::string_view to);

    // How many ids were added so far: a commit up to this mark takes the ids added before.
    std::uint64_t mark() const;
    // Commits the waiting ids added before upTo; false on failure (they keep waiting).
    bool commitUpTo(std::uint64_t upTo);
    bool commit() override { return commitUpTo(UINT64_MAX); }

  private:
    struct Reader;
    using ReaderPtr = std::unique_ptr<Reader>;

    ReaderPtr borrowReader();
    void giveBack(ReaderPtr reader);
    bool openWriter(const std::string& path, bool& damaged);
    bool store(std::span<const std::string> ids, std::span<const DecodedFileRecord> files = {});
    // The stored files the statement (its one parameter bound to key) selects.
    std::vector<DecodedFileRecord> query(const char* sql, std::string_view key);
    void setAside(const std::string& path);
    void failed(std::string_view what);

    Log m_log;
    std::string m_path;
    sqlite3* m_writer = nullptr;           // guarded by m_writeMutex once open
    sqlite3_stmt* m_insert = nullptr;      // of m_writer
    sqlite3_stmt* m_insertFile = nullptr;  // of m_writer
    std::mutex m_writeMutex;
    mutable std::mutex m_mutex;          // what follows
    std::vector<ReaderPtr> m_readers;    // idle read connections
    std::vector<std::string> m_waiting;  // added, not committed, in order
    std::unordered_multiset<std::string> m_waitingSet;
    std::vector<DecodedFileRecord> m_waitingFiles;  // added, not stored, in order
    std::uint64_t m_committed = 0;                  // ids added before m_waiting's first
    bool m_reported = false;                        // a failure has been logged once
};

}  // namespace qm
