// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturedatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "catalog/perceptualhash.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr int SchemaVersion = 1;
constexpr int BusyTimeoutMs = 5000;

constexpr const char* Schema =
    "CREATE TABLE IF NOT EXISTS pictures("
    " id INTEGER PRIMARY KEY,"
    " grp TEXT NOT NULL,"
    " path TEXT NOT NULL UNIQUE,"
    " size INTEGER NOT NULL,"
    " sha256 BLOB NOT NULL,"
    " phash INTEGER NOT NULL DEFAULT 0,"
    " width INTEGER NOT NULL DEFAULT 0,"
    " height INTEGER NOT NULL DEFAULT 0,"
    " thumb_width INTEGER NOT NULL DEFAULT 0,"
    " thumb_height INTEGER NOT NULL DEFAULT 0,"
    " message_id TEXT NOT NULL DEFAULT '',"
    " date INTEGER NOT NULL,"
    " subject TEXT NOT NULL DEFAULT '',"
    " state INTEGER NOT NULL DEFAULT 0,"
    " near INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS pictures_sha256 ON pictures(sha256);"
    "CREATE INDEX IF NOT EXISTS pictures_size ON pictures(size);"
    "CREATE INDEX IF NOT EXISTS pictures_group ON pictures(grp, date);"
    "CREATE INDEX IF NOT EXISTS pictures_pending ON pictures(state) WHERE state = 0;"
    // One counter of changes to the hashes, so that every connection knows when the hashes
    // it holds in memory are out of date.
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO meta VALUES('hashes', 0);";

constexpr const char* Columns =
    "id, grp, path, size, sha256, phash, width, height, thumb_width, thumb_height, message_id, "
    "date, subject, state, near";

constexpr const char* Insert =
    "INSERT INTO pictures(grp, path, size, sha256, phash, width, height, thumb_width,"
    " thumb_height, message_id, date, subject, state, near)"
    " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

// One prepared statement; finalized when it goes, unless borrowed (then reset for its next
// use).
class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql) {
        if (db) sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &m_stmt, nullptr);
    }
    explicit Statement(sqlite3_stmt* borrowed) : m_stmt(borrowed), m_owned(false) {}
    ~Statement() {
        if (m_owned)
            sqlite3_finalize(m_stmt);
        else
            reset();
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    explicit operator bool() const { return m_stmt != nullptr; }

    Statement& bind(int i, std::int64_t v) {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Statement& bind(int i, std::string_view v) {
        sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, const Sha256& v) {
        sqlite3_bind_blob(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
    void reset() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }

    std::int64_t integer(int col) const { return sqlite3_column_int64(m_stmt, col); }
    std::string text(int col) const {
        const auto* p = sqlite3_column_text(m_stmt, col);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)))
                 : std::string();
    }
    Sha256 sha(int col) const {
        Sha256 out{};
        const void* p = sqlite3_column_blob(m_stmt, col);
        if (p && sqlite3_column_bytes(m_stmt, col) == static_cast<int>(out.size())) {
            std::memcpy(out.data(), p, out.size());
        }
        return out;
    }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    bool m_owned = true;
};

std::int64_t hashToColumn(std::uint64_t hash) {
    return std::bit_cast<std::int64_t>(hash);
}

StoredPicture readRow(const Statement& s) {
    StoredPicture p;
    p.id = s.integer(0);
    p.group = s.text(1);
    p.path = s.text(2);
    p.size = s.integer(3);
    p.sha256 = s.sha(4);
    p.hash = std::bit_cast<std::uint64_t>(s.integer(5));
    p.width = static_cast<int>(s.integer(6));
    p.height = static_cast<int>(s.integer(7));
    p.thumbWidth = static_cast<int>(s.integer(8));
    p.thumbHeight = static_cast<int>(s.integer(9));
    p.messageId = s.text(10);
    p.date = s.integer(11);
    p.subject = s.text(12);
    const auto state = s.integer(13);
    p.state = state == 1   ? PictureState::Shown
              : state == 2 ? PictureState::Unreadable
                           : PictureState::Pending;
    p.near = s.integer(14) != 0;
    return p;
}

