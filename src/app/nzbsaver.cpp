// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/nzbsaver.h"

#include <cerrno>
#include <cstring>

#include "nzb/nzbexport.h"
#include "nzb/nzbwriter.h"
#include "platform/file.h"
#include "session/session.h"

namespace qm {

FileManager::NzbSaver nzbSaver(Session& session) {
    return [&session](const std::vector<std::string>& paths, const std::string& target) {
        FileManager::NzbSaved saved;
        const NzbExport exported =
            exportFiles(session.history(), session.settings().dataDirectory, paths);
        saved.leftOut = exported.withoutId;
        if (exported.document.files.empty()) {
            // An NZB without a file would only mislead whoever opens it.
            saved.error = exported.error.empty()
                              ? "No NZB written: the message-ids of these files are not known"
                              : "No NZB written: " + exported.error;
            return saved;
        }
        if (!writeFileAtomic(target, formatNzb(exported.document))) {
            saved.error = "Fail create file " + target + ": " + std::strerror(errno);
            return saved;
        }
        saved.files = static_cast<int>(exported.document.files.size());
        return saved;
    };
}

}  // namespace qm
