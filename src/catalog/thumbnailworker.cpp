// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/thumbnailworker.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "catalog/gallerypage.h"
#include "catalog/picturelist.h"
#include "catalog/picturerebuild.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

// A producer holds DecodeLock: it waits this long at most for another connection's change.
constexpr int ProducerBusyTimeoutMs = 200;
// Pending pictures read from the database at a time.
constexpr std::size_t PendingBatch = 64;
// Queued pictures recorded at a time between two thumbnails.
constexpr std::size_t RecordBatch = 64;
// Thumbnails whose records are completed in one transaction; a kill before it leaves them
// pending, made again at the next start.
constexpr std::size_t CompletionBatch = 32;
// Recorded (and queued) pictures of one size looked at for a copy; a size shared by more is
// rare, and a cap keeps a flood of equal sizes from slowing every reader.
constexpr std::size_t SameSizeLimit = 32;

// The first bytes (FileStart) are compared before two files of one size are hashed whole.
std::size_t hashOfHead(std::string_view head) {
    return std::hash<std::string_view>{}(head);
}

// A hash of the first bytes of a file; nothing when it cannot be read. Only compared within
// this process, where two different heads have the same hash next to never (and then the
// files' digests still decide).
std::optional<std::size_t> headHash(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    const FileStart start = FileStart::of(fd.get());
    if (!start.known()) return std::nullopt;
    return hashOfHead(start.head);
}

// A group of files that are not pictures (a posted video named .jpg, a thousand of them)
// would push everything else out of the log: they are counted, and said once.
ThumbnailOptions quietAboutUnreadable(ThumbnailOptions options) {
    options.logUnreadable = false;
    return options;
}

}  // namespace

ThumbnailWorker::ThumbnailWorker(std::string dataDirectory, Log log, ThumbnailWorkerOptions options)
    : m_dataDirectory(std::move(dataDirectory)),
      m_log(std::move(log)),
      m_options(options),
      m_thumbnailer(m_log, quietAboutUnreadable(options.thumbnails), &m_stop),
      m_producerDb(m_dataDirectory, m_log),
      m_workerDb(m_dataDirectory, m_log) {
    m_thread = std::thread([this] { run(); });
}

// On the worker thread: checking a large file takes a while, and its owner should not wait.
// The worker's connection first, so that a damaged file is set aside before the other opens.
void ThumbnailWorker::openDatabases() {
    std::optional<std::vector<std::int64_t>> sizes;
    if (m_workerDb.open()) {
        m_producerDb.setBusyTimeout(ProducerBusyTimeoutMs);
        m_producerDb.open(false);
        sizes = m_workerDb.sizes();
    }
    std::lock_guard lock(m_mutex);
    if (sizes) m_recordedSizes.emplace(sizes->begin(), sizes->end());
    m_opened = true;
    m_openedOnce.store(true, std::memory_order_release);
    m_openedChanged.notify_all();
}

void ThumbnailWorker::waitOpened() {
    if (m_openedOnce.load(std::memory_order_acquire)) return;  // every check: no lock
    std::unique_lock lock(m_mutex);
    m_openedChanged.wait(lock, [this] { return m_opened; });
}

ThumbnailWorker::~ThumbnailWorker() {
    stop();
}

DuplicateCheck ThumbnailWorker::check(const std::string& path, const FileStart& start) {
    waitOpened();
    DuplicateCheck result;
    // What the decoder knows of the file spares reading it: the reader holds the decode lock.
    // Its head is kept with the picture even when nothing needs it yet, so that a later
    // picture of its size need not read this one's file either.
    if (start.known()) {
        result.size = start.size;
        result.head = hashOfHead(start.head);
    } else {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return result;
        result.size = st.st_size;
    }
    if (!maybeCopied(result.size)) return result;
    // Files of one size but other content differ in their first bytes nearly always:
    // comparing those is far cheaper than hashing the whole file.
    if (!result.head && !(result.head = headHash(path))) return DuplicateCheck{};
    for (Candidate& candidate : sameSize(result.size, *result.head)) {
        // A head read now shows the file is there; one kept from earlier does not.
        const bool kept = candidate.head.has_value();
        const std::optional<std::size_t> theirs = headOf(candidate);
        const bool there =
            (!kept && theirs) || fileExists(joinPath(m_dataDirectory, candidate.picture.path));
        if (there && theirs != result.head) continue;
        if (!result.sha256 && !(result.sha256 = sha256OfFile(path))) return DuplicateCheck{};
        const bool onRecord = candidate.digestKnown;  // made earlier: its file may have changed
        if (!candidate.digestKnown) {
            std::optional<Sha256> digest = digestOf(candidate.picture.path);
            if (!digest) continue;
            candidate.picture.sha256 = *digest;
        }
        if (candidate.picture.sha256 != *result.sha256) continue;
        if (there) {
            // The new file may be removed for this one: what is on record must still be true.
            if (onRecord && !stillHolds(candidate)) continue;
            result.first = std::move(candidate.picture);
            break;
        }
        // A first copy deleted or moved since must not make this one a duplicate: its
        // record is stale and goes.
        if (candidate.recorded) {
            m_producerDb.remove(candidate.picture.path);
            std::lock_guard lock(m_mutex);
            if (candidate.known) forgetKnown(candidate.picture.path);
        }
    }
    return result;
}

