// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The thumbnail worker: a thread of its own that records every decoded picture in the
// picture database, makes its thumbnail and perceptual hash, completes its record and
// rewrites its group's gallery, so that retrieval never waits for any of it.
//
// Two sides:
//   - The producer side, reader threads right after a picture was decoded (they may hold
//     DecodeLock; nothing here takes a lock of the program's or waits for a thumbnail):
//     check() finds an earlier copy of the file. Only a picture of the very same size can be
//     one, so a file whose size no recorded or queued picture has is not even read; else
//     their first bytes, and then their SHA-256, decide. The decoder hands over the new
//     file's size and first bytes (FileStart), so that most checks read no file at all. submit()
//     queues the picture; it is known to check() from then on, before the worker has recorded it.
//     A copy found by a digest made earlier is confirmed by hashing the first file again: it
//     may have been changed since, and then the new file is no copy (the first's record is
//     brought up to date instead).
//     What check() needs is kept in memory (the sizes recorded before the worker started, and the
//     pictures submitted since), so that most checks ask the database nothing: a reader holds the
//     decode lock meanwhile.
//   - The worker thread (at a lower priority than the readers): first (recordListed) the
//     listed pictures a killed program never recorded, then records the queued pictures
//     (their digests made there), makes their thumbnails, completes their records (marking
//     near duplicates) and rewrites the galleries of the groups that changed, at most once
//     every galleryInterval and once more when it falls idle or stops.
//
// The queue is bounded. submit() never waits: when the queue is full (or the worker has
// stopped) the picture is recorded at once as pending, and the worker works through the
// pending pictures once its queue is empty (and at start, for pictures a killed program
// left pending). A stop records what is queued as pending first, so nothing is lost. Both
// record in haste, without the digest (UnknownDigest), which the worker makes when it comes
// to the picture; until then check() reads the file for it.
//
// Owned by the front end (or the command line); its destructor stops and joins the thread.
// The producer side uses a database connection of its own and only reads through it (in
// write-ahead-log mode a reader never waits for a writer), except in the rare cases above.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/filedigest.h"
#include "catalog/picturedatabase.h"
#include "catalog/thumbnailer.h"
#include "decode/filestart.h"
#include "platform/workerthread.h"

namespace qm {

struct PictureJob {
    std::string path;         // the decoded picture
    std::string group;        // its newsgroup
    std::string groupFolder;  // the group's folder, where "thumbs" and the gallery go
    std::string subject;      // of its article, as received
    std::string messageId;    // of its article
};

struct DuplicateCheck {
    std::int64_t size = -1;  // of the file; -1 when it cannot be read
    // Its SHA-256, when it was needed (a picture of the same size is known).
    std::optional<Sha256> sha256;
    // A hash of its first bytes, when the decoder handed them over or a picture of the same
    // size was known: kept for the checks of later pictures.
    std::optional<std::size_t> head;
    // The picture recorded (or queued) earlier with the same content whose file is still
    // there; the file itself when it was recorded before under its own path.
    std::optional<StoredPicture> first;

    bool readable() const { return size >= 0; }
};

struct ThumbnailWorkerOptions {
    // Pictures waiting, a few hundred bytes each (some 20 MB at most). Past it each new one is
    // recorded as pending at once: a database write on the reader's thread, under the decode
    // lock, which can wait for the worker's own writes. 4,096 let a fast run of 6,000
    // pictures lose half its rate there.
    std::size_t queueCapacity = 65536;
    // Pictures submitted kept in memory for check(), some 250 bytes each; past it the recorded
    // ones are looked up in the database again.
    std::size_t knownLimit = 65536;
    std::chrono::milliseconds galleryInterval{1000};
    // At its start the worker records, as pending, the pictures of the groups' picture lists
    // ("data.lst") that the database lacks: those a killed program had queued, or whose
    // article its journal catalogued at the next start. Found by name, no file is read (only
    // the missing ones are asked their size). A database made new is left to a rebuild
    // (qmere-cli gallery).
    bool recordListed = false;
    ThumbnailOptions thumbnails;
};

class ThumbnailWorker {
  public:
    using Log = std::function<void(std::string_view)>;