// The values of an INSERT of every column but id, in the order of Columns.
void bindPicture(Statement& s, const StoredPicture& p) {
    s.bind(1, p.group).bind(2, p.path).bind(3, p.size).bind(4, p.sha256);
    s.bind(5, hashToColumn(p.hash)).bind(6, p.width).bind(7, p.height);
    s.bind(8, p.thumbWidth).bind(9, p.thumbHeight).bind(10, p.messageId).bind(11, p.date);
    s.bind(12, p.subject).bind(13, static_cast<std::int64_t>(p.state)).bind(14, p.near ? 1 : 0);
}

bool damaged(int code) {
    code &= 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// Pairs of indexes into hashes within maxDistance of each other, i < j.
template <typename Visit>
void nearPairs(const std::vector<std::uint64_t>& hashes, int maxDistance, Visit visit) {
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        if (PictureDatabase::featureless(hashes[i])) continue;
        for (std::size_t j = i + 1; j < hashes.size(); ++j) {
            if (hammingDistance(hashes[i], hashes[j]) <= maxDistance &&
                !PictureDatabase::featureless(hashes[j])) {
                visit(i, j);
            }
        }
    }
}

// The rows of "SELECT <Columns> FROM pictures <where>"; nothing on a failure.
std::optional<std::vector<StoredPicture>> selectRows(sqlite3* db, std::string_view where,
                                                     const std::function<void(Statement&)>& bind) {
    std::vector<StoredPicture> out;
    if (!db) return out;
    Statement s(db, std::string("SELECT ") + Columns + " FROM pictures " + std::string(where));
    if (!s) return std::nullopt;
    bind(s);
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(readRow(s));
    if (rc != SQLITE_DONE) return std::nullopt;
    return out;
}

}  // namespace

PictureDatabase::PictureDatabase(std::string dataDirectory, Log log)
    : m_dataDirectory(std::move(dataDirectory)),
      m_log(std::move(log)),
      m_db(nullptr, sqlite3_close_v2),
      m_bySize(nullptr, sqlite3_finalize) {}

PictureDatabase::~PictureDatabase() = default;

std::string PictureDatabase::filePath() const {
    return joinPath(m_dataDirectory, FileName);
}

bool PictureDatabase::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_db != nullptr;
}

bool PictureDatabase::featureless(std::uint64_t hash) {
    const int bits = std::popcount(hash);
    return bits <= 4 || bits >= 60;
}

bool PictureDatabase::open(bool checkFile) {
    std::lock_guard lock(m_mutex);
    if (m_db) return true;
    if (makeDirectories(m_dataDirectory) != 0) {
        m_log("Picture database: cannot make " + m_dataDirectory);
        return false;
    }
    m_created = !fileExists(filePath());
    if (openFile(checkFile)) return true;
    if (!m_failedToOpen) return false;  // not damaged: nothing to set aside
    setAside();
    m_created = true;
    return openFile(checkFile);
}

bool PictureDatabase::created() const {
    std::lock_guard lock(m_mutex);
    return m_created;
}

