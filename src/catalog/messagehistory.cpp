// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/messagehistory.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>

#include "platform/paths.h"

namespace qm {
namespace {

constexpr int BusyTimeoutMs = 5000;
constexpr int SchemaVersion = 1;

// The files table came later; an older version opens the file as before and leaves it alone,
// so the version stays.
constexpr const char* Schema =
    "CREATE TABLE IF NOT EXISTS history(id TEXT PRIMARY KEY) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS files(path TEXT PRIMARY KEY, grp TEXT NOT NULL,"
    " date INTEGER NOT NULL, subject TEXT NOT NULL, segments TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS files_grp ON files(grp, date);"
    "PRAGMA user_version=1;";

// A file's articles in one column: a line "bytes message-id" each.
std::string formatSegments(const std::vector<ArticleSegment>& segments) {
    std::string text;
    for (const ArticleSegment& segment : segments) {
        if (segment.messageId.empty() ||
            segment.messageId.find_first_of(" \n") != std::string::npos)
            continue;
        text += std::to_string(segment.bytes) + " " + segment.messageId + "\n";
    }
    return text;
}

std::vector<ArticleSegment> parseSegments(std::string_view text) {
    std::vector<ArticleSegment> segments;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::size_t blank = line.find(' ');
        std::int64_t bytes = 0;
        if (blank == std::string_view::npos || blank + 1 == line.size()) continue;
        auto [at, ec] = std::from_chars(line.data(), line.data() + blank, bytes);
        if (ec != std::errc() || at != line.data() + blank) continue;
        segments.push_back({std::string(line.substr(blank + 1)), bytes});
    }
    return segments;
}

std::string_view column(sqlite3_stmt* statement, int index) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
    return text ? std::string_view(text,
                                   static_cast<std::size_t>(sqlite3_column_bytes(statement, index)))
                : std::string_view();
}

bool isDamage(int code) {
    code &= 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

sqlite3* openConnection(const std::string& path, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, BusyTimeoutMs);
    sqlite3_extended_result_codes(db, 1);
    return db;
}

}  // namespace

// A read connection with its one statement.
struct MessageHistory::Reader {
    sqlite3* db = nullptr;
    sqlite3_stmt* select = nullptr;

    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() {
        sqlite3_finalize(select);
        sqlite3_close(db);
    }
};

MessageHistory::MessageHistory(Log log) : m_log(std::move(log)) {}

MessageHistory::~MessageHistory() {
    close();
}

bool MessageHistory::open(const std::string& dataDirectory) {
    close();
    const std::string path = joinPath(dataDirectory, FileName);
    bool damaged = false;
    if (!openWriter(path, damaged) && damaged) {
        setAside(path);
        (void)openWriter(path, damaged);
    }
    if (!m_writer) {
        m_log("Message history: " + path + " cannot be used; articles older than the last " +
              "10000 retrieved may be fetched again");
        return false;
    }
    m_path = path;
    m_reported = false;
    return true;
}

bool MessageHistory::openWriter(const std::string& path, bool& damaged) {
    damaged = false;
    sqlite3* db = openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!db) return false;
    auto run = [&](const char* sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    // Write-ahead log: lookups never wait for a commit. FULL syncs each commit; commits come
    // in groups, about once a second.
    bool ok = run("PRAGMA journal_mode=WAL") && run("PRAGMA synchronous=FULL");
    if (ok) {
        sqlite3_stmt* version = nullptr;
        ok = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
             sqlite3_step(version) == SQLITE_ROW && sqlite3_column_int(version, 0) <= SchemaVersion;
        sqlite3_finalize(version);
    }
    ok = ok && run(Schema) &&
         sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO history(id) VALUES(?)", -1, &m_insert,
                            nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO files VALUES(?,?,?,?,?)", -1, &m_insertFile,
                            nullptr) == SQLITE_OK;
    if (!ok) {
        damaged = isDamage(sqlite3_extended_errcode(db));
        sqlite3_finalize(m_insert);
        sqlite3_finalize(m_insertFile);
        m_insert = nullptr;
        m_insertFile = nullptr;
        sqlite3_close(db);
        return false;
    }
    m_writer = db;
    return true;
}