    // Starts the thread, which opens the database of dataDirectory first (the producer side
    // waits for that). log is called from any thread. With no database to be had, thumbnails
    // are still made; galleries are not.
    ThumbnailWorker(std::string dataDirectory, Log log, ThumbnailWorkerOptions options = {});
    ~ThumbnailWorker();
    ThumbnailWorker(const ThumbnailWorker&) = delete;
    ThumbnailWorker& operator=(const ThumbnailWorker&) = delete;

    // Producer side: the earlier picture of a decoded file's content (records of files gone
    // meanwhile are forgotten on the way).
    DuplicateCheck check(const std::string& path, const FileStart& start = {});
    // Producer side: queues the picture (its check() done) to be recorded and thumbnailed.
    void submit(PictureJob job, const DuplicateCheck& check);
    // The same for a picture whose digest is known.
    void submit(PictureJob job, const Sha256& sha256);

    // Waits until every queued and pending picture is done and the galleries are written;
    // false when timeout passed first.
    bool waitIdle(std::chrono::milliseconds timeout);
    // True when no picture is queued, under way or pending (galleries may be still due: stop()
    // writes them). Never waits.
    bool idle() const;
    // Abandons the thumbnail under way, writes the galleries of what was done, and joins the
    // thread; pictures not done stay pending in the database for the next start. Idempotent.
    void stop();

    struct Counters {
        int made = 0;        // thumbnails made
        int unreadable = 0;  // pictures that could not be read
        int deferred = 0;    // submitted while the queue was full: left to the pending list
                             // (without a database: no thumbnail)
    };
    Counters counters() const;
    // One log line for the files found to be no pictures since the last call (one file: its
    // own line, with the reason); nothing when there were none. stop() says the rest.
    void summarizeUnreadable();

  private:
    struct Job {
        PictureJob picture;
        std::int64_t id = 0;    // in the database; 0 when it is not (yet, or could not be)
        bool recorded = false;  // recording was tried
        std::int64_t size = 0;
        std::optional<Sha256> sha256;
        std::optional<std::size_t> head;
        std::int64_t sequence = 0;  // in submission order
    };
    // A picture submitted while the worker runs, as check() sees it.
    struct Known {
        std::int64_t size = 0;
        std::optional<Sha256> sha256;     // made by a check() that needed it
        std::optional<std::size_t> head;  // hash of its first bytes, once a check() read them
        std::string group;
        std::int64_t sequence = 0;
        bool recorded = false;  // in the database
    };

    void run();
    // The record of a queued picture; with digest, its digest made when still unknown, else
    // left to the worker (UnknownDigest).
    std::optional<StoredPicture> recordOf(const Job& job, bool digest);
    // Worker thread (or stop(), once it has ended): records the queued pictures not recorded
    // yet, the oldest first; all of them, or up to a batch.
    void recordQueued(bool all, bool digest);
    void enqueue(Job job);
    // Takes a picture off the known ones; m_mutex held.
    void forgetKnown(const std::string& relative);
    // Marks a known picture recorded and, past the limit, leaves the recorded ones to the
    // database; m_mutex held.
    void markRecorded(const std::string& relative);
    // Producer side, with no room (or no worker) for it: records a picture as pending at
    // once; false when it could not be.
    bool recordNow(Job job);
    struct Candidate {
        StoredPicture picture;
        bool digestKnown = false;  // a queued one's may not be made yet
        bool recorded = false;     // in the database
        bool known = false;        // one of m_known: its head is kept there
        std::optional<std::size_t> head;
        std::int64_t sequence = 0;  // a known one's, in submission order
    };
    // True when the candidate's file still has the digest it is on record with; else its
    // record (and its known entry) take the file's content as it is now, and false.
    bool stillHolds(const Candidate& candidate);
    // A known picture's file has changed: its size, digest and first bytes; m_mutex held.
    void updateKnown(const std::string& relative, std::int64_t size, const Sha256& sha256);
    // False when no picture of size bytes is recorded or known: no copy, nothing to read.
    bool maybeCopied(std::int64_t size);
    // The recorded and known pictures of size bytes, the first recorded first: the only
    // candidates for a copy of a file whose first bytes hash to head. Known ones whose first
    // bytes are known to differ are left out.
    std::vector<Candidate> sameSize(std::int64_t size, std::size_t head);
    bool isKnown(const std::string& relative) const;
    // The digest of a candidate's file; a known one's is kept (for the worker too).
    std::optional<Sha256> digestOf(const std::string& relative);
    // The hash of a candidate's first bytes; a known one's is kept.
    std::optional<std::size_t> headOf(const Candidate& candidate);
    void openDatabases();
    // Producer side: until the worker thread has opened the databases (at its start).
    void waitOpened();
    void process(Job job);
    // Pictures left pending (by a full queue, or a killed program); false when none.
    bool workThroughPending();
    // Worker thread, at its start: the listed pictures the database lacks, recorded pending.
    void recordListed();
    // The pictures of one group's picture list whose paths recorded does not hold.
    std::vector<StoredPicture> unrecorded(const std::string& group, const std::string& folder,
                                          const std::unordered_set<std::string>& recorded) const;
    void writeGalleries();
    // Worker thread (or stop(), once it has ended): the thumbnails' results kept so far go to
    // the database in one transaction, and their groups' galleries are due.
    void flushCompletions();
    std::string folderOf(const std::string& group, const StoredPicture& any) const;