// Opens and checks the file and makes its tables. On failure the connection is closed;
// m_failedToOpen says whether the file was found damaged.
bool PictureDatabase::openFile(bool checkFile) {
    m_failedToOpen = false;
    const std::string path = filePath();
    auto refuse = [&](std::string_view why, bool isDamaged) {
        m_log("Picture database: " + path + ": " + std::string(why));
        m_failedToOpen = isDamaged;
        close();
        return false;
    };
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    m_db.reset(db);
    if (rc != SQLITE_OK) return refuse(sqlite3_errstr(rc), false);
    sqlite3_busy_timeout(db, m_busyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    // Write-ahead log: a commit is one append, readers never wait for the writer, and a
    // process killed at any point leaves every committed change in place. NORMAL skips the
    // fsync per commit: only a power cut may lose the last changes, never the file.
    {
        Statement mode(db, "PRAGMA journal_mode=WAL");
        rc = mode.step();
        if (rc != SQLITE_ROW) return refuse(sqlite3_errmsg(db), damaged(sqlite3_errcode(db)));
        if (mode.text(0) != "wal") return refuse("no write-ahead log", false);
        Statement check(db, checkFile ? "PRAGMA quick_check" : "PRAGMA user_version");
        rc = check.step();
        if (rc != SQLITE_ROW) return refuse(sqlite3_errmsg(db), damaged(sqlite3_errcode(db)));
        if (checkFile && check.text(0) != "ok") return refuse("damaged: " + check.text(0), true);
        Statement version(db, "PRAGMA user_version");
        if (version.step() == SQLITE_ROW && version.integer(0) > SchemaVersion) {
            return refuse("made by a newer version of the program", false);
        }
    }
    if (!exec("PRAGMA synchronous=NORMAL") || !exec("BEGIN IMMEDIATE") || !exec(Schema) ||
        !exec("PRAGMA user_version=1") || !exec("COMMIT")) {
        return refuse("cannot make its tables", damaged(m_lastError));
    }
    m_cacheGeneration = -1;
    return true;
}

void PictureDatabase::setAside() {
    const std::string path = filePath();
    const std::string aside = path + ".damaged";
    // The log and the shared memory of the damaged file must not meet the new one.
    std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    if (std::rename(path.c_str(), aside.c_str()) == 0) {
        m_log("Picture database damaged: set aside as " + aside + "; a new one is made");
    }
}

void PictureDatabase::close() {
    m_bySize.reset();  // before the connection it belongs to
    m_db.reset();
    m_nearCache.clear();
    m_cacheGeneration = -1;
}

bool PictureDatabase::exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    sqlite3_free(error);
    failed(sql);
    return false;
}

