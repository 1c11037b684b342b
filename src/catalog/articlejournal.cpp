// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/articlejournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>

#include "catalog/picturelist.h"
#include "config/appsettings.h"
#include "config/frontend.h"
#include "decode/yenc.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "platform/paths.h"

namespace qm {
namespace {

// A record larger than this is taken for damage: an article's record is a few hundred bytes.
constexpr std::size_t MaxRecordBytes = 16 << 20;

// Fields are separated by tabs and records by line ends; inside a field both are escaped.
void appendField(std::string& out, std::string_view text) {
    out += '\t';
    if (text.find_first_of("\\\t\n\r") == std::string_view::npos) {
        out.append(text);  // the usual field: nothing to escape
        return;
    }
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
}

std::optional<std::string> unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        if (++i == field.size()) return std::nullopt;
        switch (field[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                return std::nullopt;
        }
    }
    return out;
}

// The unescaped fields of a body line after its tag; nothing when one is damaged.
std::optional<std::vector<std::string>> fieldsOf(std::string_view line) {
    std::vector<std::string> fields;
    std::size_t at = line.find('\t');
    while (at != std::string_view::npos) {
        std::size_t next = line.find('\t', at + 1);
        std::optional<std::string> field =
            unescape(line.substr(at + 1, next == std::string_view::npos ? next : next - at - 1));
        if (!field) return std::nullopt;
        fields.push_back(std::move(*field));
        at = next;
    }
    return fields;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base = 10) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

std::uint32_t checksum(std::string_view body) {
    return crc32Update(0, std::span<const char>(body.data(), body.size()));
}

// The body's lines into record; false when one is not as formatJournalRecord writes it.
bool parseBody(std::string_view body, JournalRecord& record) {
    bool sawArticle = false;
    while (!body.empty()) {
        const std::size_t end = body.find('\n');
        if (end == std::string_view::npos) return false;
        const std::string_view line = body.substr(0, end);
        body.remove_prefix(end + 1);
        std::optional<std::vector<std::string>> fields = fieldsOf(line);
        if (!fields || line.size() < 2 || line[1] != '\t') return false;
        std::vector<std::string>& f = *fields;
        switch (line[0]) {
            case 'A':
                if (sawArticle || f.size() != 3 || !parseNumber(f[2], record.number)) return false;
                record.messageId = std::move(f[0]);
                record.group = std::move(f[1]);
                sawArticle = true;
                break;
            case 'F': {
                if (f.size() != 2 && !(f.size() == 5 && f[4].size() == 1)) return false;
                JournalRecord::File file{std::move(f[0]), std::move(f[1]), std::nullopt};
                if (f.size() == 5) file.picture = PictureRecord{f[2], f[3], f[4][0]};
                record.files.push_back(std::move(file));
                break;
            }
            case 'P':
                if (!(f.size() == 1 && f[0] == "-") && !(f.size() == 2 && f[0] == "+"))
                    return false;
                record.description = f[0][0];
                if (f.size() == 2) record.descriptionWork = std::move(f[1]);
                break;
            case 'R':
            case 'X':
                if (f.size() != 1) return false;
                (line[0] == 'R' ? record.removedFiles : record.removedDirectories)
                    .push_back(std::move(f[0]));
                break;
            default:
                return false;
        }
    }
    return sawArticle;
}

// The data directory's path for a journal path, when it lies where the journal may touch
// anything: a file directly in a "news.dat" folder (of a group folder or of the data
// directory), or below "tmp". Anything else (an absolute path, "..", a path elsewhere) is
// refused: the journal is a file like any other and may have been damaged.
enum class Place { News, Tmp };

std::optional<std::string> placed(const std::string& dataDirectory, std::string_view relative,
                                  Place place) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0; at <= relative.size();) {
        std::size_t slash = relative.find('/', at);
        if (slash == std::string_view::npos) slash = relative.size();
        std::string_view part = relative.substr(at, slash - at);
        if (part.empty() || part == "." || part == "..") return std::nullopt;
        parts.push_back(part);
        at = slash + 1;
    }
    const bool fits = place == Place::News
                          ? (parts.size() == 2 && parts[0] == "news.dat") ||
                                (parts.size() == 3 && parts[1] == "news.dat")
                          : parts.size() >= 2 && parts.size() <= 3 && parts[0] == "tmp";
    if (!fits) return std::nullopt;
    return joinPath(dataDirectory, relative);
}