bool ThumbnailWorker::stillHolds(const Candidate& candidate) {
    // Copies are rare beside new pictures, so hashing the first again costs little.
    const std::string file = joinPath(m_dataDirectory, candidate.picture.path);
    const std::optional<Sha256> now = sha256OfFile(file);
    if (now == candidate.picture.sha256) return true;
    struct stat st {};
    if (!now || ::stat(file.c_str(), &st) != 0) return false;  // gone meanwhile: no first
    // Changed since it was recorded: its record takes the new content, and its thumbnail
    // is made again.
    const std::string& relative = candidate.picture.path;
    bool recorded = candidate.recorded;
    {
        // Whether the worker has recorded it is read again under the lock: it may have
        // written the old digest since the candidate was taken, and compares no more.
        // Not recorded yet, the worker takes the new digest from here when it records it.
        std::lock_guard lock(m_mutex);
        if (candidate.known) {
            auto it = m_known.find(relative);
            recorded = it == m_known.end() || it->second.recorded;  // forgotten once recorded
            updateKnown(relative, st.st_size, *now);
        }
    }
    const bool changed = recorded && m_producerDb.changeContent(relative, st.st_size, *now);
    std::lock_guard lock(m_mutex);
    if (changed) {
        m_pendingLeft = true;
        ++m_pendingAdded;
        if (m_recordedSizes) m_recordedSizes->insert(st.st_size);
        m_wake.notify_one();
    }
    return false;
}

void ThumbnailWorker::updateKnown(const std::string& relative, std::int64_t size,
                                  const Sha256& sha256) {
    auto it = m_known.find(relative);
    if (it == m_known.end()) return;
    Known& known = it->second;
    if (known.size != size) {
        const auto [from, to] = m_knownBySize.equal_range(known.size);
        for (auto entry = from; entry != to; ++entry) {
            if (entry->second == &*it) {
                m_knownBySize.erase(entry);
                break;
            }
        }
        known.size = size;
        m_knownBySize.emplace(size, &*it);
    }
    known.sha256 = sha256;
    known.head.reset();  // of the old content
}

bool ThumbnailWorker::maybeCopied(std::int64_t size) {
    // Without a database no copy is looked for: nothing would be recorded to find later.
    if (!m_producerDb.isOpen()) return false;
    std::lock_guard lock(m_mutex);
    return !m_recordedSizes || m_recordedSizes->contains(size) || m_knownBySize.contains(size);
}

std::vector<ThumbnailWorker::Candidate> ThumbnailWorker::sameSize(std::int64_t size,
                                                                  std::size_t head) {
    std::vector<Candidate> known;
    bool stored = true;
    {
        std::lock_guard lock(m_mutex);
        stored = !m_recordedSizes || m_recordedSizes->contains(size);
        const auto [from, to] = m_knownBySize.equal_range(size);
        for (auto it = from; it != to; ++it) {
            const Known& k = it->second->second;
            // Other first bytes: no copy, whether its file is still there or not.
            if (k.head && *k.head != head) continue;
            Candidate c;
            c.picture.group = k.group;
            c.picture.path = it->second->first;
            c.picture.size = k.size;
            if (k.sha256) c.picture.sha256 = *k.sha256;
            c.digestKnown = k.sha256.has_value();
            c.recorded = k.recorded;
            c.known = true;
            c.head = k.head;
            c.sequence = k.sequence;
            known.push_back(std::move(c));
        }
    }
    // Known ones come after the older recorded ones, in the order they were submitted.
    std::sort(known.begin(), known.end(),
              [](const Candidate& a, const Candidate& b) { return a.sequence < b.sequence; });
    if (known.size() > SameSizeLimit) known.resize(SameSizeLimit);
    std::vector<Candidate> found;
    if (stored) {
        for (StoredPicture& p : m_producerDb.findBySize(size, SameSizeLimit)) {
            if (isKnown(p.path)) continue;
            const bool digestKnown = p.sha256 != UnknownDigest;
            found.push_back({std::move(p), digestKnown, true, false, std::nullopt, 0});
        }
    }
    std::move(known.begin(), known.end(), std::back_inserter(found));
    return found;
}

