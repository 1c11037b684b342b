// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One newsgroup, shared by every group table, and its per-group counters.
//
// A GroupEntry lives until the program ends (AppSettings owns them all). Its flags and
// GroupStats counters are written by the one reader thread that owns the group and read by
// the windows on timers without a lock, so they are atomics.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "model/picturerecord.h"

namespace qm {

class SavedArticle;
class ServerEntry;

enum GroupFlag : int {
    Active = 0x01,    // takes part in the current run
    Finished = 0x02,  // no more articles in this run; cleared when a run takes the group up
    Selected = 0x04,  // in the groups to retrieve
    Subscribed = 0x08,
    ShownAvailable = 0x10,  // has a row in the available-groups list
    ShownSelected = 0x20,   // has a row in the groups-to-retrieve list
    InProgress = 0x40,      // a reader is reading it now
};

struct GroupStats {
    // Retrieval fields. Article numbers are 64-bit: servers hand out numbers beyond 2^31.
    std::atomic<std::int64_t> count{0};
    std::atomic<std::int64_t> first{-1};
    std::atomic<std::int64_t> last{0};
    std::atomic<std::int64_t> current{-1};  // reading position: last article dealt with
    // Where the reader found the position when it first positioned the group in this run;
    // -1 until then (the run's progress sets it back when the run starts).
    std::atomic<std::int64_t> runStart{-1};
    std::atomic<int> retrieved{0};
    std::atomic<int> duplicates{0};  // articles not fetched: their message-id was retrieved before
    std::atomic<int> filled{0};      // of those retrieved, the ones a fill server gave
    std::atomic<int> lacking{0};     // articles no server had
    // The server whose article numbers current counts (and whose "Last" file holds it): null
    // for the main server. Set by the reader that selects the group.
    std::atomic<const ServerEntry*> positionServer{nullptr};
    std::atomic<int> decoded{0};
    std::atomic<int> pictureFiles{0};  // of the files decoded, the pictures (not videos, text)
    std::atomic<int> assembled{0};
    std::atomic<std::int64_t> bytes{0};
    // The article whose body is being read, for the monitors; owned by the reader thread.
    std::atomic<SavedArticle*> articleInProgress{nullptr};
    // Readers working on the group now (several share a big group), for the monitors.
    std::atomic<int> readers{0};

    // Paths of the day frameset and contents pages; written by the reader, read by windows.
    std::string idxPage() const;
    std::string contPage() const;
    void setPages(std::string idx, std::string cont);
    void setIdxPage(std::string idx);
    void setContPage(std::string cont);

    PictureList pictures;  // guarded by PictureListLock
    // Serialises writing the group's position and picture list at the end of readers' turns,
    // so that the file written last holds the latest position. Taken before PictureListLock,
    // never with DecodeLock held.
    std::mutex saveMutex;

    // Back to the state of a group never used: what belonged to the data folder (position,
    // picture list, counters, pages) is gone. No reader may be reading the group; the caller
    // holds PictureListLock.
    void reset();

  private:
    mutable std::mutex m_pagesMutex;
    std::string m_idxPage;   // guarded by m_pagesMutex
    std::string m_contPage;  // guarded by m_pagesMutex
};

// The name hash: sum over the name's bytes (unsigned) of byte value + index from 0.
unsigned groupNameHash(std::string_view name);

class GroupEntry {
  public:
    explicit GroupEntry(std::string name, int flags = Active);
    GroupEntry(const GroupEntry&) = delete;
    GroupEntry& operator=(const GroupEntry&) = delete;

    const std::string& name() const { return m_name; }
    unsigned hash() const { return m_hash; }

    int flags() const { return m_flags.load(std::memory_order_relaxed); }
    bool has(int flag) const { return (flags() & flag) != 0; }
    void set(int flag) { m_flags.fetch_or(flag, std::memory_order_relaxed); }
    void clear(int flag) { m_flags.fetch_and(~flag, std::memory_order_relaxed); }

    // Null until first use.
    GroupStats* stats() const { return m_stats.load(std::memory_order_acquire); }
    // Creates the stats on first use; safe from any thread.
    GroupStats& ensureStats();

  private:
    const std::string m_name;
    const unsigned m_hash;
    std::atomic<int> m_flags;
    std::atomic<GroupStats*> m_stats{nullptr};
    std::unique_ptr<GroupStats> m_statsOwner;  // guarded by the creation mutex
};

}  // namespace qm
