#pragma once
// The thumbnail worker: a thread of its own that makes the thumbnail and perceptual hash of
// every decoded picture, completes its record in the picture database and rewrites its
// group's gallery, so that retrieval never waits for any of it.
//
// Two sides:
//   - The producer side, reader threads right after a picture was decoded (they may hold
//     DecodeLock; nothing here takes a lock of the program's or waits for a thumbnail):
//     check() hashes the file and finds an earlier copy of it; submit() records the picture
//     at once, so the next copy is found even before its thumbnail exists, and queues it.
//   - The worker thread: takes pictures from the queue, makes their thumbnails, completes
//     their records (marking near duplicates) and rewrites the galleries of the groups that
//     changed, at most once every galleryInterval and once more when it falls idle or stops.
//
// The queue is bounded. submit() never waits: when the queue is full the picture stays in
// the database as pending, and the worker works through the pending pictures once its queue
// is empty (and at start, for pictures a killed program left pending).
//
// Owned by the front end (or the command line); its destructor stops and joins the thread.
// The producer side uses a database connection of its own, so it never waits for the
// worker's reading and writing, only (briefly) for a change of another connection.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "catalog/filedigest.h"
#include "catalog/picturedatabase.h"
#include "catalog/thumbnailer.h"

namespace qm {

struct PictureJob {
    std::string path;         // the decoded picture
    std::string group;        // its newsgroup
    std::string groupFolder;  // the group's folder, where "thumbs" and the gallery go
    std::string subject;      // of its article, as received
    std::string messageId;    // of its article
};

struct DuplicateCheck {
    std::optional<Sha256> sha256;        // nothing when the file cannot be read
    std::optional<StoredPicture> first;  // the picture recorded earlier with the same content
};

struct ThumbnailWorkerOptions {
    std::size_t queueCapacity = 4096;  // pictures waiting; about 1 MB at most
    std::chrono::milliseconds galleryInterval{1000};
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

    // Producer side: the SHA-256 of a decoded file and the earlier picture of that content.
    DuplicateCheck check(const std::string& path);
    // Producer side: records the picture (its digest from check()) and queues its thumbnail.
    void submit(PictureJob job, const Sha256& sha256);

    // Waits until every queued and pending picture is done and the galleries are written;
    // false when timeout passed first.
    bool waitIdle(std::chrono::milliseconds timeout);
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

  private:
    struct Job {
        PictureJob picture;
        std::int64_t id = 0;  // in the database; 0 when it could not be recorded
    };

    void run();
    void openDatabases();
    // Producer side: until the worker thread has opened the databases (at its start).
    void waitOpened();
    void process(const Job& job);
    // Pictures left pending (by a full queue, or a killed program); false when none.
    bool workThroughPending();
    void writeGalleries();
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
    bool m_opened = false;      // guarded by m_mutex
    std::deque<Job> m_queue;    // guarded by m_mutex
    bool m_busy = false;        // guarded by m_mutex: a job is being processed
    bool m_pendingLeft = true;  // guarded by m_mutex: the database may hold pending ones
    bool m_stopping = false;    // guarded by m_mutex
    bool m_flush = false;       // guarded by m_mutex: write galleries now (waitIdle)
    // Groups whose gallery is out of date, with their folders; the worker thread's own.
    std::map<std::string, std::string> m_dirty;
    std::map<std::string, std::string> m_folders;  // guarded by m_mutex: from the jobs
    std::chrono::steady_clock::time_point m_lastGalleries;
    std::atomic<int> m_made{0}, m_unreadable{0}, m_deferred{0};
    std::thread m_thread;  // last: starts once everything above is ready
};

}  // namespace qm
