// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/nzbexport.h"

#include "catalog/picturedatabase.h"
#include "platform/paths.h"

namespace qm {

NzbExport exportGroup(const std::string& dataDirectory, std::string_view group,
                      std::optional<int> sinceDays, std::int64_t now) {
    NzbExport result;
    std::string logged;
    PictureDatabase database(dataDirectory, [&](std::string_view line) { logged = line; });
    if (!database.open()) {
        result.error = logged.empty() ? "the picture database cannot be opened" : logged;
        return result;
    }
    const std::int64_t since = sinceDays ? now - std::int64_t{*sinceDays} * 86400 : 0;
    for (const StoredPicture& picture : database.all()) {
        if (picture.group != group || picture.date < since) continue;
        std::string id = picture.messageId;
        if (id.size() >= 2 && id.front() == '<' && id.back() == '>')
            id = id.substr(1, id.size() - 2);
        if (id.empty()) {
            ++result.withoutId;
            continue;
        }
        NzbFile file;
        file.poster = "qmere";
        file.date = picture.date;
        // The name in quotes, as posting tools write it, so a reader of the NZB knows the file.
        const std::string name(baseName(picture.path));
        file.subject = picture.subject.find(name) == std::string::npos
                           ? picture.subject + " \"" + name + "\""
                           : picture.subject;
        file.groups.emplace_back(group);
        file.segments.push_back({1, picture.size, id});
        result.document.files.push_back(std::move(file));
    }
    return result;
}

}  // namespace qm