bool isRegularFile(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<std::string> relativeTo(const std::string& dataDirectory, const std::string& path) {
    if (dataDirectory.empty() || path.size() <= dataDirectory.size() + 1 ||
        path.compare(0, dataDirectory.size(), dataDirectory) != 0 ||
        (dataDirectory.back() != '/' && path[dataDirectory.size()] != '/'))
        return std::nullopt;
    return path.substr(dataDirectory.size() + (dataDirectory.back() == '/' ? 0 : 1));
}

// The shared entry of a group named in the journal, so that memory and "data.lst" agree; a
// group the tables do not hold gets an entry of the fold's own.
class GroupsOfTheFold {
  public:
    explicit GroupsOfTheFold(AppSettings& settings) : m_settings(settings) {}

    GroupEntry& find(const std::string& name) {
        // Not allGroups: the group-list worker may be filling it. Every group a reader
        // decodes for is in the visited table.
        for (GroupTable* table :
             {&m_settings.visitedGroups, &m_settings.selectedGroups, &m_settings.subscribedGroups})
            if (GroupEntry* entry = table->find(name)) return *entry;
        std::unique_ptr<GroupEntry>& own = m_own[name];
        if (!own) own = std::make_unique<GroupEntry>(name, 0);
        return *own;
    }

  private:
    AppSettings& m_settings;
    std::map<std::string, std::unique_ptr<GroupEntry>> m_own;
};

struct Replay {
    AppSettings& settings;
    GroupsOfTheFold groups;
    std::set<GroupEntry*> touched;
    JournalFold& fold;
    const JournalRecord* described = nullptr;  // the last record that set the description

    void record(const JournalRecord& record) {
        if (record.description) described = &record;
        MessageIdIndex& ids = settings.messageIds;
        // Into "MSGLIST" as well when only the history has it (committed before the kill).
        if (!record.messageId.empty() && !ids.inRing(record.messageId))
            (void)ids.add(record.messageId, true);
        for (const JournalRecord::File& file : record.files) this->file(record, file);
        const std::string& data = settings.dataDirectory;
        for (const std::string& path : record.removedFiles)
            if (auto full = placed(data, path, Place::Tmp); full && isRegularFile(*full))
                std::remove(full->c_str());
        for (const std::string& path : record.removedDirectories)
            if (auto full = placed(data, path, Place::Tmp)) ::rmdir(full->c_str());
    }

    // What the last committed article left as the pending description. Its working copy is
    // still there when the kill came before it was named; a later working copy belongs to an
    // article that was not committed and is removed with the leftovers.
    void description() {
        if (!described) return;
        const std::string pending = joinPath(settings.dataDirectory, "tmp/tempdesc.txt");
        if (described->description == '-') {
            std::remove(pending.c_str());
            return;
        }
        std::optional<std::string> work =
            placed(settings.dataDirectory, described->descriptionWork, Place::Tmp);
        if (work && baseName(*work).starts_with(TemporaryOutputPrefix) && isRegularFile(*work))
            std::rename(work->c_str(), pending.c_str());
    }

    void file(const JournalRecord& record, const JournalRecord::File& file) {
        const std::string& data = settings.dataDirectory;
        std::optional<std::string> hidden = placed(data, file.temporaryPath, Place::News);
        std::optional<std::string> path = placed(data, file.path, Place::News);
        if (!hidden || !path ||
            !std::string_view(baseName(*hidden)).starts_with(TemporaryOutputPrefix))
            return;
        if (isRegularFile(*hidden) && std::rename(hidden->c_str(), path->c_str()) == 0)
            ++fold.renamed;
        if (!file.picture || record.group.empty() || !isRegularFile(*path)) return;
        GroupEntry& group = groups.find(record.group);
        // The file must be in that group's own folder.
        if (joinPath(filesDirectory(settings, group), baseName(*path)) != *path) return;
        touched.insert(&group);
        std::lock_guard lock(PictureListLock);
        PictureList& list = pictures(settings, group);
        // A detached name is one the user removed: it stays removed.
        if (list.emplace(std::string(baseName(*path)), *file.picture).second) ++fold.catalogued;
    }
};

}  // namespace

std::string formatJournalRecord(const JournalRecord& record) {
    std::string body;
    body.reserve(256);
    body += 'A';
    appendField(body, record.messageId);
    appendField(body, record.group);
    appendField(body, std::to_string(record.number));
    body += '\n';
    for (const JournalRecord::File& file : record.files) {
        body += 'F';
        appendField(body, file.temporaryPath);
        appendField(body, file.path);
        if (file.picture) {
            appendField(body, file.picture->description);
            appendField(body, file.picture->date);
            appendField(body, std::string_view(&file.picture->mark, 1));
        }
        body += '\n';
    }
    for (const std::string& path : record.removedFiles) {
        body += 'R';
        appendField(body, path);
        body += '\n';
    }
    for (const std::string& path : record.removedDirectories) {
        body += 'X';
        appendField(body, path);
        body += '\n';
    }
    if (record.description) {
        body += 'P';
        appendField(body, std::string_view(&record.description, 1));
        if (record.description == '+') appendField(body, record.descriptionWork);
        body += '\n';
    }
    char header[48];
    std::snprintf(header, sizeof header, "J %zu %08x\n", body.size(), checksum(body));
    return header + body;
}

