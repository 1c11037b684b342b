// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The picture database: one SQLite file, "pictures.db" in the data directory, that records
// every decoded picture: its group, path, size, SHA-256, perceptual hash, size in pixels,
// message-id and date. It finds a picture again by its content (exact duplicates) and by
// its look (near duplicates), and lists a group's pictures for its gallery.
//
// Never required: retrieval works without it. A missing file is made; a damaged one is set
// aside as "pictures.db.damaged" and a new one made; any other failure is one log line and
// the operation does nothing (or finds nothing). It is written through a write-ahead log with
// every change committed at once, so killing the program loses nothing but the change under
// way, and the file can be rebuilt from the groups' picture lists and files (picturerebuild.h).
//
// One object is one connection to the file. Its operations lock the object, so any thread may
// call them; several objects (in one process or several) may use the same file at once, and
// a reader of one never waits for a writer of another. Never call it with DecodeLock held
// unless DecodeLock is the only lock held (it takes no lock of the program's).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "catalog/filedigest.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qm {

enum class PictureState {
    Pending = 0,     // recorded from its file; no thumbnail yet
    Shown = 1,       // thumbnail made: hash and sizes are known
    Unreadable = 2,  // the thumbnailer could not read it
};

// The SHA-256 of a picture recorded in haste, before its digest was made (by the thumbnail
// worker, later); no content has it.
inline constexpr Sha256 UnknownDigest{};

struct StoredPicture {
    std::int64_t id = 0;
    std::string group;  // the newsgroup
    std::string path;   // relative to the data directory: "<group folder>/news.dat/<name>"
    std::int64_t size = 0;
    Sha256 sha256{};
    std::uint64_t hash = 0;  // perceptual hash (perceptualhash.h)
    int width = 0;           // the picture
    int height = 0;
    int thumbWidth = 0;  // its thumbnail
    int thumbHeight = 0;
    std::string messageId;  // of the article it came from; empty when not known
    std::int64_t date = 0;  // when it was decoded: seconds since 1970, UTC
    std::string subject;    // of the article it came from
    PictureState state = PictureState::Pending;
    bool near = false;  // another recorded picture looks the same (a near duplicate)

    bool operator==(const StoredPicture&) const = default;
};

// Two recorded pictures that are copies (same SHA-256) or look alike.
struct DuplicatePair {
    StoredPicture first;  // the one recorded first
    StoredPicture second;
    bool exact = false;
    int distance = 0;  // of their perceptual hashes
};

// Sets the near mark of every picture with a thumbnail whose hash is within maxDistance of
// another's (and clears the others'): what complete() keeps up one picture at a time.
void markNearDuplicates(std::span<StoredPicture> pictures, int maxDistance);

class PictureDatabase {
  public:
    using Log = std::function<void(std::string_view)>;
    static constexpr std::string_view FileName = "pictures.db";

    // Nothing is opened before open().
    PictureDatabase(std::string dataDirectory, Log log);
    ~PictureDatabase();
    PictureDatabase(const PictureDatabase&) = delete;
    PictureDatabase& operator=(const PictureDatabase&) = delete;

    // Opens the file, making it and its tables when missing and setting a damaged one aside.
    // False, logged, when no database can be had; every other operation then does nothing.
    // checkFile false skips reading the whole file through (for a second connection to a file
    // another has just checked).
    bool open(bool checkFile = true);
    bool isOpen() const;
    // True when open() made the file new: there was none, or a damaged one was set aside.
    bool created() const;
    std::string filePath() const;
    const std::string& dataDirectory() const { return m_dataDirectory; }

    // Records a picture (state, hash and near mark as given); replaces one of the same path.
    // Its id, or nothing when it could not be stored.
    std::optional<std::int64_t> add(const StoredPicture& picture);
    // Records pictures as add() does, all in one transaction; false (none recorded) when it
    // failed.
    bool addAll(std::span<const StoredPicture> pictures);
    // The same, with the id each one got, in order; empty (none recorded) when it failed.
    std::vector<std::int64_t> addEach(std::span<const StoredPicture> pictures);
    // The thumbnailer's results for picture id: state Shown with sizes and hash, or
    // Unreadable. Marks it and the pictures that look like it as near duplicates; returns the
    // groups of the pictures whose mark changed, this one's included.
    std::vector<std::string> complete(std::int64_t id, PictureState state, std::uint64_t hash,
                                      int width, int height, int thumbWidth, int thumbHeight);
    struct Completion {
        std::int64_t id = 0;
        PictureState state = PictureState::Shown;
        std::uint64_t hash = 0;
        int width = 0, height = 0, thumbWidth = 0, thumbHeight = 0;
    };
    // complete() for many pictures in one transaction (one commit, not one each); the groups
    // whose marks changed. Nothing is changed when it failed.
    std::vector<std::string> completeEach(std::span<const Completion> completions);
    // Forgets the picture at path (relative to the data directory); true when it was there.
    bool remove(std::string_view path);
    // The file at path was changed after it was recorded: its record takes the new size and
    // digest and waits for its thumbnail again (Pending). True when it was there.
    bool changeContent(std::string_view path, std::int64_t size, const Sha256& sha256);