    std::string m_dataDirectory;
    Log m_log;
    ThumbnailWorkerOptions m_options;
    std::atomic<bool> m_stop{false};  // read by the thumbnailer while it decodes
    Thumbnailer m_thumbnailer;
    PictureDatabase m_producerDb;  // check() and submit()
    PictureDatabase m_workerDb;    // the worker thread's

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;  // work queued, or stop
    std::condition_variable m_idle;  // the worker has nothing left to do
    std::condition_variable m_openedChanged;
    bool m_opened = false;                  // guarded by m_mutex
    std::atomic<bool> m_openedOnce{false};  // the same, read without the lock
    std::deque<Job> m_queue;                // guarded by m_mutex
    // The pictures submitted while the worker runs, by path relative to the data directory
    // (up to a limit past which the recorded ones are left to the database).
    std::unordered_map<std::string, Known> m_known;  // guarded by m_mutex
    // The same entries by size, the only thing a check() looks them up by: pointers into
    // m_known (whose elements stay put), so that a run of many pictures of one size costs
    // a check no look-up by path for each of them.
    std::unordered_multimap<std::int64_t, std::pair<const std::string, Known>*>
        m_knownBySize;             // guarded by m_mutex
    std::size_t m_unrecorded = 0;  // guarded by m_mutex: known ones not recorded yet
    // The sizes of the recorded pictures that are not known: only for these is the database
    // asked. Unset when they could not be read: then it is asked for every size.
    std::optional<std::unordered_set<std::int64_t>> m_recordedSizes;  // guarded by m_mutex
    std::int64_t m_sequence = 0;                                      // guarded by m_mutex
    bool m_busy = false;              // guarded by m_mutex: a job is being processed
    bool m_pendingLeft = true;        // guarded by m_mutex: the database may hold pending ones
    std::int64_t m_pendingAdded = 0;  // guarded by m_mutex: pictures recorded as pending here
    bool m_stopping = false;          // guarded by m_mutex
    bool m_flush = false;             // guarded by m_mutex: write galleries now (waitIdle)
    // Groups whose gallery is out of date, with their folders; the worker thread's own.
    std::map<std::string, std::string> m_dirty;
    struct PendingCompletion {
        PictureDatabase::Completion completion;
        std::string group;
        std::string groupFolder;
    };
    // Thumbnails made whose records are not completed yet; the worker thread's own.
    std::vector<PendingCompletion> m_completions;
    std::map<std::string, std::string> m_folders;  // guarded by m_mutex: from the jobs
    std::chrono::steady_clock::time_point m_lastGalleries;
    std::atomic<int> m_made{0}, m_unreadable{0}, m_deferred{0};
    // Files without a thumbnail not yet said, and the first of them with its reason.
    int m_unsaid = 0;           // guarded by m_mutex
    std::string m_firstUnsaid;  // guarded by m_mutex
    WorkerThread m_thread;      // last: starts once everything above is ready
};

}  // namespace qm
