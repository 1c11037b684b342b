// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "newsserver/descriptor.h"

namespace qm::newsd {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxArticleBytes = 256u << 20;
constexpr std::size_t MessageIdField = 3;  // in GroupOverview::Format

std::optional<std::uint64_t> articleNumber(std::string_view name) {
    std::uint64_t n = 0;
    if (name.empty() || name.size() > 20 || name[0] == '+') return std::nullopt;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
    if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
    return n;
}

// The file's content, read through the descriptor whose stamp was taken; nothing when it is
// not a regular file or too large.
std::optional<std::string> readOpenFile(int fd, const struct stat& status) {
    if (!S_ISREG(status.st_mode) || static_cast<std::uintmax_t>(status.st_size) > MaxArticleBytes)
        return std::nullopt;
    // One byte more than its size, so that the read that finds the end needs no growing.
    std::string content(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        // The file may have grown since fstat: read on until the end, within the limit.
        if (filled == content.size()) {
            if (content.size() > MaxArticleBytes) return std::nullopt;
            content.resize(std::min<std::size_t>(content.size() + 64 * 1024, MaxArticleBytes + 1));
        }
        ssize_t n = ::read(fd, content.data() + filled, content.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (filled > MaxArticleBytes) return std::nullopt;
    content.resize(filled);
    return content;
}

struct FolderCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

enum class EntryKind { File, Folder };

// Calls visit with the name of every regular file (or folder) in folder, links followed; false
// when the folder cannot be read. Group scans run on every GROUP, so they take the entry type
// from the listing and look a file up only when the file system does not say.
template <typename Visit>
bool forEachEntry(const std::string& folder, EntryKind kind, Visit visit) {
    std::unique_ptr<DIR, FolderCloser> dir(::opendir(folder.c_str()));
    if (!dir) return false;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat status {};
            if (::fstatat(::dirfd(dir.get()), entry->d_name, &status, 0) != 0) continue;
            type = S_ISREG(status.st_mode) ? DT_REG : S_ISDIR(status.st_mode) ? DT_DIR : DT_UNKNOWN;
        }
        if (type == (kind == EntryKind::File ? DT_REG : DT_DIR)) visit(name);
    }
    return true;
}

bool later(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Whether any change after readStart, when reading began, will show in the file's stamp. File
// times come from a clock that lags by a tick (or are whole seconds on some file systems): a
// change within that step after the last one could leave size and times as they were, so a
// file changed too shortly before it was read is not cached.
bool stampSettled(const timespec& modified, const timespec& changed, const timespec& readStart) {
    const timespec& last = later(modified, changed) ? modified : changed;
    const bool wholeSeconds = modified.tv_nsec == 0 && changed.tv_nsec == 0;
    const long marginMs = wholeSeconds ? 2000 : 100;
    timespec settled = last;
    settled.tv_sec += marginMs / 1000;
    settled.tv_nsec += (marginMs % 1000) * 1000000L;
    if (settled.tv_nsec >= 1000000000L) {
        settled.tv_sec += 1;
        settled.tv_nsec -= 1000000000L;
    }
    return later(readStart, settled);
}

bool startsWithNoCase(std::string_view line, std::string_view prefix) {
    if (line.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
    return true;
}

std::string trim(std::string_view s) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

std::string fallbackMessageId(std::string_view group, std::uint64_t number) {
    return "<" + std::to_string(number) + "." + std::string(group) + "@qmere-newsd>";
}

}  // namespace

bool Spool::isValidGroupName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name[0] == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '-' ||
               c == '_';
    });
}

std::optional<std::pair<std::string, Spool::FileStamp>> Spool::groupFolder(
    std::string_view group) const {
    if (!isValidGroupName(group)) return std::nullopt;
    std::string folder = m_root;
    folder.append("/").append(group);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
    return std::pair{std::move(folder), stampOf(status)};
}

std::optional<std::vector<std::uint64_t>> Spool::scanGroup(std::string_view group) const {
    auto found = groupFolder(group);
    if (!found) return std::nullopt;
    const auto& [folder, stamp] = *found;
    {
        std::lock_guard lock(m_cacheMutex);
        auto cached = m_scans.find(folder);
        if (cached != m_scans.end() && cached->second.stamp == stamp) return cached->second.numbers;
    }
    timespec readStart{};
    clock_gettime(CLOCK_REALTIME, &readStart);
    std::vector<std::uint64_t> numbers;
    const bool read = forEachEntry(folder, EntryKind::File, [&](std::string_view name) {
        if (auto n = articleNumber(name)) numbers.push_back(*n);
    });
    if (!read) return std::nullopt;
    std::sort(numbers.begin(), numbers.end());
    // Adding or removing an article changes the folder's stamp, unless the change came
    // too shortly after the previous one for the clock to tell.
    if (stampSettled(stamp.modified, stamp.changed, readStart)) {
        std::lock_guard lock(m_cacheMutex);
        m_scans[folder] = GroupScan{stamp, numbers};
    }
    return numbers;
}