void PictureDatabase::failed(std::string_view what) {
    if (!m_db) return;
    const int code = m_lastError = sqlite3_extended_errcode(m_db.get());
    m_log("Picture database: " + std::string(what.substr(0, 60)) + ": " +
          sqlite3_errmsg(m_db.get()));
    if (!sqlite3_get_autocommit(m_db.get()))
        sqlite3_exec(m_db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    m_cacheGeneration = -1;
    // A file found damaged while in use is left alone until the next open sets it aside.
    if (damaged(code)) close();
}

std::int64_t PictureDatabase::hashGeneration() {
    Statement s(m_db.get(), "SELECT value FROM meta WHERE key = 'hashes'");
    return s.step() == SQLITE_ROW ? s.integer(0) : -1;
}

void PictureDatabase::bumpHashGeneration() {
    exec("UPDATE meta SET value = value + 1 WHERE key = 'hashes'");
}

void PictureDatabase::refreshNearCache() {
    const std::int64_t generation = hashGeneration();
    if (generation == m_cacheGeneration && generation >= 0) return;
    m_nearCache.clear();
    Statement s(m_db.get(), "SELECT id, phash FROM pictures WHERE state = 1");
    while (s.step() == SQLITE_ROW) {
        const auto hash = std::bit_cast<std::uint64_t>(s.integer(1));
        if (!featureless(hash)) m_nearCache.push_back({s.integer(0), hash});
    }
    m_cacheGeneration = generation;
}

std::optional<std::int64_t> PictureDatabase::add(const StoredPicture& p) {
    std::lock_guard lock(m_mutex);
    if (!m_db || !exec("BEGIN IMMEDIATE")) return std::nullopt;
    Statement old(m_db.get(), "DELETE FROM pictures WHERE path = ? RETURNING state");
    old.bind(1, p.path);
    bool hashesChanged = p.state == PictureState::Shown;
    while (old.step() == SQLITE_ROW) hashesChanged |= old.integer(0) == 1;
    Statement s(m_db.get(), Insert);
    bindPicture(s, p);
    if (s.step() != SQLITE_DONE) {
        failed("cannot record " + p.path);
        return std::nullopt;
    }
    const std::int64_t id = sqlite3_last_insert_rowid(m_db.get());
    if (hashesChanged) bumpHashGeneration();
    if (!exec("COMMIT")) return std::nullopt;
    if (hashesChanged) m_cacheGeneration = -1;
    return id;
}

std::vector<std::int64_t> PictureDatabase::addInTransaction(std::span<const StoredPicture> pictures,
                                                            bool& hashesChanged) {
    Statement old(m_db.get(), "DELETE FROM pictures WHERE path = ? RETURNING state");
    Statement insert(m_db.get(), Insert);
    std::vector<std::int64_t> ids;
    ids.reserve(pictures.size());
    for (const StoredPicture& p : pictures) {
        hashesChanged |= p.state == PictureState::Shown;
        old.bind(1, p.path);
        while (old.step() == SQLITE_ROW) hashesChanged |= old.integer(0) == 1;
        old.reset();
        bindPicture(insert, p);
        if (insert.step() != SQLITE_DONE) {
            failed("cannot record " + p.path);
            return {};
        }
        insert.reset();
        ids.push_back(sqlite3_last_insert_rowid(m_db.get()));
    }
    return ids;
}

bool PictureDatabase::addAll(std::span<const StoredPicture> pictures) {
    return pictures.empty() || !addEach(pictures).empty();
}

std::vector<std::int64_t> PictureDatabase::addEach(std::span<const StoredPicture> pictures) {
    std::lock_guard lock(m_mutex);
    if (pictures.empty() || !m_db || !exec("BEGIN IMMEDIATE")) return {};
    bool hashesChanged = false;
    std::vector<std::int64_t> ids = addInTransaction(pictures, hashesChanged);
    if (ids.empty()) return {};
    if (hashesChanged) bumpHashGeneration();
    if (!exec("COMMIT")) return {};
    if (hashesChanged) m_cacheGeneration = -1;
    return ids;
}

std::vector<std::string> PictureDatabase::complete(std::int64_t id, PictureState state,
                                                   std::uint64_t hash, int width, int height,
                                                   int thumbWidth, int thumbHeight) {
    const Completion one{id, state, hash, width, height, thumbWidth, thumbHeight};
    return completeEach({&one, 1});
}

bool PictureDatabase::completeOne(const Completion& c, std::set<std::string>& groups) {
    Statement update(m_db.get(),
                     "UPDATE pictures SET state = ?, phash = ?, width = ?, height = ?,"
                     " thumb_width = ?, thumb_height = ? WHERE id = ?");
    update.bind(1, static_cast<std::int64_t>(c.state)).bind(2, hashToColumn(c.hash));
    update.bind(3, c.width).bind(4, c.height).bind(5, c.thumbWidth).bind(6, c.thumbHeight);
    update.bind(7, c.id);
    if (update.step() != SQLITE_DONE) {
        failed("cannot update a picture");
        return false;
    }
    std::vector<std::int64_t> marked;
    const bool shown = c.state == PictureState::Shown && !featureless(c.hash);
    if (shown) {
        for (const NearEntry& e : m_nearCache) {
            if (e.id != c.id && hammingDistance(e.hash, c.hash) <= NearDuplicateDistance) {
                marked.push_back(e.id);
            }
        }
        if (!marked.empty()) marked.push_back(c.id);
    }
    Statement mark(m_db.get(),
                   "UPDATE pictures SET near = 1 WHERE id = ? AND near = 0 RETURNING grp");
    for (std::int64_t m : marked) {
        mark.bind(1, m);
        while (mark.step() == SQLITE_ROW) groups.insert(mark.text(0));
        mark.reset();
    }
    // The later ones of the same transaction are compared with this one too.
    std::erase_if(m_nearCache, [&c](const NearEntry& e) { return e.id == c.id; });
    if (shown) m_nearCache.push_back({c.id, c.hash});
    return true;
}

std::vector<std::string> PictureDatabase::completeEach(std::span<const Completion> completions) {
    std::lock_guard lock(m_mutex);
    if (completions.empty() || !m_db || !exec("BEGIN IMMEDIATE")) return {};
    refreshNearCache();
    const std::int64_t generation = m_cacheGeneration;
    std::set<std::string> groups;
    for (const Completion& c : completions) {
        if (!completeOne(c, groups)) {
            m_nearCache.clear();  // it took in what was rolled back
            return {};
        }
    }
    bumpHashGeneration();
    if (!exec("COMMIT")) {
        m_nearCache.clear();
        m_cacheGeneration = -1;
        return {};
    }
    // One bump for the whole transaction: the cache is as of the next generation when it
    // was up to date before.
    m_cacheGeneration = generation >= 0 ? generation + 1 : -1;
    return {groups.begin(), groups.end()};
}

bool PictureDatabase::remove(std::string_view path) {
    std::lock_guard lock(m_mutex);
    if (!m_db || !exec("BEGIN IMMEDIATE")) return false;
    Statement s(m_db.get(), "DELETE FROM pictures WHERE path = ? RETURNING state");
    s.bind(1, path);
    bool removed = false, hashesChanged = false;
    while (s.step() == SQLITE_ROW) {
        removed = true;
        hashesChanged |= s.integer(0) == 1;
    }
    if (hashesChanged) bumpHashGeneration();
    if (!exec("COMMIT")) return false;
    if (hashesChanged) m_cacheGeneration = -1;
    return removed;
}

bool PictureDatabase::changeContent(std::string_view path, std::int64_t size,
                                    const Sha256& sha256) {
    std::lock_guard lock(m_mutex);
    if (!m_db || !exec("BEGIN IMMEDIATE")) return false;
    Statement s(m_db.get(),
                "UPDATE pictures SET size = ?, sha256 = ?, state = 0, near = 0 WHERE path = ?");
    s.bind(1, size).bind(2, sha256).bind(3, path);
    if (s.step() != SQLITE_DONE) {
        failed("cannot update a picture");
        return false;
    }
    const bool changed = sqlite3_changes(m_db.get()) > 0;
    // Its look is no longer known: the hashes other connections hold are out of date.
    if (changed) bumpHashGeneration();
    if (!exec("COMMIT")) return false;
    if (changed) m_cacheGeneration = -1;
    return changed;
}

std::vector<StoredPicture> PictureDatabase::checked(
    std::optional<std::vector<StoredPicture>> rows) {
    if (!rows) {
        failed("cannot read");
        return {};
    }
    return std::move(*rows);
}

std::optional<StoredPicture> PictureDatabase::findBySha256(const Sha256& digest) {
    std::lock_guard lock(m_mutex);
    auto found = checked(selectRows(m_db.get(), "WHERE sha256 = ? ORDER BY id LIMIT 1",
                                    [&](Statement& s) { s.bind(1, digest); }));
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::vector<StoredPicture> PictureDatabase::findBySize(std::int64_t size, std::size_t limit) {
    std::lock_guard lock(m_mutex);
    if (!m_db) return {};
    // Asked for every decoded picture with DecodeLock held: prepared once, not every time.
    if (!m_bySize) {
        const std::string sql =
            std::string("SELECT ") + Columns + " FROM pictures WHERE size = ? ORDER BY id LIMIT ?";
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v3(m_db.get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
        m_bySize.reset(stmt);
        if (!m_bySize) return checked(std::nullopt);
    }
    Statement s(m_bySize.get());
    s.bind(1, size).bind(2, static_cast<std::int64_t>(limit));
    std::vector<StoredPicture> out;
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(readRow(s));
    if (rc != SQLITE_DONE) return checked(std::nullopt);
    return out;
}

std::optional<std::vector<std::int64_t>> PictureDatabase::sizes() {
    std::lock_guard lock(m_mutex);
    std::vector<std::int64_t> out;
    Statement s(m_db.get(), "SELECT DISTINCT size FROM pictures");
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.push_back(s.integer(0));
    if (rc == SQLITE_DONE) return out;
    failed("cannot read");
    return std::nullopt;
}

std::optional<std::unordered_set<std::string>> PictureDatabase::paths() {
    std::lock_guard lock(m_mutex);
    std::unordered_set<std::string> out;
    if (!m_db) return out;
    Statement s(m_db.get(), "SELECT path FROM pictures");
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out.insert(s.text(0));
    if (rc == SQLITE_DONE) return out;
    failed("cannot read");
    return std::nullopt;
}

std::vector<StoredPicture> PictureDatabase::findNear(std::uint64_t hash, int maxDistance) {
    std::lock_guard lock(m_mutex);
    std::vector<StoredPicture> out;
    if (!m_db || featureless(hash)) return out;
    refreshNearCache();
    for (const NearEntry& e : m_nearCache) {
        if (hammingDistance(e.hash, hash) > maxDistance) continue;
        auto rows =
            checked(selectRows(m_db.get(), "WHERE id = ?", [&](Statement& s) { s.bind(1, e.id); }));
        out.insert(out.end(), rows.begin(), rows.end());
    }
    return out;
}

std::vector<StoredPicture> PictureDatabase::groupPictures(std::string_view group) {
    std::lock_guard lock(m_mutex);
    return checked(selectRows(m_db.get(), "WHERE grp = ? ORDER BY date DESC, id DESC",
                              [&](Statement& s) { s.bind(1, group); }));
}

std::vector<StoredPicture> PictureDatabase::pending(std::size_t limit) {
    std::lock_guard lock(m_mutex);
    return checked(selectRows(m_db.get(), "WHERE state = 0 ORDER BY id LIMIT ?",
                              [&](Statement& s) { s.bind(1, static_cast<std::int64_t>(limit)); }));
}

std::vector<StoredPicture> PictureDatabase::all() {
    std::lock_guard lock(m_mutex);
    return checked(selectRows(m_db.get(), "ORDER BY id", [](Statement&) {}));
}

std::vector<DuplicatePair> PictureDatabase::duplicates(std::span<const std::string> groups,
                                                       int maxDistance) {
    std::vector<StoredPicture> pictures = all();
    const std::set<std::string, std::less<>> wanted(groups.begin(), groups.end());
    auto involves = [&](const StoredPicture& a, const StoredPicture& b) {
        return wanted.empty() || wanted.count(a.group) || wanted.count(b.group);
    };
    std::vector<DuplicatePair> out;
    // Exact copies: each later copy paired with the first of its content.
    std::map<Sha256, std::size_t> firstOf;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (pictures[i].sha256 == UnknownDigest) continue;  // not known yet: no copy of any
        auto [at, fresh] = firstOf.try_emplace(pictures[i].sha256, i);
        const StoredPicture& first = pictures[at->second];
        if (!fresh && involves(first, pictures[i])) {
            out.push_back(
                {first, pictures[i], true, hammingDistance(first.hash, pictures[i].hash)});
        }
    }
    // Look-alikes: pictures with a thumbnail, not copies of each other.
    std::vector<std::size_t> shown;
    std::vector<std::uint64_t> hashes;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        if (pictures[i].state != PictureState::Shown) continue;
        shown.push_back(i);
        hashes.push_back(pictures[i].hash);
    }
    nearPairs(hashes, maxDistance, [&](std::size_t i, std::size_t j) {
        const StoredPicture& a = pictures[shown[i]];
        const StoredPicture& b = pictures[shown[j]];
        if (a.sha256 != b.sha256 && involves(a, b)) {
            out.push_back({a, b, false, hammingDistance(a.hash, b.hash)});
        }
    });
    return out;
}

void markNearDuplicates(std::span<StoredPicture> pictures, int maxDistance) {
    std::vector<std::uint64_t> hashes;
    for (StoredPicture& p : pictures) {
        hashes.push_back(p.state == PictureState::Shown ? p.hash : 0);
        p.near = false;
    }
    nearPairs(hashes, maxDistance,
              [&](std::size_t i, std::size_t j) { pictures[i].near = pictures[j].near = true; });
}

bool PictureDatabase::replaceAll(std::span<const StoredPicture> pictures) {
    std::lock_guard lock(m_mutex);
    if (!m_db || !exec("BEGIN IMMEDIATE") || !exec("DELETE FROM pictures")) return false;
    Statement s(m_db.get(), Insert);
    for (const StoredPicture& p : pictures) {
        bindPicture(s, p);
        if (s.step() != SQLITE_DONE) {
            failed("cannot record " + p.path);
            return false;
        }
        s.reset();
    }
    bumpHashGeneration();
    m_cacheGeneration = -1;
    return exec("COMMIT");
}

void PictureDatabase::setBusyTimeout(int milliseconds) {
    std::lock_guard lock(m_mutex);
    m_busyTimeoutMs = std::clamp(milliseconds, 0, BusyTimeoutMs);
    if (m_db) sqlite3_busy_timeout(m_db.get(), m_busyTimeoutMs);
}

}  // namespace qm