namespace {

// The whole record at the front of text, and its size; nothing when it is not one.
std::optional<std::pair<JournalRecord, std::size_t>> recordAt(std::string_view text) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view header = text.substr(0, end);
    std::size_t length = 0;
    std::uint32_t crc = 0;
    const std::size_t blank = header.find(' ', 2);
    if (!header.starts_with("J ") || blank == std::string_view::npos ||
        !parseNumber(header.substr(2, blank - 2), length) ||
        !parseNumber(header.substr(blank + 1), crc, 16) || length > MaxRecordBytes ||
        text.size() - end - 1 < length)
        return std::nullopt;
    const std::string_view body = text.substr(end + 1, length);
    JournalRecord record;
    if (checksum(body) != crc || !parseBody(body, record)) return std::nullopt;
    return std::pair{std::move(record), end + 1 + length};
}

}  // namespace

ParsedJournal parseJournal(std::string_view text) {
    ParsedJournal parsed;
    std::size_t at = 0;
    while (at < text.size()) {
        if (auto whole = recordAt(text.substr(at))) {
            parsed.records.push_back(std::move(whole->first));
            at += whole->second;
            parsed.used = at;
            continue;
        }
        // Damaged from here: on to the next whole record, wherever it starts (the line end
        // before it may be what was damaged). A body line never starts with "J ", so each line
        // passed over that does was a record's header.
        int headers = 1;
        std::size_t next = at;
        bool found = false;
        while ((next = text.find("J ", next + 1)) != std::string_view::npos) {
            if (recordAt(text.substr(next))) {
                found = true;
                break;
            }
            if (text[next - 1] == '\n') ++headers;
        }
        if (!found) {
            // The tail: its last record was being written (or is damaged); those before it
            // were damaged.
            parsed.skipped += headers - 1;
            parsed.torn = true;
            break;
        }
        parsed.skipped += headers;
        at = next;
    }
    parsed.damaged = parsed.skipped > 0 || parsed.torn;
    return parsed;
}

std::optional<JournalRecord> journalRecord(const DecodeInputs& inputs,
                                           const ArticleOutputs& outputs,
                                           const std::string& dataDirectory) {
    if (inputs.messageId.empty() && outputs.empty()) return std::nullopt;
    JournalRecord record;
    record.messageId = inputs.messageId;
    if (inputs.group) record.group = inputs.group->name();
    record.number = inputs.articleNumber;
    auto addFile = [&](const std::string& temporary, const std::string& path, bool catalogued) {
        auto hidden = relativeTo(dataDirectory, temporary);
        auto named = relativeTo(dataDirectory, path);
        if (!hidden || !named) return;
        std::optional<PictureRecord> picture;
        if (catalogued && inputs.group) picture = newPictureRecord(inputs.subject);
        record.files.push_back({std::move(*hidden), std::move(*named), std::move(picture)});
    };
    for (const PendingOutput& file : outputs.files) {
        addFile(file.temporaryPath, file.path, true);
        if (!file.descriptionTemporaryPath.empty())
            addFile(file.descriptionTemporaryPath, file.descriptionPath, false);
    }
    for (const std::string& path : outputs.removedFiles)
        if (auto relative = relativeTo(dataDirectory, path))
            record.removedFiles.push_back(std::move(*relative));
    for (const std::string& path : outputs.removedDirectories)
        if (auto relative = relativeTo(dataDirectory, path))
            record.removedDirectories.push_back(std::move(*relative));
    using Description = ArticleOutputs::Description;
    if (outputs.description == Description::Dropped) record.description = '-';
    if (outputs.description == Description::Kept) {
        if (auto relative = relativeTo(dataDirectory, outputs.descriptionWork)) {
            record.description = '+';
            record.descriptionWork = std::move(*relative);
        }
    }
    return record;
}

bool ArticleJournal::open(const std::string& dataDirectory) {
    close();
    m_dataDirectory = dataDirectory;
    m_path = joinPath(dataDirectory, ArticleJournalName);
    m_openError.clear();
    m_cutAtOpen = 0;
    auto refuse = [&] {
        const int error = errno;
        m_openError = m_path + ": " + std::strerror(error);
        m_fd.reset();
        errno = error;
        return false;
    };
    m_fd.reset(::open(m_path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!m_fd) return refuse();
    struct stat status {};
    if (::fstat(m_fd.get(), &status) != 0) return refuse();
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return refuse();
    }
    if (status.st_size == 0) return true;
    // A record cut short by a kill would swallow the next one appended behind it.
    std::optional<std::string> text = readWholeFile(m_path);
    if (!text) return refuse();
    const ParsedJournal parsed = parseJournal(*text);
    if (parsed.torn) {
        if (::ftruncate(m_fd.get(), static_cast<off_t>(parsed.used)) != 0) return refuse();
        m_cutAtOpen = text->size() - parsed.used;
    }
    return true;
}

