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
// A process kill, not a power cut: records are not synced to disk one by one.
//
// One per data folder, owned by the session that holds the folder's lock. append runs from
// the decoder's commit with DecodeLock held; foldJournal with DecodeLock held and no reader
// running.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/picturerecord.h"
#include "decode/decoder.h"
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
// The whole records at the front of text, in order; stops at the first cut short or damaged
// (damaged says so, with its offset in used).
struct ParsedJournal {
    std::vector<JournalRecord> records;
    std::size_t used = 0;  // bytes of the whole records
    bool damaged = false;  // something follows them that is not a whole record
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
    // Opens dataDirectory's journal for appending, creating it. False (errno) on failure.
    bool open(const std::string& dataDirectory);
    void close();
    bool isOpen() const { return static_cast<bool>(m_fd); }
    // The journal's path in the data directory, also while closed (empty before open).
    const std::string& path() const { return m_path; }
    const std::string& dataDirectory() const { return m_dataDirectory; }

    // Appends one record with one write. False (errno) when it could not be written whole;
    // what was written of it is cut off again, so the records before stay readable.
    bool append(const JournalRecord& record);
    // Empties the journal. False (errno) on failure.
    bool clear();

  private:
    UniqueFd m_fd;
    std::string m_path;
    std::string m_dataDirectory;
};

// What foldJournal found and did.
struct JournalFold {
    int records = 0;       // whole records replayed
    int renamed = 0;       // files that still had their hidden names
    int catalogued = 0;    // files added to their group's picture list
    bool damaged = false;  // a record cut short (a kill while appending) or damaged was dropped
    bool folded = false;   // "MSGLIST" and the picture lists were written and the journal emptied
};

// Replays the journal at path into the data folder of settings: each record's message-id
// goes into the index when it is not there, its files still under their hidden names get
// their names, its used-up part files go, and each of its group files that exists but is
// missing from its group's picture list is added. Then "MSGLIST" and the picture lists
// touched are written and the journal is emptied (kept when a write failed: replaying it
// again does no harm). Nothing is done for a journal of another folder than the settings'
// data directory. Caller holds the data folder's lock and DecodeLock; no reader runs.
// Paths of the journal are checked: nothing outside a "news.dat" or "tmp" folder of the
// data directory is ever renamed or removed.
JournalFold foldJournal(AppSettings& settings, ArticleJournal& journal);

}  // namespace qm