    // The first recorded picture whose content has this SHA-256.
    std::optional<StoredPicture> findBySha256(const Sha256& digest);
    // Up to limit recorded pictures of this many bytes, the first recorded first: a picture
    // of another size is no copy of them, whatever its content, so its digest is not needed.
    std::vector<StoredPicture> findBySize(std::int64_t size, std::size_t limit);
    // The sizes of the recorded pictures, each once (a size outside them needs no
    // findBySize); nothing when they cannot be read.
    std::optional<std::vector<std::int64_t>> sizes();
    // The path of every recorded picture, without the rest of its record; nothing when they
    // cannot be read.
    std::optional<std::unordered_set<std::string>> paths();
    // The recorded pictures that look like hash: within maxDistance bits, thumbnail made.
    // Featureless pictures (nearly flat: almost all bits alike) look like nothing.
    std::vector<StoredPicture> findNear(std::uint64_t hash, int maxDistance);
    // A group's pictures, newest first: those with a thumbnail and those without one (not
    // made yet, or unreadable), which its gallery shows too.
    std::vector<StoredPicture> groupPictures(std::string_view group);
    // Up to limit pictures still waiting for their thumbnail, the oldest first.
    std::vector<StoredPicture> pending(std::size_t limit);
    // Every recorded picture, by id.
    std::vector<StoredPicture> all();
    // Copies and look-alikes that involve a picture of one of groups (of any when empty).
    std::vector<DuplicatePair> duplicates(std::span<const std::string> groups, int maxDistance);

    // Replaces every record with pictures (their ids are given afresh) in one transaction, a
    // rebuild: on failure the old records stay. False when it failed.
    bool replaceAll(std::span<const StoredPicture> pictures);
    // How long a change waits for another connection's change to end before it fails (at
    // most 5 s; the producer side of the thumbnail worker waits less).
    void setBusyTimeout(int milliseconds);

    // A hash with this few bits set, or this few clear, comes from a nearly flat picture.
    static bool featureless(std::uint64_t hash);

  private:
    struct NearEntry {
        std::int64_t id;
        std::uint64_t hash;
    };

    bool openFile(bool checkFile);
    // One picture's complete(), inside a transaction, with the near cache loaded; false when
    // the statement failed (logged, rolled back).
    bool completeOne(const Completion& c, std::set<std::string>& groups);
    // addAll()'s work inside a transaction; the ids, or empty when it failed.
    std::vector<std::int64_t> addInTransaction(std::span<const StoredPicture> pictures,
                                               bool& hashesChanged);
    void setAside();
    void close();
    bool exec(const char* sql);
    // A failed statement: logs it and, for a damaged file, closes the connection.
    void failed(std::string_view what);
    std::int64_t hashGeneration();
    void bumpHashGeneration();
    // Reloads the hashes of the pictures with a thumbnail when another connection changed them.
    void refreshNearCache();
    // Rows read, or nothing read and the failure logged.
    std::vector<StoredPicture> checked(std::optional<std::vector<StoredPicture>> rows);

    std::string m_dataDirectory;
    Log m_log;
    mutable std::mutex m_mutex;
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> m_db;  // guarded by m_mutex
    // findBySize's statement, prepared on first use; goes before m_db.
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> m_bySize;  // guarded by m_mutex
    bool m_failedToOpen = false;                                     // guarded by m_mutex
    bool m_created = false;                                          // guarded by m_mutex
    int m_lastError = 0;                                             // guarded by m_mutex
    int m_busyTimeoutMs = 5000;                                      // guarded by m_mutex
    // Hashes of the pictures with a thumbnail, as of generation m_cacheGeneration of the
    // file's counter of hash changes; -1 when not loaded. Guarded by m_mutex.
    std::vector<NearEntry> m_nearCache;
    std::int64_t m_cacheGeneration = -1;
};

}  // namespace qm