bool ThumbnailWorker::isKnown(const std::string& relative) const {
    std::lock_guard lock(m_mutex);
    return m_known.contains(relative);
}

std::optional<Sha256> ThumbnailWorker::digestOf(const std::string& relative) {
    std::optional<Sha256> sha = sha256OfFile(joinPath(m_dataDirectory, relative));
    std::lock_guard lock(m_mutex);  // kept for the worker, which needs it to record the file
    if (auto it = m_known.find(relative); sha && it != m_known.end()) it->second.sha256 = sha;
    return sha;
}

std::optional<std::size_t> ThumbnailWorker::headOf(const Candidate& candidate) {
    if (candidate.head) return candidate.head;
    std::optional<std::size_t> head = headHash(joinPath(m_dataDirectory, candidate.picture.path));
    if (!head || !candidate.known) return head;
    std::lock_guard lock(m_mutex);
    if (auto it = m_known.find(candidate.picture.path); it != m_known.end()) it->second.head = head;
    return head;
}

void ThumbnailWorker::submit(PictureJob job, const DuplicateCheck& check) {
    if (!check.readable()) return;
    Job j;
    j.picture = std::move(job);
    j.size = check.size;
    j.sha256 = check.sha256;
    j.head = check.head;
    enqueue(std::move(j));
}

void ThumbnailWorker::submit(PictureJob job, const Sha256& sha256) {
    struct stat st {};
    if (::stat(job.path.c_str(), &st) != 0) return;
    Job j;
    j.picture = std::move(job);
    j.size = st.st_size;
    j.sha256 = sha256;
    enqueue(std::move(j));
}

void ThumbnailWorker::enqueue(Job job) {
    waitOpened();
    const std::string relative = relativeToData(m_dataDirectory, job.picture.path);
    std::unique_lock lock(m_mutex);
    job.sequence = ++m_sequence;
    m_folders[job.picture.group] = job.picture.groupFolder;
    const bool full = m_queue.size() >= m_options.queueCapacity;
    if (m_stopping || full) {
        // Recorded as pending: the worker comes back to it when its queue is empty, or the
        // next worker at its start.
        m_deferred += full;
        lock.unlock();
        const bool recorded = recordNow(std::move(job));
        lock.lock();
        if (recorded) {
            m_pendingLeft = true;
            ++m_pendingAdded;
            // Found through the database from now on.
            if (m_recordedSizes) m_recordedSizes->insert(job.size);
        }
        if (recorded) m_wake.notify_one();
        return;
    }
    forgetKnown(relative);  // the same file decoded again
    const auto [entry, added] = m_known.insert_or_assign(
        relative, Known{job.size, job.sha256, job.head, job.picture.group, job.sequence, false});
    m_knownBySize.emplace(job.size, &*entry);
    ++m_unrecorded;
    m_queue.push_back(std::move(job));
    m_wake.notify_one();
}

std::optional<StoredPicture> ThumbnailWorker::recordOf(const Job& job, bool digest) {
    StoredPicture p;
    p.group = job.picture.group;
    p.path = relativeToData(m_dataDirectory, job.picture.path);
    struct stat st {};
    if (::stat(job.picture.path.c_str(), &st) != 0) return std::nullopt;  // gone meanwhile
    p.size = st.st_size;
    p.date = st.st_mtim.tv_sec;  // when it was decoded, as a rebuild will read it
    std::optional<Sha256> sha;
    {
        // A check() may have made it meanwhile, or found the file changed since its own.
        std::lock_guard lock(m_mutex);
        if (auto it = m_known.find(p.path); it != m_known.end()) sha = it->second.sha256;
    }
    if (!sha) sha = job.sha256;
    if (!sha && digest) {
        sha = sha256OfFile(job.picture.path);
        if (!sha) return std::nullopt;
    }
    p.sha256 = sha.value_or(UnknownDigest);
    p.subject = job.picture.subject;
    p.messageId = job.picture.messageId;
    return p;
}