void ArticleJournal::close() {
    {
        std::lock_guard lock(m_syncMutex);
        m_stopping = true;
    }
    m_syncWake.notify_all();
    if (m_syncer.joinable()) m_syncer.join();
    std::lock_guard lock(m_syncMutex);
    m_stopping = false;
    m_dirty = false;
    m_fd.reset();
}

void ArticleJournal::setSyncHooks(std::function<std::uint64_t()> before,
                                  std::function<void(std::uint64_t)> after) {
    m_beforeSync = std::move(before);
    m_afterSync = std::move(after);
}

bool ArticleJournal::sync() {
    if (!m_fd) {
        errno = EBADF;
        return false;
    }
    // The whole file system: the decoded files and state files the records stand for go with
    // them, in one call instead of one per file.
    return ::syncfs(m_fd.get()) == 0 || ::fdatasync(m_fd.get()) == 0;
}

void ArticleJournal::startSyncer() {
    if (!m_syncer.joinable()) m_syncer = std::thread([this] { syncLoop(); });
}

void ArticleJournal::syncLoop() {
    std::unique_lock lock(m_syncMutex);
    auto last = std::chrono::steady_clock::now() - SyncInterval;
    for (;;) {
        m_syncWake.wait(lock, [&] { return m_stopping || m_dirty; });
        // The records of up to one interval go in one sync.
        m_syncWake.wait_until(lock, last + SyncInterval, [&] { return m_stopping; });
        if (m_stopping) return;
        m_dirty = false;
        lock.unlock();
        const std::uint64_t mark = m_beforeSync ? m_beforeSync() : 0;
        last = std::chrono::steady_clock::now();
        if (sync() && m_afterSync) m_afterSync(mark);
        lock.lock();
    }
}

bool ArticleJournal::append(const JournalRecord& record) {
    if (!m_fd) {
        errno = EBADF;
        return false;
    }
    const std::string bytes = formatJournalRecord(record);
    const off_t before = ::lseek(m_fd.get(), 0, SEEK_END);
    ssize_t written;
    do {
        written = ::write(m_fd.get(), bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(bytes.size())) {
        std::lock_guard lock(m_syncMutex);
        if (!m_dirty) {
            m_dirty = true;
            startSyncer();
            m_syncWake.notify_one();
        }
        return true;
    }
    const int error = written < 0 ? errno : ENOSPC;
    // A record cut short would hide every record after it from the replay.
    if (before >= 0) (void)::ftruncate(m_fd.get(), before);
    errno = error;
    return false;
}

bool ArticleJournal::clear() {
    if (m_fd) return ::ftruncate(m_fd.get(), 0) == 0;
    if (m_path.empty()) return true;
    return ::truncate(m_path.c_str(), 0) == 0 || errno == ENOENT;
}

JournalFold foldJournal(AppSettings& settings, ArticleJournal& journal) {
    JournalFold fold;
    // Its paths are relative to its own folder, and so are the settings' lists.
    if (journal.path().empty() || journal.dataDirectory() != settings.dataDirectory) return fold;
    std::optional<std::string> text = readWholeFile(journal.path());
    if (!text || text->empty()) {
        fold.folded = true;  // nothing waits
        return fold;
    }
    const ParsedJournal parsed = parseJournal(*text);
    fold.damaged = parsed.damaged;
    fold.skipped = parsed.skipped;
    Replay replay{settings, GroupsOfTheFold(settings), {}, fold};
    for (const JournalRecord& record : parsed.records) replay.record(record);
    replay.description();
    fold.records = static_cast<int>(parsed.records.size());
    bool saved = parsed.records.empty() || settings.messageIds.save() == 0;
    // Said in the log, not in a box: the caller holds DecodeLock.
    for (GroupEntry* group : replay.touched) {
        if (writePictureList(settings, *group)) continue;
        settings.frontend().appendLog("Fail to save picture list for " + group->name());
        saved = false;
    }
    // What the records stood for is on disk before they go: the files, the lists, "MSGLIST",
    // and then the history's ids (the records' own among them).
    if (saved && !parsed.records.empty()) {
        saved = journal.sync();
        if (IdHistory* history = settings.messageIds.history()) saved = saved && history->commit();
    }
    fold.folded = saved && journal.clear();
    return fold;
}

}  // namespace qm