std::shared_ptr<const GroupOverview> Spool::overview(std::string_view group) const {
    auto found = groupFolder(group);
    if (!found) return nullptr;
    auto cachedOverview = [&]() -> std::shared_ptr<const GroupOverview> {
        std::lock_guard lock(m_cacheMutex);
        auto it = m_overviews.find(found->first);
        return it != m_overviews.end() && it->second.stamp == found->second ? it->second.overview
                                                                            : nullptr;
    };
    if (auto overview = cachedOverview()) return overview;
    std::lock_guard build(m_overviewBuild);
    // Another session may have built it while this one waited.
    if (auto overview = cachedOverview()) return overview;
    return buildOverview(group);
}

std::shared_ptr<const GroupOverview> Spool::buildOverview(std::string_view group) const {
    auto found = groupFolder(group);
    if (!found) return nullptr;
    const auto& [folder, stamp] = *found;
    timespec readStart{};
    clock_gettime(CLOCK_REALTIME, &readStart);
    auto numbers = scanGroup(group);
    if (!numbers) return nullptr;
    auto overview = std::make_shared<GroupOverview>();
    for (std::uint64_t number : *numbers) {
        // An article removed meanwhile is left out, as OVER leaves out missing numbers.
        if (auto text = readArticleText(group, number))
            overview->add(number, overviewFields(*text, fallbackMessageId(group, number)));
    }
    if (stampSettled(stamp.modified, stamp.changed, readStart)) {
        std::lock_guard lock(m_cacheMutex);
        m_overviews[folder] = OverviewScan{stamp, overview};
    }
    return overview;
}

std::optional<std::string> Spool::readArticleText(std::string_view group,
                                                  std::uint64_t number) const {
    if (!isValidGroupName(group)) return std::nullopt;
    std::string path = m_root;
    path.append("/").append(group).append("/").append(std::to_string(number));
    // Non-blocking, so that a fifo put in place of the file cannot hold the session.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0) return std::nullopt;
    return readOpenFile(fd.get(), status);
}

std::vector<std::string> Spool::groupNames() const {
    std::vector<std::string> names;
    forEachEntry(m_root, EntryKind::Folder, [&](std::string_view name) {
        if (isValidGroupName(name)) names.emplace_back(name);
    });
    std::sort(names.begin(), names.end());
    return names;
}

std::shared_ptr<const SpoolArticle> Spool::readArticle(std::string_view group,
                                                       std::uint64_t number) const {
    if (!isValidGroupName(group)) return nullptr;
    std::string path = m_root;
    path.append("/").append(group).append("/").append(std::to_string(number));
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        forget(path);
        return nullptr;
    }
    if (auto article = cached(path, stampOf(status))) return article;

    timespec readStart{};
    clock_gettime(CLOCK_REALTIME, &readStart);
    // Non-blocking, so that a fifo put in place of the file cannot hold the session.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd || ::fstat(fd.get(), &status) != 0) return nullptr;
    auto text = readOpenFile(fd.get(), status);
    if (!text) return nullptr;
    auto article = std::make_shared<const SpoolArticle>(
        prepareArticle(*text, fallbackMessageId(group, number)));
    if (stampSettled(status.st_mtim, status.st_ctim, readStart))
        remember(path, stampOf(status), article);
    return article;
}

bool Spool::FileStamp::operator==(const FileStamp& other) const {
    auto same = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return device == other.device && inode == other.inode && size == other.size &&
           same(modified, other.modified) && same(changed, other.changed);
}

