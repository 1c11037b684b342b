// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The article journal, "MSGLIST.log" in the data directory: one record per committed article,
// appended with one write before any of the commit is done (its files named, the part
// collections cleared, the catalogue told). A record holds the article's message-id, group
// and number, the files it produced (hidden name, final name, and for a group's file its
// picture-list record), the part and set files it used up and the pending description it
// left. It is the commit point: an
// article with a record is never decoded again, one without is fetched and decoded again
// (its hidden files are removed at the next start), so a kill never catalogues a picture
// twice and never loses one. "MSGLIST" and "data.lst" keep their formats; the journal is
// folded into them (foldJournal) at the next start and at every normal end, and emptied.
//
// Records are self-checking (a length and a CRC-32 each): the replay skips a damaged record
// and goes on with the next whole one, and a record cut short at the end (a kill while it was
// written) is cut off when the journal is opened, before anything is appended behind it.
//
// Power cuts: the records are not synced one by one but in groups. At most SyncInterval after
// a record was appended, a thread of the journal syncs the data folder's file system (the
// decoded files the records name with it) and then tells the history which ids are durable
// now; a fold syncs before it empties the journal. So a power cut costs at most about the
// last second of records, whose articles are fetched again.
//
// One per data folder, owned by the session that holds the folder's lock. append runs from
// the decoder's commit with DecodeLock held; foldJournal with DecodeLock held and no reader
// running.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "decode/decoder.h"
#include "model/picturerecord.h"
#include "platform/file.h"

namespace qm {

class AppSettings;

inline constexpr char ArticleJournalName[] = "MSGLIST.log";

// One committed article. Paths are relative to the data directory.
struct JournalRecord {
    struct File {
        std::string temporaryPath;  // the hidden name it was written under
        std::string path;           // the name it gets
        // The group file's catalogue record; none for a description or manual decoding.
        std::optional<PictureRecord> picture;

        bool operator==(const File&) const = default;
    };
    std::string messageId;  // empty for manual decoding
    std::string group;      // empty for manual decoding
    std::int64_t number = -1;
    std::vector<File> files;
    std::vector<std::string> removedFiles;
    std::vector<std::string> removedDirectories;
    // What the article left as the pending description: '+' its working copy
    // (descriptionWork) becomes "tmp/tempdesc.txt", '-' that goes, 0 unchanged. Only the
    // last record that says either counts.
    char description = 0;
    std::string descriptionWork;

    bool operator==(const JournalRecord&) const = default;
};

// The bytes of one record: a line "J <length> <crc32>" and the body it measures, so that a
// record cut short or damaged is known as such.
std::string formatJournalRecord(const JournalRecord& record);
// The whole records of text, in order. A damaged stretch is stepped over to the next line that
// starts a whole record; a stretch at the end that none follows is the tail.
struct ParsedJournal {
    std::vector<JournalRecord> records;
    std::size_t used = 0;  // bytes up to the end of the last whole record
    int skipped = 0;       // damaged records stepped over before a whole one
    bool torn = false;     // the end is not a whole record (cut short, or damaged)
    bool damaged = false;  // skipped or torn
};
ParsedJournal parseJournal(std::string_view text);

// The record of an article decoded for inputs into outputs, paths made relative to
// dataDirectory (a path outside it is left out: it could not be replayed safely); nothing
// when there is nothing to record (no message-id and no file, nothing used up).
std::optional<JournalRecord> journalRecord(const DecodeInputs& inputs,
                                           const ArticleOutputs& outputs,
                                           const std::string& dataDirectory);

class ArticleJournal {
  public:
    // A grouped sync follows the first record after the last one by at most this much.
    static constexpr std::chrono::milliseconds SyncInterval{1000};

    ArticleJournal() = default;
    ~ArticleJournal() { close(); }
    ArticleJournal(const ArticleJournal&) = delete;
    ArticleJournal& operator=(const ArticleJournal&) = delete;

    // Opens dataDirectory's journal for appending, creating it, and cuts off a record cut
    // short at its end. False (errno) on failure, and then nothing can be committed.
    bool open(const std::string& dataDirectory);
    // Stops the syncer (without a last sync: the fold does that) and closes the file.
    void close();
    bool isOpen() const { return static_cast<bool>(m_fd); }
    // Why the last open failed ("<path>: <reason>"); empty when it did not.
    const std::string& openError() const { return m_openError; }
    // Bytes of a torn last record the last open cut off.
    std::size_t cutAtOpen() const { return m_cutAtOpen; }

    // Run around each grouped sync on the syncer's thread: before() gives a mark, after(mark)
    // follows once every record appended before the mark was taken is on disk. Set while no
    // record is appended.
    void setSyncHooks(std::function<std::uint64_t()> before,
                      std::function<void(std::uint64_t)> after);
    // Syncs the data folder's file system now (records, the files they name, the state files
    // written since); false (errno) on failure.
    bool sync();
    // The journal's path in the data directory, also while closed (empty before open).
    const std::string& path() const { return m_path; }
    const std::string& dataDirectory() const { return m_dataDirectory; }

    // Appends one record with one write. False (errno) when it could not be written whole;
    // what was written of it is cut off again, so the records before stay readable.
    bool append(const JournalRecord& record);
    // Empties the journal. False (errno) on failure.
    bool clear();

  private:
    void startSyncer();
    void syncLoop();

    UniqueFd m_fd;
    std::string m_path;
    std::string m_dataDirectory;
    std::string m_openError;
    std::size_t m_cutAtOpen = 0;
    std::function<std::uint64_t()> m_beforeSync;
    std::function<void(std::uint64_t)> m_afterSync;
    std::mutex m_syncMutex;  // what follows
    std::condition_variable m_syncWake;
    bool m_dirty = false;  // records appended since the last grouped sync began
    bool m_stopping = false;
    std::thread m_syncer;  // started with the first record
};

// What foldJournal found and did.
struct JournalFold {
    int records = 0;       // whole records replayed
    int renamed = 0;       // files that still had their hidden names
    int catalogued = 0;    // files added to their group's picture list
    int skipped = 0;       // damaged records stepped over
    bool damaged = false;  // a record cut short (a kill while appending) or damaged was dropped
    bool folded = false;   // "MSGLIST" and the picture lists were written and the journal emptied
};

// Replays the journal at path into the data folder of settings: each record's message-id
// goes into the index when it is not there, its files still under their hidden names get
// their names, its used-up part files go, and each of its group files that exists but is
// missing from its group's picture list is added. Then "MSGLIST" and the picture lists
// touched are written, all of it is synced to disk with the history's waiting ids, and the
// journal is emptied (kept when a write failed: replaying it
// again does no harm). Nothing is done for a journal of another folder than the settings'
// data directory. Caller holds the data folder's lock and DecodeLock; no reader runs.
// Paths of the journal are checked: nothing outside a "news.dat" or "tmp" folder of the
// data directory is ever renamed or removed.
JournalFold foldJournal(AppSettings& settings, ArticleJournal& journal);

}  // namespace qm