void ThumbnailWorker::forgetKnown(const std::string& relative) {
    auto it = m_known.find(relative);
    if (it == m_known.end()) return;
    const auto [from, to] = m_knownBySize.equal_range(it->second.size);
    for (auto entry = from; entry != to; ++entry) {
        if (entry->second == &*it) {
            m_knownBySize.erase(entry);
            break;
        }
    }
    if (!it->second.recorded) --m_unrecorded;
    m_known.erase(it);
}

void ThumbnailWorker::markRecorded(const std::string& relative) {
    auto it = m_known.find(relative);
    if (it == m_known.end() || it->second.recorded) return;
    it->second.recorded = true;
    --m_unrecorded;
    if (m_known.size() <= m_options.knownLimit) return;
    // A long run: the recorded ones are found through the database from now on.
    for (auto k = m_known.begin(); k != m_known.end();) {
        if (!k->second.recorded) {
            ++k;
            continue;
        }
        if (m_recordedSizes) m_recordedSizes->insert(k->second.size);
        const std::string path = k->first;
        ++k;
        forgetKnown(path);
    }
}

bool ThumbnailWorker::recordNow(Job job) {
    // Without its digest: a reader waits for this, and the worker makes it later.
    std::optional<StoredPicture> p = recordOf(job, false);
    return p && m_producerDb.add(*p).has_value();
}

void ThumbnailWorker::recordQueued(bool all, bool digest) {
    std::vector<Job> batch;
    std::size_t at = 0;
    {
        std::lock_guard lock(m_mutex);
        // The unrecorded jobs are the newest: the back of the queue.
        at = static_cast<std::size_t>(
            std::find_if(m_queue.begin(), m_queue.end(), [](const Job& j) { return !j.recorded; }) -
            m_queue.begin());
        const std::size_t take =
            all ? m_queue.size() - at : std::min(RecordBatch, m_queue.size() - at);
        auto first = m_queue.begin() + static_cast<std::ptrdiff_t>(at);
        batch.assign(std::make_move_iterator(first),
                     std::make_move_iterator(first + static_cast<std::ptrdiff_t>(take)));
        m_queue.erase(first, first + static_cast<std::ptrdiff_t>(take));
        m_busy = true;
    }
    // The producer only appends to the queue, so the batch goes back where it was.
    const bool database = m_workerDb.isOpen();
    std::vector<std::pair<std::string, Sha256>> written;
    std::vector<StoredPicture> records;
    std::vector<Job*> recordedJobs;
    for (Job& job : batch) {
        if (job.recorded) continue;
        job.recorded = true;
        if (!database) continue;
        if (std::optional<StoredPicture> p = recordOf(job, digest)) {
            records.push_back(std::move(*p));
            recordedJobs.push_back(&job);
        }
    }
    // One transaction for the whole batch: a commit per picture cost the run more than the
    // rest of the recording. A kill before the commit loses nothing: the picture lists
    // still name these pictures, and the next start records them (recordListed).
    const std::vector<std::int64_t> ids = m_workerDb.addEach(records);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        recordedJobs[i]->id = ids[i];
        written.emplace_back(records[i].path, records[i].sha256);
    }
    std::vector<std::string> paths;  // made before the lock: readers wait for it
    for (const Job& job : batch) paths.push_back(relativeToData(m_dataDirectory, job.picture.path));
    std::lock_guard lock(m_mutex);
    // A check() that found one of these files changed while it was being recorded saw it
    // unrecorded and left the database alone: its record takes the content found. Done with
    // the lock held, so that every later check() sees it recorded and updates it itself.
    for (const auto& [path, sha256] : written) {
        auto it = m_known.find(path);
        if (it != m_known.end() && it->second.sha256 && *it->second.sha256 != sha256)
            m_workerDb.changeContent(path, it->second.size, *it->second.sha256);
    }
    for (const std::string& path : paths) markRecorded(path);
    m_queue.insert(m_queue.begin() + static_cast<std::ptrdiff_t>(at),
                   std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
    m_busy = false;
}

