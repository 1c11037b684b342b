// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The data folder a session works in, held for it alone: its lock file ".qmere.lock" (which
// names the holding process), its article journal "MSGLIST.log" (catalog/articlejournal.h),
// replayed and folded when work starts, folded again at every normal end, and its message-id
// history "history.db" (catalog/messagehistory.h), attached to the settings' index while the
// folder is held and filled from "MSGLIST" and the journal when work starts. A second program
// on the same folder is refused; a lock left by a killed program is the kernel's and is free
// again, so it is simply taken over, and what the killed program left is recovered then.
//
// One per session, owned by it; called on the session's thread. start, fold and stop run
// with DecodeLock held while no reader runs (the decoder appends to the journal under it).
#include <string>
#include <string_view>

#include "catalog/articlejournal.h"
#include "catalog/messagehistory.h"
#include "decode/outputnames.h"
#include "platform/lockfile.h"

namespace qm {

class AppSettings;

inline constexpr char DataFolderLockName[] = ".qmere.lock";
static_assert(std::string_view(DataFolderLockName).starts_with(ProgramNamePrefix),
              "a decoded file could be named as the lock");

class DataFolder {
  public:
    explicit DataFolder(AppSettings& settings);
    ~DataFolder();
    DataFolder(const DataFolder&) = delete;
    DataFolder& operator=(const DataFolder&) = delete;

    // Tries to lock directory for this process (without waiting).
    static LockFile::Status claim(const std::string& directory, LockFile& lock);
    // What the user is told when claim found directory in use by lock's holder.
    static std::string inUseMessage(const std::string& directory, const LockFile& lock);
    // What the user is told when claim could not lock directory at all (a folder in the lock
    // file's place, a file system without locks): no program works there unlocked.
    static std::string lockFailedMessage(const std::string& directory, const LockFile& lock);
    // The one of the two messages that status calls for; empty when the lock is held.
    static std::string refusal(const std::string& directory, LockFile::Status status,
                               const LockFile& lock);

    struct Recovery {
        JournalFold fold;   // what the journal of a killed run held
        int leftovers = 0;  // unfinished files and temporary state files removed
        // Why the journal cannot be opened; empty when it is open. Nothing can be committed
        // then: no run may start.
        std::string journalError;
    };
    // Starts work in the settings' data directory, holding lock: opens the history and fills it
    // from "MSGLIST", replays and folds the journal a killed run left, removes the files it
    // left unfinished, and keeps the journal open for the commits. The settings are loaded.
    Recovery start(LockFile lock);
    // Folds the journal into "MSGLIST" and the picture lists (a normal end); true when it is
    // empty now.
    bool fold();
    // Folds, then closes the journal and the history and releases the lock.
    void stop();
    // Opens the journal again when it is not open (the user may have mended what kept it
    // shut); the reason when it still cannot be, else empty.
    std::string reopenJournal();

    bool started() const { return m_started; }
    ArticleJournal& journal() { return m_journal; }
    MessageHistory& history() { return m_history; }

  private:
    AppSettings& m_settings;
    LockFile m_lock;
    MessageHistory m_history;  // outlives the journal, whose syncer commits into it
    ArticleJournal m_journal;
    bool m_started = false;
};

// Removes what killed processes left unfinished in dataDirectory: the decoder's hidden files
// in every "news.dat", and the temporary files of the atomic writes of its state files
// ("MSGLIST", "server.lst", the group lists, "data.lst", "Last", the pages, the pending
// description, the yEnc part lists). The number removed. Caller holds the folder's lock and
// DecodeLock, after the journal was replayed (it may name hidden files still to be named).
int removeLeftovers(const std::string& dataDirectory);

}  // namespace qm
