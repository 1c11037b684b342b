// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/datafolder.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "decode/decoder.h"
#include "platform/paths.h"

namespace qm {
namespace {

using Directory = std::unique_ptr<DIR, int (*)(DIR*)>;

Directory openDirectory(const std::string& path) {
    return Directory(::opendir(path.c_str()), ::closedir);
}

// The state files written atomically (platform/file.h) in the data folder and below it.
bool isStateFileName(std::string_view name) {
    static constexpr std::array<std::string_view, 15> Names = {
        "MSGLIST",    "server.lst", "Groups",       "Groups.sub", "Groups.fet",
        "Groups.vis", "data.lst",   "Last",         "Counts",     "_imgidx.html",
        "_cnt.html",  "_view.html", "tempdesc.txt", "parts",      "gallery.html"};
    for (std::string_view known : Names)
        if (name == known) return true;
    return name.starts_with("idx") && name.ends_with(".html");  // the day framesets
}

// ".<file>.XXXXXX", the temporary name an atomic write gives the new content of file: file;
// nothing for any other name.
std::optional<std::string_view> temporaryOf(std::string_view name) {
    constexpr std::size_t Suffix = 7;  // ".XXXXXX"
    if (name.size() < 2 + Suffix || name.front() != '.' || name[name.size() - Suffix] != '.')
        return std::nullopt;
    for (char c : name.substr(name.size() - Suffix + 1))
        if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
    return name.substr(1, name.size() - 1 - Suffix);
}

// ".gallery-<process>": the first gallery page, written whole before it is linked into place.
bool isGalleryDraft(std::string_view name) {
    constexpr std::string_view Prefix = ".gallery-";
    if (!name.starts_with(Prefix) || name.size() == Prefix.size()) return false;
    return std::all_of(name.begin() + Prefix.size(), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

bool isStateTemporary(std::string_view name) {
    if (isGalleryDraft(name)) return true;
    const std::optional<std::string_view> file = temporaryOf(name);
    return file && (isStateFileName(*file) || isGalleryDraft(*file));
}

// A thumbnail's temporary: the folder holds nothing but thumbnails.
bool isThumbnailTemporary(std::string_view name) {
    const std::optional<std::string_view> file = temporaryOf(name);
    return file && file->ends_with(".jpg");
}

// Removes the temporaries directly in path (as temporary tells them); calls subfolder for each
// folder in it.
template <typename Subfolder, typename Temporary = bool (*)(std::string_view)>
int sweep(const std::string& path, Subfolder subfolder, Temporary temporary = isStateTemporary) {
    Directory dir = openDirectory(path);
    if (!dir) return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        // Relative to the open folder: a name read from it can never point elsewhere.
        if (temporary(name)) {
            if (::unlinkat(::dirfd(dir.get()), entry->d_name, 0) == 0) ++removed;
        } else if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
            removed += subfolder(joinPath(path, name), name);
        }
    }
    return removed;
}

int sweepGroupFolder(const std::string& path) {
    return sweep(path, [](const std::string& folder, std::string_view name) {
        // Thumbnails cut short by a kill; only swept before a run, when no worker writes.
        if (name == "thumbs")
            return sweep(
                folder, [](auto&&...) { return 0; }, isThumbnailTemporary);
        if (name != "news.dat") return 0;
        return removeAbandonedOutputs(folder);
    });
}

}  // namespace

LockFile::Status DataFolder::claim(const std::string& directory, LockFile& lock) {
    return lock.acquire(joinPath(directory, DataFolderLockName));
}

std::string DataFolder::inUseMessage(const std::string& directory, const LockFile& lock) {
    std::string text = "The data folder " + directory + " is in use by ";
    text += lock.holder() > 0 ? "process " + std::to_string(lock.holder()) : "another process";
    return text + " (qmere or qmere-cli); only one program may work in it at a time";
}

std::string DataFolder::lockFailedMessage(const std::string& directory, const LockFile& lock) {
    // Two programs that each work unlocked fetch everything twice and overwrite each other's
    // lists: refusing is the only safe answer.
    return "Cannot lock the data folder " + directory + " (" + lock.path() + ": " +
           std::strerror(lock.error()) +
           "); only one program may work in it at a time, so none works in it without its lock";
}

std::string DataFolder::refusal(const std::string& directory, LockFile::Status status,
                                const LockFile& lock) {
    switch (status) {
        case LockFile::Status::Held:
            return {};
        case LockFile::Status::InUse:
            return inUseMessage(directory, lock);
        case LockFile::Status::Failed:
            break;
    }
    return lockFailedMessage(directory, lock);
}

DataFolder::DataFolder(AppSettings& settings)
    : m_settings(settings),
      m_history([&settings](std::string_view line) { settings.frontend().appendLog(line); }) {
    // The history takes the ids whose records a grouped sync has put on disk.
    m_journal.setSyncHooks([this] { return m_history.mark(); },
                           [this](std::uint64_t mark) { (void)m_history.commitUpTo(mark); });
}

DataFolder::~DataFolder() {
    m_journal.close();  // its syncer commits into the history
    m_settings.messageIds.attachHistory(nullptr);
}

DataFolder::Recovery DataFolder::start(LockFile lock) {
    stop();
    m_lock = std::move(lock);
    m_started = true;
    Recovery recovery;
    MessageIdIndex& ids = m_settings.messageIds;
    if (m_history.open(m_settings.dataDirectory)) {
        ids.attachHistory(&m_history);
        // What an earlier version, or a folder without a history yet, recorded there.
        (void)m_history.insert(ids.ids());
    }
    // Opened before the fold: the fold empties it, and the commits append to it.
    if (!m_journal.open(m_settings.dataDirectory)) recovery.journalError = m_journal.openError();
    recovery.fold = foldJournal(m_settings, m_journal);
    if (m_journal.cutAtOpen() > 0) recovery.fold.damaged = true;
    recovery.leftovers = removeLeftovers(m_settings.dataDirectory);
    return recovery;
}

std::string DataFolder::reopenJournal() {
    if (!m_started) return {};
    if (m_journal.isOpen()) return {};
    // A journal that could not be opened was not folded either: its records are replayed now.
    if (!m_journal.open(m_settings.dataDirectory)) return m_journal.openError();
    (void)foldJournal(m_settings, m_journal);
    return {};
}

bool DataFolder::fold() {
    if (!m_started) return true;
    return foldJournal(m_settings, m_journal).folded;
}

void DataFolder::stop() {
    if (!m_started) return;
    (void)fold();
    m_journal.close();
    m_settings.messageIds.attachHistory(nullptr);
    m_history.close();
    m_lock.release();
    m_started = false;
}

int removeLeftovers(const std::string& dataDirectory) {
    return sweep(dataDirectory, [](const std::string& folder, std::string_view name) {
        if (name == "tmp") {
            // The pending description's temporaries and working copies, and the part lists of
            // the collections.
            return removeAbandonedOutputs(folder) +
                   sweep(folder, [](const std::string& collection, std::string_view) {
                       return sweep(collection, [](auto&&...) { return 0; });
                   });
        }
        if (name == "news.dat") return removeAbandonedOutputs(folder);  // manual decoding
        return sweepGroupFolder(folder);
    });
}

}  // namespace qm
