// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/nzbexport.h"

#include <sys/stat.h>

#include <map>
#include <set>

#include "catalog/messagehistory.h"
#include "catalog/picturedatabase.h"
#include "catalog/picturerebuild.h"
#include "platform/paths.h"

namespace qm {
namespace {

bool isRegularFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string bare(std::string_view id) {
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    return std::string(id);
}

NzbFile nzbFile(const std::string& group, std::int64_t date, const std::string& subject,
                const std::string& path, const std::vector<ArticleSegment>& segments) {
    NzbFile file;
    file.poster = "qmere";
    file.date = date;
    // The name in quotes, as posting tools write it, so a reader of the NZB knows the file.
    const std::string name(baseName(path));
    file.subject =
        subject.find(name) == std::string::npos ? subject + " \"" + name + "\"" : subject;
    file.groups.push_back(group);
    int number = 0;
    for (const ArticleSegment& segment : segments)
        if (std::string id = bare(segment.messageId); !id.empty())
            file.segments.push_back({++number, segment.bytes, std::move(id)});
    return file;
}

// What the picture database knows of pictures decoded before the history kept their
// articles, by path; empty when it cannot be opened.
std::map<std::string, StoredPicture> recordedPictures(const std::string& dataDirectory,
                                                      std::string& error) {
    std::map<std::string, StoredPicture> pictures;
    PictureDatabase database(dataDirectory, [&](std::string_view line) { error = line; });
    if (!database.open()) {
        if (error.empty()) error = "the picture database cannot be opened";
        return pictures;
    }
    for (StoredPicture& picture : database.all()) {
        std::string path = picture.path;
        pictures.emplace(std::move(path), std::move(picture));
    }
    return pictures;
}

}  // namespace

NzbExport exportGroup(MessageHistory& history, const std::string& dataDirectory,
                      std::string_view group, std::optional<int> sinceDays, std::int64_t now) {
    NzbExport result;
    const std::int64_t since = sinceDays ? now - std::int64_t{*sinceDays} * 86400 : 0;
    std::set<std::string> listed;
    for (const DecodedFileRecord& file : history.files(group)) {
        if (file.date < since || !isRegularFile(joinPath(dataDirectory, file.path))) continue;
        NzbFile nzb = nzbFile(file.group, file.date, file.subject, file.path, file.segments);
        if (nzb.segments.empty()) continue;
        listed.insert(file.path);
        result.document.files.push_back(std::move(nzb));
    }
    std::string error;
    for (const auto& [path, picture] : recordedPictures(dataDirectory, error)) {
        if (picture.group != group || picture.date < since || listed.contains(path)) continue;
        if (bare(picture.messageId).empty()) {
            ++result.withoutId;
            continue;
        }
        result.document.files.push_back(nzbFile(picture.group, picture.date, picture.subject, path,
                                                {{picture.messageId, picture.size}}));
    }
    if (result.document.files.empty()) result.error = error;
    return result;
}

NzbExport exportFiles(MessageHistory& history, const std::string& dataDirectory,
                      std::span<const std::string> paths) {
    NzbExport result;
    std::map<std::string, StoredPicture> pictures;
    bool picturesRead = false;
    for (const std::string& full : paths) {
        const std::string path = relativeToData(dataDirectory, full);
        if (std::optional<DecodedFileRecord> file = history.file(path)) {
            NzbFile nzb = nzbFile(file->group, file->date, file->subject, path, file->segments);
            if (!nzb.segments.empty()) {
                result.document.files.push_back(std::move(nzb));
                continue;
            }
        }
        if (!picturesRead) {
            pictures = recordedPictures(dataDirectory, result.error);
            picturesRead = true;
        }
        const auto picture = pictures.find(path);
        if (picture == pictures.end() || bare(picture->second.messageId).empty()) {
            ++result.withoutId;
            continue;
        }
        const StoredPicture& known = picture->second;
        result.document.files.push_back(
            nzbFile(known.group, known.date, known.subject, path, {{known.messageId, known.size}}));
    }
    if (!result.document.files.empty()) result.error.clear();
    return result;
}

}  // namespace qm
