// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturecatalog.h"

#include <cstdio>
#include <exception>

#include "catalog/gallerypage.h"
#include "catalog/picturerebuild.h"
#include "platform/paths.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

// The window thread waits this long at most for a change of the worker's connection.
constexpr int WindowBusyTimeoutMs = 1000;

}  // namespace

PictureCatalog::PictureCatalog(Log log, ThumbnailWorkerOptions options)
    : m_log(std::move(log)), m_options(options) {}

PictureCatalog::~PictureCatalog() {
    stop();
}

ThumbnailWorker* PictureCatalog::worker(const std::string& dataDirectory) {
    if (m_worker && m_directory == dataDirectory) return m_worker.get();
    if (m_worker) {
        // Pictures of another data directory: its database and galleries are not this one's.
        m_worker->stop();
        m_worker.reset();
    }
    if (m_failed) return nullptr;
    try {
        m_worker = std::make_unique<ThumbnailWorker>(dataDirectory, m_log, m_options);
        m_directory = dataDirectory;
    } catch (const std::exception& e) {
        // No thread to be had: the pictures are catalogued without thumbnails.
        m_failed = true;
        m_log(std::string("Thumbnails are off for this run: ") + e.what());
    }
    return m_worker.get();
}

void PictureCatalog::start(const std::string& dataDirectory) {
    std::lock_guard lock(m_mutex);
    worker(dataDirectory);
}

PictureAdmission PictureCatalog::admit(const std::string& dataDirectory, const std::string& path,
                                       const FileStart& start) {
    std::lock_guard lock(m_mutex);
    ThumbnailWorker* w = worker(dataDirectory);
    if (!w) return {};
    PictureAdmission admission;
    admission.check = w->check(path, start);
    // The same path is the same file decoded again over itself, not a copy of it.
    const auto& first = admission.check.first;
    if (first && first->path != relativeToData(dataDirectory, path)) admission.first = first;
    return admission;
}

void PictureCatalog::submit(const std::string& dataDirectory, PictureJob job,
                            const DuplicateCheck& check) {
    std::lock_guard lock(m_mutex);
    if (ThumbnailWorker* w = worker(dataDirectory)) w->submit(std::move(job), check);
}

std::unique_ptr<ThumbnailWorker> PictureCatalog::takeWorker() {
    std::lock_guard lock(m_mutex);
    m_failed = false;
    return std::move(m_worker);
}

void PictureCatalog::finishRun() {
    ThumbnailWorker* w = nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_failed = false;  // the next run tries again
        w = m_worker.get();
    }
    if (w) w->summarizeUnreadable();  // once per run, not once per file
    if (w && w->idle()) stop();
}

bool PictureCatalog::finish(const std::function<bool()>& keepWaiting) {
    ThumbnailWorker* w = nullptr;
    {
        std::lock_guard lock(m_mutex);
        w = m_worker.get();
    }
    // Only this thread stops the worker, so it stays while waited for.
    bool idle = !w;
    while (!idle) {
        idle = w->waitIdle(100ms);
        if (!idle && keepWaiting && !keepWaiting()) break;
    }
    stop();
    return idle;
}

void PictureCatalog::stop() {
    std::unique_ptr<ThumbnailWorker> w = takeWorker();
    if (w) w->stop();  // joined outside the mutex: readers are never kept waiting for it
}

bool PictureCatalog::running() const {
    std::lock_guard lock(m_mutex);
    return m_worker != nullptr;
}

ThumbnailWorker::Counters PictureCatalog::counters() const {
    std::lock_guard lock(m_mutex);
    return m_worker ? m_worker->counters() : ThumbnailWorker::Counters{};
}

void PictureCatalog::forget(const std::string& dataDirectory, const std::string& group,
                            const std::string& groupFolder, std::span<const std::string> names) {
    if (names.empty()) return;
    PictureDatabase db(dataDirectory, m_log);
    db.setBusyTimeout(WindowBusyTimeoutMs);
    const bool open = db.open(false);
    const std::string files = joinPath(groupFolder, "news.dat");
    for (const std::string& name : names) {
        std::remove(thumbnailPath(groupFolder, name).c_str());
        if (open) db.remove(relativeToData(dataDirectory, joinPath(files, name)));
    }
    if (!open) return;
    if (!writeGalleryPage(groupFolder, group, db.groupPictures(group)))
        m_log("Fail create file " + joinPath(groupFolder, GalleryPageName));
}

std::string PictureCatalog::galleryPage(const std::string& dataDirectory, const std::string& group,
                                        const std::string& groupFolder) {
    const std::string page = joinPath(groupFolder, GalleryPageName);
    if (fileExists(page)) return page;
    PictureDatabase db(dataDirectory, m_log);
    db.setBusyTimeout(WindowBusyTimeoutMs);
    if (!db.open(false)) return {};
    const std::vector<StoredPicture> pictures = db.groupPictures(group);
    if (pictures.empty() || !writeGalleryPage(groupFolder, group, pictures)) return {};
    return page;
}

}  // namespace qm
