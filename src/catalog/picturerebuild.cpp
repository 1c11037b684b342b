// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturerebuild.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "catalog/gallerypage.h"
#include "catalog/perceptualhash.h"
#include "catalog/picturelist.h"
#include "model/groupfolder.h"
#include "platform/paths.h"

namespace qm {
namespace {

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) return names;
    while (const dirent* e = ::readdir(d.get())) {
        std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

using Known = std::map<std::string, StoredPicture, std::less<>>;  // by path

// One listed picture read again; nothing when its file is gone. unreadable: why the picture
// module could not read it, when it could not.
std::optional<StoredPicture> reread(const Thumbnailer& thumbnailer, const PictureGroup& group,
                                    const std::string& dataDirectory, const std::string& name,
                                    const PictureRecord& record, const Known& known,
                                    std::string& unreadable) {
    const std::string file = joinPath(joinPath(group.folder, "news.dat"), name);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::optional<Sha256> sha = sha256OfFile(file);
    if (!sha) return std::nullopt;
    StoredPicture p;
    p.group = group.name;
    p.path = relativeToData(dataDirectory, file);
    p.size = st.st_size;
    p.sha256 = *sha;
    p.date = st.st_mtim.tv_sec;
    p.subject = record.description;
    // A record made in haste has no digest yet: its size stands in for it.
    if (auto old = known.find(p.path);
        old != known.end() &&
        (old->second.sha256 == p.sha256 ||
         (old->second.sha256 == UnknownDigest && old->second.size == p.size))) {
        p.messageId = old->second.messageId;
        p.date = old->second.date;
        p.subject = old->second.subject;
    }
    Thumbnail t = thumbnailer.make(file, thumbnailPath(group.folder, name));
    if (t.unreadable) unreadable = file + ": " + t.error;
    p.state = t.made ? PictureState::Shown : PictureState::Unreadable;
    p.hash = t.hash;
    p.width = t.width;
    p.height = t.height;
    p.thumbWidth = t.thumbWidth;
    p.thumbHeight = t.thumbHeight;
    return p;
}

// Thumbnails whose picture is no longer listed.
int removeStrayThumbnails(const PictureGroup& group, const std::set<std::string>& listed) {
    const std::string dir = joinPath(group.folder, "thumbs");
    int removed = 0;
    for (const std::string& name : entriesOf(dir)) {
        const bool ours = name.size() > 4 && name.ends_with(".jpg");
        if (ours && !listed.count(name.substr(0, name.size() - 4)) &&
            std::remove(joinPath(dir, name).c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

// pictures in the order recorded (oldest first); the galleries show them newest first.
void writeGalleries(std::span<const PictureGroup> groups,
                    const std::vector<StoredPicture>& pictures) {
    for (const PictureGroup& group : groups) {
        std::vector<StoredPicture> listed;
        for (auto p = pictures.rbegin(); p != pictures.rend(); ++p) {
            if (p->group == group.name) listed.push_back(*p);
        }
        writeGalleryPage(group.folder, group.name, listed);
    }
}

}  // namespace

std::string relativeToData(std::string_view dataDirectory, std::string_view file) {
    std::string prefix(dataDirectory);
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    if (file.starts_with(prefix)) return std::string(file.substr(prefix.size()));
    return std::string(file);
}

std::vector<PictureGroup> pictureGroupsIn(const std::string& dataDirectory) {
    std::vector<PictureGroup> groups;
    for (const std::string& folder : entriesOf(dataDirectory)) {
        const std::string path = joinPath(dataDirectory, folder);
        if (fileExists(joinPath(path, "data.lst")))
            groups.push_back({GroupFolder::groupNameOf(folder), path});
    }
    return groups;
}

RebuildReport rebuildPictures(PictureDatabase& database, const Thumbnailer& thumbnailer,
                              std::span<const PictureGroup> groups, const RebuildOptions& options) {
    const auto& [keepOtherGroups, progress, stop] = options;
    std::set<std::string, std::less<>> rebuilt;
    for (const PictureGroup& group : groups) rebuilt.insert(group.name);
    Known known;
    std::vector<StoredPicture> kept;  // of the groups not rebuilt
    for (StoredPicture& p : database.all()) {
        if (keepOtherGroups && !rebuilt.count(p.group))
            kept.push_back(std::move(p));
        else
            known.emplace(p.path, std::move(p));
    }
    std::vector<std::pair<const PictureGroup*, PictureList>> lists;
    int total = 0;
    for (const PictureGroup& group : groups) {
        PictureList list;
        readPictureListFile(joinPath(group.folder, "data.lst"), list);
        std::erase_if(
            list, [](const auto& entry) { return !entry.second || !canThumbnail(entry.first); });
        total += static_cast<int>(list.size());
        lists.emplace_back(&group, std::move(list));
    }

    RebuildReport report;
    std::vector<StoredPicture> pictures;
    int done = 0;
    for (const auto& [group, list] : lists) {
        std::set<std::string> listed;
        for (const auto& [name, record] : list) {
            if (stop && stop->load()) {
                report.stopped = true;
                return report;
            }
            std::string unreadable;
            auto p = reread(thumbnailer, *group, database.dataDirectory(), name, *record, known,
                            unreadable);
            if (!unreadable.empty() && report.unreadable++ == 0)
                report.firstUnreadable = std::move(unreadable);
            if (p) {
                listed.insert(name);
                report.shown += p->state == PictureState::Shown;
                pictures.push_back(std::move(*p));
            } else {
                ++report.missing;
            }
            if (progress) progress(++done, total);
        }
        report.removedThumbnails += removeStrayThumbnails(*group, listed);
    }
    report.pictures = static_cast<int>(pictures.size());
    std::map<std::string, bool> keptNear;  // by path
    for (StoredPicture& p : kept) {
        keptNear.emplace(p.path, p.near);
        pictures.push_back(std::move(p));
    }
    // Ids in the order the pictures were decoded, as recording them gave.
    std::sort(pictures.begin(), pictures.end(), [](const StoredPicture& a, const StoredPicture& b) {
        return std::tie(a.date, a.path) < std::tie(b.date, b.path);
    });
    markNearDuplicates(pictures, NearDuplicateDistance);
    report.stored = database.replaceAll(pictures);
    // The galleries rebuilt, and those of other groups whose pictures now look like one of
    // them (or no longer do).
    std::vector<PictureGroup> galleries(groups.begin(), groups.end());
    std::set<std::string> changed;
    for (const StoredPicture& p : pictures) {
        auto before = keptNear.find(p.path);
        if (before == keptNear.end() || before->second == p.near || !changed.insert(p.group).second)
            continue;
        galleries.push_back(
            {p.group, joinPath(database.dataDirectory(), p.path.substr(0, p.path.find('/')))});
    }
    writeGalleries(galleries, pictures);
    return report;
}

}  // namespace qm