void MessageHistory::setAside(const std::string& path) {
    const std::string aside = path + ".damaged";
    // The log and shared memory of the damaged file must not meet the new one.
    std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    if (std::rename(path.c_str(), aside.c_str()) == 0)
        m_log("Message history damaged: set aside as " + aside + "; a new one is made");
}

void MessageHistory::close() {
    if (!m_writer) return;
    (void)commit();
    std::lock_guard lock(m_mutex);
    m_readers.clear();
    m_waiting.clear();
    m_waitingSet.clear();
    m_waitingFiles.clear();
    m_committed = 0;
    sqlite3_finalize(m_insert);
    sqlite3_finalize(m_insertFile);
    m_insert = nullptr;
    m_insertFile = nullptr;
    sqlite3_close(m_writer);
    m_writer = nullptr;
}

MessageHistory::ReaderPtr MessageHistory::borrowReader() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_readers.empty()) {
            ReaderPtr reader = std::move(m_readers.back());
            m_readers.pop_back();
            return reader;
        }
    }
    auto reader = std::make_unique<Reader>();
    reader->db = openConnection(m_path, SQLITE_OPEN_READWRITE);
    if (!reader->db ||
        sqlite3_exec(reader->db, "PRAGMA query_only=1", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(reader->db, "SELECT 1 FROM history WHERE id = ?", -1, &reader->select,
                           nullptr) != SQLITE_OK)
        return nullptr;
    return reader;
}

void MessageHistory::giveBack(ReaderPtr reader) {
    std::lock_guard lock(m_mutex);
    m_readers.push_back(std::move(reader));
}

bool MessageHistory::contains(std::string_view id) {
    {
        // Before the file: a commit removes ids from here only once they are in it.
        std::lock_guard lock(m_mutex);
        if (!m_writer) return false;
        if (m_waitingSet.count(std::string(id))) return true;
    }
    ReaderPtr reader = borrowReader();
    if (!reader) {
        failed("cannot read it");
        return false;
    }
    sqlite3_stmt* select = reader->select;
    sqlite3_bind_text(select, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(select);
    sqlite3_reset(select);
    sqlite3_clear_bindings(select);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) failed(sqlite3_errmsg(reader->db));
    giveBack(std::move(reader));
    return rc == SQLITE_ROW;
}

void MessageHistory::add(std::string_view id) {
    std::lock_guard lock(m_mutex);
    if (!m_writer) return;
    m_waiting.emplace_back(id);
    m_waitingSet.emplace(id);
}

std::uint64_t MessageHistory::mark() const {
    std::lock_guard lock(m_mutex);
    return m_committed + m_waiting.size();
}

bool MessageHistory::insert(std::span<const std::string> ids) {
    std::lock_guard write(m_writeMutex);
    return store(ids);
}

