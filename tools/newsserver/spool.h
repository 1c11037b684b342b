// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The article store of the fixture news server: a folder per group below the spool folder,
// a file per article named by its number. Articles are header lines, an empty line and the
// body, with "\n" line ends ("\r\n" is accepted too).
//
// Every call looks at the files as they are now, so tests may add articles while the server
// runs. Articles read are kept, ready to send, in a bounded cache checked against the file's
// identity, size and times on every read, so that NEXT, HEAD and BODY of one article read and
// prepare it once. A group's article numbers are kept likewise, checked against the group
// folder's stamp, since every GROUP asks for them; and so is a group's overview, built from
// every article file of the group at its first OVER or HDR. Articles are added and removed by
// renaming files, which changes the folder's stamp. Safe to use from any number of threads.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "newsserver/overview.h"

namespace qm::newsd {

// An article as it goes on the wire: each part is its lines dot-stuffed and ended by "\r\n",
// without the empty line between header and body or the final ".".
struct SpoolArticle {
    std::string header;
    std::string body;
    std::string messageId;  // from its Message-ID header, or made up from group and number
};

class Spool {
  public:
    // Enough for a spool of a few thousand articles of the usual size, such as the retrieval
    // benchmark's (about 125 MB): walks after the first are served from memory, as a disk
    // decode reads from the page cache. Memory is only taken for articles really read.
    static constexpr std::size_t DefaultCacheBytes = 256u << 20;

    explicit Spool(std::string root, std::size_t cacheBytes = DefaultCacheBytes)
        : m_root(std::move(root)), m_cacheLimit(cacheBytes) {}
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Letters, digits and ".+-_", not starting with "."; nothing that could leave the spool.
    static bool isValidGroupName(std::string_view name);

    // The article numbers of a group, ascending; nothing when the group does not exist.
    std::optional<std::vector<std::uint64_t>> scanGroup(std::string_view group) const;
    // Every group, in name order.
    std::vector<std::string> groupNames() const;
    // Null when the article does not exist or cannot be read.
    std::shared_ptr<const SpoolArticle> readArticle(std::string_view group,
                                                    std::uint64_t number) const;

    // The overview of a group; null when the group does not exist. Builds are one at a time,
    // so that sessions asking together share the first one.
    std::shared_ptr<const GroupOverview> overview(std::string_view group) const;
    // The text of one article file as stored; nothing when it cannot be read.
    std::optional<std::string> readArticleText(std::string_view group, std::uint64_t number) const;

    struct Location {
        std::string group;
        std::uint64_t number = 0;
    };
    // Looks for an article by message-id, first in preferredGroup, then everywhere.
    std::optional<Location> findMessageId(std::string_view messageId,
                                          std::string_view preferredGroup) const;

  private:
    // What tells one version of a file from another.
    struct FileStamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
        bool operator==(const FileStamp& other) const;
    };
    struct CacheEntry {
        std::string path;
        FileStamp stamp;
        std::shared_ptr<const SpoolArticle> article;
        std::size_t bytes = 0;
    };
    using CacheList = std::list<CacheEntry>;  // most recently used first
    struct GroupScan {
        FileStamp stamp;
        std::vector<std::uint64_t> numbers;
    };
    struct OverviewScan {
        FileStamp stamp;
        std::shared_ptr<const GroupOverview> overview;
    };

    static FileStamp stampOf(const struct stat& status);
    // The group folder and its stamp; nothing when it is not a folder of a valid group name.
    std::optional<std::pair<std::string, FileStamp>> groupFolder(std::string_view group) const;
    std::shared_ptr<const GroupOverview> buildOverview(std::string_view group) const;
    std::optional<Location> findInGroup(std::string_view messageId, std::string_view group) const;
    std::shared_ptr<const SpoolArticle> cached(const std::string& path,
                                               const FileStamp& stamp) const;
    void remember(const std::string& path, const FileStamp& stamp,
                  std::shared_ptr<const SpoolArticle> article) const;
    void forget(const std::string& path) const;

    std::string m_root;
    std::size_t m_cacheLimit;  // bytes; a single article above a quarter of it is not kept
    mutable std::mutex m_cacheMutex;
    mutable CacheList m_cache;                                             // guarded
    mutable std::unordered_map<std::string, CacheList::iterator> m_index;  // guarded
    mutable std::size_t m_cachedBytes = 0;                                 // guarded
    mutable std::unordered_map<std::string, GroupScan> m_scans;            // guarded
    mutable std::unordered_map<std::string, OverviewScan> m_overviews;     // guarded
    // Held while an overview is built; taken before m_cacheMutex, never while holding it.
    mutable std::mutex m_overviewBuild;
};

// Splits article text into header and body, prepared for sending, and finds its message-id.
SpoolArticle prepareArticle(std::string_view text, std::string_view fallbackId);

// Writes DIR/group/number from header lines (with or without a final "\n") and a body; the
// file appears complete or not at all. Throws std::runtime_error when it cannot be written.
void writeSpoolArticle(const std::string& spoolDir, std::string_view group, std::uint64_t number,
                       std::string_view headers, std::string_view body);

}  // namespace qm::newsd