bool ThumbnailWorker::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_flush = true;
    m_wake.notify_one();
    return m_idle.wait_for(lock, timeout, [this] {
        return m_stopping || (m_queue.empty() && !m_busy && !m_pendingLeft && !m_flush);
    });
}

bool ThumbnailWorker::idle() const {
    std::lock_guard lock(m_mutex);
    return m_queue.empty() && !m_busy && !m_pendingLeft;
}

void ThumbnailWorker::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_stop = true;
    m_wake.notify_one();
    if (!m_thread.joinable()) return;
    m_thread.join();
    // On this thread, at its priority, not the worker's: what is still queued waits in the
    // database for the next start (without digests, which would take long for many large
    // pictures), and the galleries show what was done.
    flushCompletions();
    recordQueued(true, false);
    writeGalleries();
    summarizeUnreadable();
    m_idle.notify_all();
}

void ThumbnailWorker::summarizeUnreadable() {
    int count = 0;
    std::string first;
    {
        std::lock_guard lock(m_mutex);
        count = std::exchange(m_unsaid, 0);
        first = std::move(m_firstUnsaid);
        m_firstUnsaid.clear();
    }
    if (count > 0) m_log(unreadableSummary(count, first));
}

ThumbnailWorker::Counters ThumbnailWorker::counters() const {
    return {m_made.load(), m_unreadable.load(), m_deferred.load()};
}

void ThumbnailWorker::run() {
    openDatabases();  // first, at full speed: the first check() of a reader waits for it
    // Thumbnails are background work: they take the processor time the readers (and the
    // window) leave, and give way to them at once when they wake (a plain low priority
    // would let a thumbnail finish its time slice first). Threads libvips starts for the
    // worker inherit it. Failing that, the lowest priority.
    sched_param idle{};
    if (::sched_setscheduler(0, SCHED_IDLE, &idle) != 0)
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    if (m_options.recordListed) recordListed();
    std::unique_lock lock(m_mutex);
    m_lastGalleries = std::chrono::steady_clock::now();
    while (!m_stopping) {
        const auto due = m_lastGalleries + m_options.galleryInterval;
        const bool idle = m_queue.empty() && !m_pendingLeft;
        const bool changes = !m_dirty.empty() || !m_completions.empty();
        if (changes && (std::chrono::steady_clock::now() >= due || (idle && m_flush))) {
            lock.unlock();
            flushCompletions();
            writeGalleries();
            lock.lock();
        } else if (m_unrecorded != 0) {
            // Recording is quick beside a thumbnail, and keeps the producer's list short.
            lock.unlock();
            recordQueued(false, true);
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
            const std::int64_t added = m_pendingAdded;
            lock.unlock();
            const bool more = workThroughPending();
            lock.lock();
            // A picture recorded as pending meanwhile may have come too late for that read.
            m_pendingLeft = (more || m_pendingAdded != added) && !m_stopping;
        } else if (!m_completions.empty()) {
            // Nothing else to do: what was made goes to the database now.
            lock.unlock();
            flushCompletions();
            lock.lock();
        } else if (m_dirty.empty()) {
            m_flush = false;
            m_idle.notify_all();
            m_wake.wait(lock);
        } else {
            m_wake.wait_until(lock, due);  // the galleries once more, a little later
        }
    }
    // stop() records what is left and writes the galleries.
}

void ThumbnailWorker::process(Job job) {
    if (!job.recorded && m_workerDb.isOpen()) {
        // Queued twice under one path: the other's recording took its place in the list.
        if (std::optional<StoredPicture> p = recordOf(job, true))
            job.id = m_workerDb.add(*p).value_or(0);
    }
    const std::string name(baseName(job.picture.path));
    Thumbnail t =
        m_thumbnailer.make(job.picture.path, thumbnailPath(job.picture.groupFolder, name));
    if (!t.made && m_stop) return;  // abandoned: stays pending for the next start
    ++(t.made ? m_made : m_unreadable);
    if (t.unreadable) {
        std::lock_guard lock(m_mutex);
        if (m_unsaid++ == 0) m_firstUnsaid = job.picture.path + ": " + t.error;
    }
    if (job.id == 0) return;  // no database: nothing to complete, no gallery to write
    const PictureState state = t.made ? PictureState::Shown : PictureState::Unreadable;
    m_completions.push_back(
        {{job.id, state, t.hash, t.width, t.height, t.thumbWidth, t.thumbHeight},
         job.picture.group,
         job.picture.groupFolder});
    if (m_completions.size() >= CompletionBatch) flushCompletions();
}