bool MessageHistory::store(std::span<const std::string> ids,
                           std::span<const DecodedFileRecord> files) {
    if (!m_writer) return false;
    if (ids.empty() && files.empty()) return true;
    bool ok = sqlite3_exec(m_writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (std::size_t i = 0; ok && i < ids.size(); ++i) {
        sqlite3_bind_text(m_insert, 1, ids[i].data(), static_cast<int>(ids[i].size()),
                          SQLITE_STATIC);
        ok = sqlite3_step(m_insert) == SQLITE_DONE;
        sqlite3_reset(m_insert);
    }
    for (std::size_t i = 0; ok && i < files.size(); ++i) {
        const DecodedFileRecord& file = files[i];
        const std::string segments = formatSegments(file.segments);
        auto bind = [&](int index, std::string_view text) {
            sqlite3_bind_text(m_insertFile, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_STATIC);
        };
        bind(1, file.path);
        bind(2, file.group);
        sqlite3_bind_int64(m_insertFile, 3, file.date);
        bind(4, file.subject);
        bind(5, segments);
        ok = sqlite3_step(m_insertFile) == SQLITE_DONE;
        sqlite3_reset(m_insertFile);
        sqlite3_clear_bindings(m_insertFile);
    }
    ok = ok && sqlite3_exec(m_writer, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
        failed(sqlite3_errmsg(m_writer));
        sqlite3_exec(m_writer, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return ok;
}

bool MessageHistory::commitUpTo(std::uint64_t upTo) {
    std::lock_guard write(m_writeMutex);
    std::vector<std::string> ids;
    std::vector<DecodedFileRecord> files;
    {
        std::lock_guard lock(m_mutex);
        const std::uint64_t due = upTo > m_committed ? upTo - m_committed : 0;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(due, m_waiting.size()));
        ids.assign(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(n));
        // Files need no mark: one stored ahead of its article's record is checked by readers.
        files.swap(m_waitingFiles);
    }
    if (ids.empty() && files.empty()) return true;
    if (!store(ids, files)) {
        std::lock_guard lock(m_mutex);
        m_waitingFiles.insert(m_waitingFiles.begin(), std::make_move_iterator(files.begin()),
                              std::make_move_iterator(files.end()));
        return false;
    }
    std::lock_guard lock(m_mutex);
    // Only commit() takes ids from the front, and it holds the write lock.
    for (const std::string& id : ids) m_waitingSet.erase(m_waitingSet.find(id));
    m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(ids.size()));
    m_committed += ids.size();
    return true;
}

void MessageHistory::addFile(DecodedFileRecord file) {
    std::lock_guard lock(m_mutex);
    if (m_writer) m_waitingFiles.push_back(std::move(file));
}

std::vector<DecodedFileRecord> MessageHistory::query(const char* sql, std::string_view key) {
    std::vector<DecodedFileRecord> files;
    std::lock_guard write(m_writeMutex);
    if (!m_writer) return files;
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(m_writer, sql, -1, &select, nullptr) != SQLITE_OK) {
        failed(sqlite3_errmsg(m_writer));
        return files;
    }
    sqlite3_bind_text(select, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW)
        files.push_back({std::string(column(select, 0)), std::string(column(select, 1)),
                         sqlite3_column_int64(select, 2), std::string(column(select, 3)),
                         parseSegments(column(select, 4))});
    if (rc != SQLITE_DONE) failed(sqlite3_errmsg(m_writer));
    sqlite3_finalize(select);
    return files;
}

std::vector<DecodedFileRecord> MessageHistory::files(std::string_view group) {
    std::vector<DecodedFileRecord> files =
        query("SELECT * FROM files WHERE grp = ? ORDER BY date, path", group);
    std::lock_guard lock(m_mutex);
    // Those waiting for the commit replace what is stored for their paths.
    for (const DecodedFileRecord& waiting : m_waitingFiles) {
        if (waiting.group != group) continue;
        std::erase_if(files,
                      [&](const DecodedFileRecord& file) { return file.path == waiting.path; });
        files.push_back(waiting);
    }
    return files;
}

std::optional<DecodedFileRecord> MessageHistory::file(std::string_view path) {
    {
        std::lock_guard lock(m_mutex);
        for (auto waiting = m_waitingFiles.rbegin(); waiting != m_waitingFiles.rend(); ++waiting)
            if (waiting->path == path) return *waiting;
    }
    std::vector<DecodedFileRecord> files = query("SELECT * FROM files WHERE path = ?", path);
    if (files.empty()) return std::nullopt;
    return std::move(files.front());
}

void MessageHistory::renameFile(std::string_view from, std::string_view to) {
    std::optional<DecodedFileRecord> moved = file(from);
    if (!moved) return;
    moved->path.assign(to);
    // The old record stays until its path is used again: readers check the file is there.
    addFile(std::move(*moved));
}

void MessageHistory::failed(std::string_view what) {
    {
        std::lock_guard lock(m_mutex);
        if (m_reported) return;  // once: a broken file would say so at every article
        m_reported = true;
    }
    m_log("Message history: " + m_path + ": " + std::string(what));
}

}  // namespace qm
