// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The picture side of the catalogue: the one thumbnail worker of the data directory, started
// at the start of a run (else on the first picture decoded), with what the catalogue sink asks of
// it (is this picture a copy of one recorded before? record it and make its thumbnail), and what
// the front ends ask of the pictures recorded (a group's gallery, forgetting deleted files).
//
// Never required for retrieval: when the worker cannot be started that is one log line, and
// pictures are catalogued as any other file.
//
// Owned by the session. Reader threads call admit() and submit() from the catalogue sink,
// with DecodeLock held: a look-up and a queue, never a thumbnail (thumbnailworker.h).
// The thread that drives the program calls the rest. Lock order: DecodeLock, then this
// object's mutex, then the worker's and the database's own; PictureListLock is never held
// together with this object's mutex.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "catalog/thumbnailworker.h"

namespace qm {

// What the catalogue sink learns about a decoded picture before cataloguing it.
struct PictureAdmission {
    // What the worker found; not readable when the file cannot be read or the worker is off
    // (then it is catalogued without a thumbnail).
    DuplicateCheck check;
    // The picture of the same content recorded earlier under another path, whose file is
    // still there.
    std::optional<StoredPicture> first;
};

class PictureCatalog {
  public:
    using Log = std::function<void(std::string_view)>;

    // The program's catalogue: each worker it starts first records the listed pictures a
    // killed program left out of the database (ThumbnailWorkerOptions::recordListed).
    static ThumbnailWorkerOptions defaultOptions() {
        ThumbnailWorkerOptions options;
        options.recordListed = true;
        return options;
    }
    explicit PictureCatalog(Log log, ThumbnailWorkerOptions options = defaultOptions());
    // Stops the worker (what it has not done stays pending for its next start).
    ~PictureCatalog();
    PictureCatalog(const PictureCatalog&) = delete;
    PictureCatalog& operator=(const PictureCatalog&) = delete;

    // ---- reader threads, from the catalogue sink
    // Looks for an earlier copy of the decoded file at path (below dataDirectory).
    // Starts the worker of dataDirectory when none runs (another one's is stopped first).
    PictureAdmission admit(const std::string& dataDirectory, const std::string& path,
                           const FileStart& start = {});
    // Queues the picture (admitted) to be recorded and thumbnailed.
    void submit(const std::string& dataDirectory, PictureJob job, const DuplicateCheck& check);

    // ---- the thread that drives the program
    // Starts the worker of dataDirectory ahead of the first picture (at the start of a run),
    // so that its database opens while the readers connect rather than while the first
    // reader to decode a picture waits for it, holding DecodeLock.
    void start(const std::string& dataDirectory);
    // The end of a run: stops the worker if it has nothing left to do. One still at work goes
    // on in the background until it is stopped (or idle at the end of the next run).
    void finishRun();
    // Waits until the worker has nothing left to do (thumbnails made, galleries written),
    // asking keepWaiting every 100 ms whether to go on, then stops it. False when
    // keepWaiting gave up first: what was not done stays pending for the next start.
    bool finish(const std::function<bool()>& keepWaiting);
    // Stops the worker now (a data directory change, the exit); idempotent.
    void stop();
    bool running() const;
    // Of the worker running now; zeros when none.
    ThumbnailWorker::Counters counters() const;

    // Files of a group were deleted (the file manager): forgets their records, removes their
    // thumbnails and rewrites the group's gallery.
    void forget(const std::string& dataDirectory, const std::string& group,
                const std::string& groupFolder, std::span<const std::string> names);
    // The path of a group's gallery page; written from the database when it is missing.
    // Empty when the group has no picture with a thumbnail.
    std::string galleryPage(const std::string& dataDirectory, const std::string& group,
                            const std::string& groupFolder);

  private:
    // The worker of dataDirectory, started when needed; null when it cannot be. m_mutex held.
    ThumbnailWorker* worker(const std::string& dataDirectory);
    std::unique_ptr<ThumbnailWorker> takeWorker();

    Log m_log;
    ThumbnailWorkerOptions m_options;
    mutable std::mutex m_mutex;
    std::unique_ptr<ThumbnailWorker> m_worker;  // guarded by m_mutex
    std::string m_directory;                    // guarded by m_mutex: the worker's
    bool m_failed = false;  // guarded by m_mutex: it could not be started; no retry until stop
};

}  // namespace qm