Spool::FileStamp Spool::stampOf(const struct stat& status) {
    return FileStamp{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

std::shared_ptr<const SpoolArticle> Spool::cached(const std::string& path,
                                                  const FileStamp& stamp) const {
    std::lock_guard lock(m_cacheMutex);
    auto found = m_index.find(path);
    if (found == m_index.end()) return nullptr;
    CacheList::iterator entry = found->second;
    if (!(entry->stamp == stamp)) {
        // Replaced or changed since it was read.
        m_cachedBytes -= entry->bytes;
        m_cache.erase(entry);
        m_index.erase(found);
        return nullptr;
    }
    m_cache.splice(m_cache.begin(), m_cache, entry);
    return entry->article;
}

void Spool::remember(const std::string& path, const FileStamp& stamp,
                     std::shared_ptr<const SpoolArticle> article) const {
    const std::size_t bytes =
        article->header.size() + article->body.size() + article->messageId.size() + path.size();
    if (bytes > m_cacheLimit / 4) return;
    std::lock_guard lock(m_cacheMutex);
    if (auto found = m_index.find(path); found != m_index.end()) {
        m_cachedBytes -= found->second->bytes;
        m_cache.erase(found->second);
        m_index.erase(found);
    }
    m_cache.push_front(CacheEntry{path, stamp, std::move(article), bytes});
    m_index.emplace(path, m_cache.begin());
    m_cachedBytes += bytes;
    while (m_cachedBytes > m_cacheLimit) {
        const CacheEntry& oldest = m_cache.back();
        m_cachedBytes -= oldest.bytes;
        m_index.erase(oldest.path);
        m_cache.pop_back();
    }
}

void Spool::forget(const std::string& path) const {
    std::lock_guard lock(m_cacheMutex);
    auto found = m_index.find(path);
    if (found == m_index.end()) return;
    m_cachedBytes -= found->second->bytes;
    m_cache.erase(found->second);
    m_index.erase(found);
}

std::optional<Spool::Location> Spool::findMessageId(std::string_view messageId,
                                                    std::string_view preferredGroup) const {
    if (auto found = findInGroup(messageId, preferredGroup)) return found;
    for (const std::string& group : groupNames()) {
        if (group == preferredGroup) continue;
        if (auto found = findInGroup(messageId, group)) return found;
    }
    return std::nullopt;
}

std::optional<Spool::Location> Spool::findInGroup(std::string_view messageId,
                                                  std::string_view group) const {
    // The overview holds every article's message-id (made up where the header has none, as
    // readArticle makes it up), so a large group is searched without reading its articles.
    auto index = overview(group);
    if (!index) return std::nullopt;
    for (std::uint64_t i = 0; i < index->size(); ++i) {
        const auto& entry = index->entry(i);
        if (GroupOverview::field(index->fields(entry), MessageIdField) == messageId)
            return Location{std::string(group), entry.number};
    }
    return std::nullopt;
}

namespace {

// The next line of text without its line end; text moves past it.
std::string_view takeLine(std::string_view& text) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// Appends every line of text to out, dot-stuffed and ended by "\r\n".
void appendWireLines(std::string_view text, std::string& out) {
    while (!text.empty()) {
        std::string_view line = takeLine(text);
        if (!line.empty() && line.front() == '.') out.push_back('.');
        out.append(line);
        out.append("\r\n");
    }
}

}  // namespace

SpoolArticle prepareArticle(std::string_view text, std::string_view fallbackId) {
    SpoolArticle article;
    while (!text.empty()) {
        std::string_view line = takeLine(text);
        if (line.empty()) break;  // the end of the header
        if (article.messageId.empty() && startsWithNoCase(line, "message-id:"))
            article.messageId = trim(line.substr(11));
        if (line.front() == '.') article.header.push_back('.');
        article.header.append(line);
        article.header.append("\r\n");
    }
    // Room for "\r" after every line of the usual length, so the body is rarely grown.
    article.body.reserve(text.size() + text.size() / 32 + 64);
    appendWireLines(text, article.body);
    if (article.messageId.empty()) article.messageId = fallbackId;
    return article;
}

void writeSpoolArticle(const std::string& spoolDir, std::string_view group, std::uint64_t number,
                       std::string_view headers, std::string_view body) {
    if (!Spool::isValidGroupName(group))
        throw std::runtime_error("invalid group name: " + std::string(group));
    fs::path dir = fs::path(spoolDir) / group;
    fs::create_directories(dir);
    fs::path final = dir / std::to_string(number);
    fs::path temp = dir / ("." + std::to_string(number) + ".tmp");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << headers;
        if (!headers.empty() && headers.back() != '\n') out << '\n';
        out << '\n' << body;
        out.close();
        if (!out) throw std::runtime_error("cannot write " + temp.native());
    }
    // Renamed into place so that a running server never serves half an article.
    fs::rename(temp, final);
}

}  // namespace qm::newsd
