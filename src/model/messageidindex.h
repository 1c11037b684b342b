// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The ring of the most recent message-ids retrieved (10000), kept in "MSGLIST" in the data
// directory, so an article cross-posted or met again in a later run is fetched only once.
// Beside the ring a hash index makes contains() constant-time; the ring alone fixes the
// order of arrival and what is dropped when it is full. Behind the ring, a durable history of
// every id ever added in the data folder (IdHistory) answers for what the ring has forgotten.
//
// One per program, owned by AppSettings. It has a lock of its own, held only for the ring:
// readers look ids up side by side, and a lookup in the history never waits for another.
// Callers that check and then decode take DecodeLock around both, so that no two readers
// decode the same article.
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qm {

class LogFile;

// Every message-id retrieved in a data folder, however long ago (catalog/messagehistory.h).
// Thread-safe.
class IdHistory {
  public:
    virtual ~IdHistory() = default;
    virtual bool contains(std::string_view id) = 0;
    virtual void add(std::string_view id) = 0;
    // Puts every id added so far on disk; false on failure.
    virtual bool commit() = 0;
};

class MessageIdIndex {
  public:
    explicit MessageIdIndex(int capacity = 10000);

    // path := dir + "/MSGLIST"; the index is emptied and its history detached.
    void setDirectory(const std::string& dir);
    // The history of the data folder (borrowed; detached before it goes), or none. Changed
    // only while no reader runs.
    void attachHistory(IdHistory* history) { m_history = history; }
    IdHistory* history() const { return m_history; }
    // The ids of the ring, oldest first.
    std::vector<std::string> ids();
    const std::string& path() const { return m_path; }

    // Appends id as the newest (and to the history). 0, or -1 when full and overwrite is
    // false (nothing stored); with overwrite a full ring drops its oldest id.
    int add(std::string_view id, bool overwrite);
    // 1 when present in the ring or the history (and writes "Duplicated id " + id to log,
    // when given), else 0.
    int contains(std::string_view id, LogFile* log = nullptr);
    // Whether the ring ("MSGLIST") holds id, whatever the history knows.
    bool inRing(std::string_view id);
    // Writes the ids oldest first, one a line, replacing the file at once. 0, or -1 when the
    // file cannot be written (the old file stays intact). A read-only index writes nothing.
    int save();
    // A program that does not hold the data folder (it shows or changes settings while
    // another one fetches) reads "MSGLIST" but must never replace it.
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    bool readOnly() const { return m_readOnly; }
    // Adds every white-space separated word of the file, with overwrite, as if at once; the
    // words are read when the index is first used (add, contains, save, size), so a program
    // that never looks an id up (showing the settings) never reads 10,000 of them. 0, or -1
    // when the file cannot be read.
    int load();

    int capacity() const { return m_capacity; }
    int size();
    // Sum over the id's bytes (unsigned) of byte value + position. Kept non-negative, so that
    // it never equals the empty-slot mark -1, even for ids long enough to wrap around.
    static int checksum(std::string_view id);

  private:
    struct StringHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };

    int addLocked(std::string_view id, bool overwrite);
    void forget(int slot);
    // Sizes the ring and the hash index to the capacity, once.
    void allocate();
    // Adds the words of the file that load() left for first use.
    void readPending();
    int count() const;

    std::mutex m_mutex;  // the ring, its hash index and the pending file
    IdHistory* m_history = nullptr;
    int m_capacity;
    int m_head = -1;  // slot of the oldest id; -1 when empty
    int m_tail = -1;  // slot of the newest id; -1 when empty
    std::vector<int> m_checksums;
    std::vector<std::string> m_ids;
    std::string m_path;
    bool m_pending = false;  // load() was called and its file is still to be read
    bool m_readOnly = false;
    // id -> number of ring slots holding it (add does not refuse a repeated id).
    std::unordered_map<std::string, int, StringHash, std::equal_to<>> m_lookup;
};

}  // namespace qm
