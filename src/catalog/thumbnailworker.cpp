#include "catalog/thumbnailworker.h"

#include <sys/stat.h>

#include "catalog/gallerypage.h"
#include "catalog/picturerebuild.h"
#include "platform/paths.h"

namespace qm {
namespace {

// A producer holds DecodeLock: it waits this long at most for another connection's change.
constexpr int ProducerBusyTimeoutMs = 200;
// Pending pictures read from the database at a time.
constexpr std::size_t PendingBatch = 64;

}  // namespace

ThumbnailWorker::ThumbnailWorker(std::string dataDirectory, Log log, ThumbnailWorkerOptions options)
    : m_dataDirectory(std::move(dataDirectory)),
      m_log(std::move(log)),
      m_options(options),
      m_thumbnailer(m_log, options.thumbnails, &m_stop),
      m_producerDb(m_dataDirectory, m_log),
      m_workerDb(m_dataDirectory, m_log) {
    m_thread = std::thread([this] { run(); });
}

// On the worker thread: checking a large file takes a while, and its owner should not wait.
// The worker's connection first, so that a damaged file is set aside before the other opens.
void ThumbnailWorker::openDatabases() {
    if (m_workerDb.open()) {
        m_producerDb.setBusyTimeout(ProducerBusyTimeoutMs);
        m_producerDb.open(false);
    }
    std::lock_guard lock(m_mutex);
    m_opened = true;
    m_openedChanged.notify_all();
}

void ThumbnailWorker::waitOpened() {
    std::unique_lock lock(m_mutex);
    m_openedChanged.wait(lock, [this] { return m_opened; });
}

ThumbnailWorker::~ThumbnailWorker() {
    stop();
}

DuplicateCheck ThumbnailWorker::check(const std::string& path) {
    waitOpened();
    DuplicateCheck result;
    result.sha256 = sha256OfFile(path);
    if (result.sha256) result.first = m_producerDb.findBySha256(*result.sha256);
    return result;
}

void ThumbnailWorker::submit(PictureJob job, const Sha256& sha256) {
    StoredPicture p;
    p.group = job.group;
    p.path = relativeToData(m_dataDirectory, job.path);
    struct stat st {};
    if (::stat(job.path.c_str(), &st) == 0) {
        p.size = st.st_size;
        p.date = st.st_mtim.tv_sec;  // when it was decoded, as a rebuild will read it
    }
    p.sha256 = sha256;
    p.subject = job.subject;
    p.messageId = job.messageId;
    waitOpened();
    const std::int64_t id = m_producerDb.add(p).value_or(0);

    std::lock_guard lock(m_mutex);
    if (m_stopping) return;
    m_folders[job.group] = job.groupFolder;
    if (m_queue.size() >= m_options.queueCapacity) {
        // Recorded as pending: the worker comes back to it when its queue is empty.
        ++m_deferred;
        m_pendingLeft = m_pendingLeft || id != 0;
        return;
    }
    m_queue.push_back({std::move(job), id});
    m_wake.notify_one();
}

bool ThumbnailWorker::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_flush = true;
    m_wake.notify_one();
    return m_idle.wait_for(lock, timeout, [this] {
        return m_stopping || (m_queue.empty() && !m_busy && !m_pendingLeft && !m_flush);
    });
}

void ThumbnailWorker::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_stop = true;
    m_wake.notify_one();
    if (m_thread.joinable()) m_thread.join();
}

ThumbnailWorker::Counters ThumbnailWorker::counters() const {
    return {m_made.load(), m_unreadable.load(), m_deferred.load()};
}

void ThumbnailWorker::run() {
    openDatabases();
    std::unique_lock lock(m_mutex);
    m_lastGalleries = std::chrono::steady_clock::now();
    while (!m_stopping) {
        const auto due = m_lastGalleries + m_options.galleryInterval;
        const bool idle = m_queue.empty() && !m_pendingLeft;
        if (!m_dirty.empty() && (std::chrono::steady_clock::now() >= due || (idle && m_flush))) {
            lock.unlock();
            writeGalleries();
            lock.lock();
        } else if (!m_queue.empty()) {
            Job job = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            lock.unlock();
            process(job);
            lock.lock();
            m_busy = false;
        } else if (m_pendingLeft) {
            lock.unlock();
            const bool more = workThroughPending();
            lock.lock();
            m_pendingLeft = more && !m_stopping;
        } else if (m_dirty.empty()) {
            m_flush = false;
            m_idle.notify_all();
            m_wake.wait(lock);
        } else {
            m_wake.wait_until(lock, due);  // the galleries once more, a little later
        }
    }
    lock.unlock();
    writeGalleries();  // of what was done before the stop
    m_idle.notify_all();
}

void ThumbnailWorker::process(const Job& job) {
    const std::string name(baseName(job.picture.path));
    Thumbnail t =
        m_thumbnailer.make(job.picture.path, thumbnailPath(job.picture.groupFolder, name));
    if (!t.made && m_stop) return;  // abandoned: stays pending for the next start
    ++(t.made ? m_made : m_unreadable);
    if (job.id == 0) return;  // no database: nothing to complete, no gallery to write
    const PictureState state = t.made ? PictureState::Shown : PictureState::Unreadable;
    std::vector<std::string> changed =
        m_workerDb.complete(job.id, state, t.hash, t.width, t.height, t.thumbWidth, t.thumbHeight);
    if (t.made) m_dirty[job.picture.group] = job.picture.groupFolder;
    for (const std::string& group : changed) m_dirty.try_emplace(group, std::string());
}

bool ThumbnailWorker::workThroughPending() {
    const std::vector<StoredPicture> pending = m_workerDb.pending(PendingBatch);
    for (const StoredPicture& p : pending) {
        if (m_stop) return false;
        Job job;
        job.id = p.id;
        job.picture.path = joinPath(m_dataDirectory, p.path);
        job.picture.group = p.group;
        job.picture.groupFolder = folderOf(p.group, p);
        process(job);
    }
    return pending.size() == PendingBatch;
}

void ThumbnailWorker::writeGalleries() {
    std::map<std::string, std::string> dirty;
    dirty.swap(m_dirty);
    for (const auto& [group, knownFolder] : dirty) {
        const std::vector<StoredPicture> pictures = m_workerDb.groupPictures(group);
        if (pictures.empty()) continue;
        const std::string folder =
            knownFolder.empty() ? folderOf(group, pictures.front()) : knownFolder;
        if (!writeGalleryPage(folder, group, pictures)) {
            m_log("Fail create file " + joinPath(folder, GalleryPageName));
        }
    }
    m_lastGalleries = std::chrono::steady_clock::now();
}

// A group's folder: as its jobs gave it, else the first part of a picture's path.
std::string ThumbnailWorker::folderOf(const std::string& group, const StoredPicture& any) const {
    {
        std::lock_guard lock(m_mutex);
        if (auto known = m_folders.find(group); known != m_folders.end()) return known->second;
    }
    const auto slash = any.path.find('/');
    return joinPath(m_dataDirectory, any.path.substr(0, slash));
}

}  // namespace qm