void ThumbnailWorker::flushCompletions() {
    if (m_completions.empty()) return;
    std::vector<PictureDatabase::Completion> completions;
    completions.reserve(m_completions.size());
    for (const PendingCompletion& p : m_completions) completions.push_back(p.completion);
    const std::vector<std::string> changed = m_workerDb.completeEach(completions);
    // An unreadable picture changes its gallery too: its card says it has no preview.
    for (const PendingCompletion& p : m_completions) m_dirty[p.group] = p.groupFolder;
    for (const std::string& group : changed) m_dirty.try_emplace(group, std::string());
    m_completions.clear();
}

bool ThumbnailWorker::workThroughPending() {
    flushCompletions();  // else the thumbnails made but not completed would be read as pending
    const std::vector<StoredPicture> pending = m_workerDb.pending(PendingBatch);
    for (StoredPicture p : pending) {
        if (m_stop) return false;
        if (p.sha256 == UnknownDigest) {
            // Recorded in haste (a full queue, a stop): its digest is made now.
            std::optional<Sha256> sha = sha256OfFile(joinPath(m_dataDirectory, p.path));
            if (!sha) {
                m_workerDb.remove(p.path);  // its file is gone
                continue;
            }
            p.sha256 = *sha;
            p.id = m_workerDb.add(p).value_or(0);
            if (p.id == 0) continue;
        }
        Job job;
        job.id = p.id;
        job.recorded = true;
        job.picture.path = joinPath(m_dataDirectory, p.path);
        job.picture.group = p.group;
        job.picture.groupFolder = folderOf(p.group, p);
        process(job);
    }
    return pending.size() == PendingBatch;
}

std::vector<StoredPicture> ThumbnailWorker::unrecorded(
    const std::string& group, const std::string& folder,
    const std::unordered_set<std::string>& recorded) const {
    PictureList list;
    readPictureListFile(joinPath(folder, "data.lst"), list);
    const std::string files = joinPath(folder, "news.dat");
    const std::string prefix = relativeToData(m_dataDirectory, files) + "/";
    std::vector<StoredPicture> out;
    for (const auto& [name, record] : list) {
        if (!record || !canThumbnail(name)) continue;
        // Only the few missing ones are asked their size: a stat of every listed file would
        // cost a group of 20,000 pictures a quarter of a second at every start.
        StoredPicture p;
        p.path = prefix + name;
        if (recorded.contains(p.path)) continue;
        struct stat st {};
        const std::string file = joinPath(files, name);
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // deleted since
        p.group = group;
        p.size = st.st_size;
        p.sha256 = UnknownDigest;  // made when the worker comes to it
        p.date = st.st_mtim.tv_sec;
        p.subject = record->description;
        out.push_back(std::move(p));
    }
    return out;
}

void ThumbnailWorker::recordListed() {
    // A database made new has none of the listed pictures; a rebuild keeps more of them (and
    // is asked for), so the worker does not take that on behind a fetch.
    if (!m_workerDb.isOpen() || m_workerDb.created()) return;
    const std::optional<std::unordered_set<std::string>> recorded = m_workerDb.paths();
    if (!recorded) return;
    std::vector<StoredPicture> missing;
    for (const PictureGroup& group : pictureGroupsIn(m_dataDirectory)) {
        if (m_stop) return;
        std::vector<StoredPicture> some = unrecorded(group.name, group.folder, *recorded);
        std::move(some.begin(), some.end(), std::back_inserter(missing));
    }
    {
        // Decoded since this worker started: queued, and recorded in their turn.
        std::lock_guard lock(m_mutex);
        std::erase_if(missing, [this](const StoredPicture& p) { return m_known.contains(p.path); });
    }
    if (missing.empty() || !m_workerDb.addAll(missing)) return;
    m_log("Picture database: " + std::to_string(missing.size()) +
          " pictures of the picture lists were not recorded; their thumbnails are made now");
    std::lock_guard lock(m_mutex);
    m_pendingLeft = true;
    ++m_pendingAdded;
    if (m_recordedSizes)
        for (const StoredPicture& p : missing) m_recordedSizes->insert(p.size);
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
