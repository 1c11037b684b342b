// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/nzbjob.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "catalog/messagehistory.h"
#include "catalog/picturerebuild.h"
#include "catalog/thumbnailer.h"
#include "decode/outputnames.h"
#include "decode/yenc.h"
#include "model/locks.h"
#include "nzb/nzbparser.h"
#include "nzb/nzbwriter.h"
#include "nzb/par2tool.h"
#include "platform/paths.h"
#include "session/session.h"

namespace qm {

std::string NzbJob::folderFor(const std::string& dataDirectory, const std::string& nzbPath) {
    std::string name(baseName(nzbPath));
    if (name.size() > 4) {
        std::string tail = name.substr(name.size() - 4);
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (tail == ".nzb") name.resize(name.size() - 4);
    }
    std::string safe = safeOutputName(name);
    if (safe.empty()) safe = "nzb";
    return joinPath(joinPath(dataDirectory, "nzb"), safe);
}

std::string NzbJob::groupFor(const std::string& folder) {
    return "nzb/" + std::string(baseName(folder));
}

NzbOutcome NzbJob::run(const std::string& nzbPath, const NzbDocument& document, int connections,
                       const std::function<bool()>& keepGoing) {
    NzbOutcome outcome;
    m_document = &document;
    m_connections = connections;
    const AppSettings& settings = m_session.settings();
    m_folder = folderFor(settings.dataDirectory, nzbPath);
    m_group = groupFor(m_folder);
    outcome.folder = m_folder;
    const std::string text = formatNzb(document);
    if (makeDirectories(m_folder) != 0 || !m_progress.open(m_folder, crc32Update(0, text))) {
        outcome.failures.push_back("Fail to create directory " + m_folder);
        return outcome;
    }
    m_done = m_progress.finished();

    // The recovery volumes wait until a verify asks for them.
    std::vector<int> files;
    for (std::size_t i = 0; i < document.files.size(); ++i)
        if (!par2VolumeBlocks(nzbFileName(document.files[i].subject)))
            files.push_back(static_cast<int>(i));
    outcome.failures = fetch(files, keepGoing, outcome.stopped);
    if (outcome.stopped || !outcome.failures.empty()) {
        outcome.files = static_cast<int>(m_done.size());
        return outcome;
    }
    for (int index : files) {
        const auto done = m_done.find(index);
        if (done == m_done.end()) continue;
        const auto indexName = par2IndexName(done->second);
        if (indexName && *indexName == done->second)
            repairSet(index, done->second, outcome, keepGoing);
        if (outcome.stopped) break;
    }
    // Whole again when every set is: the pictures that waited are catalogued now.
    if (!outcome.stopped && !outcome.shortSet && !outcome.sets.empty()) {
        for (const auto& [file, fetched] : m_damaged)
            catalogue(fetched.path, fetched.subject, fetched.messageId);
        m_damaged.clear();
    }
    outcome.files = static_cast<int>(m_done.size());
    return outcome;
}

std::vector<std::string> NzbJob::fetch(const std::vector<int>& files,
                                       const std::function<bool()>& keepGoing, bool& stopped) {
    NzbFetcher fetcher(*m_session.m_settings, m_server, *m_document, m_folder, m_progress,
                       [this](const FetchedFile& file) { fileDone(file); });
    m_figures = &fetcher.figures();
    std::vector<std::string> failures = fetcher.run(files, m_connections, keepGoing);
    m_figures = nullptr;
    stopped = fetcher.stopped();
    return failures;
}

void NzbJob::fileDone(const FetchedFile& file) {
    m_session.settings().frontend().appendLog("Decoded file " + file.path);
    // Its articles, for an NZB of the folder's files written later.
    const NzbFile& listed = m_document->files[static_cast<std::size_t>(file.file)];
    DecodedFileRecord decoded{relativeToData(m_session.settings().dataDirectory, file.path),
                              m_group,
                              std::time(nullptr),
                              file.subject,
                              {}};
    for (const NzbSegment& segment : listed.segments)
        decoded.segments.push_back({"<" + segment.messageId + ">", segment.bytes});
    m_session.history().addFile(std::move(decoded));
    {
        std::lock_guard lock(m_mutex);
        m_done[file.file] = std::string(baseName(file.path));
        // A picture with holes would be catalogued with a broken thumbnail: it waits for its
        // set's repair.
        if (file.missingSegments > 0 || file.damagedSegments > 0) {
            m_damaged.emplace(file.file, file);
            return;
        }
    }
    catalogue(file.path, file.subject, file.messageId);
}

void NzbJob::catalogue(const std::string& path, const std::string& subject,
                       const std::string& messageId) {
    if (!canThumbnail(baseName(path))) return;
    const AppSettings& settings = m_session.settings();
    PictureCatalog& pictures = m_session.pictures();
    std::lock_guard lock(DecodeLock);
    PictureAdmission admission = pictures.admit(settings.dataDirectory, path);
    if (admission.first && settings.skipDuplicatePictures != 0) {
        settings.frontend().appendLog(path + " is a copy of " + admission.first->path +
                                      ": removed");
        std::remove(path.c_str());
        return;
    }
    if (admission.check.readable())
        pictures.submit(settings.dataDirectory, {path, m_group, m_folder, subject, messageId},
                        admission.check);
}

void NzbJob::repairSet(int index, const std::string& indexName, NzbOutcome& outcome,
                       const std::function<bool()>& keepGoing) {
    Frontend& frontend = m_session.settings().frontend();
    Par2Verify verify = par2Verify(m_folder, indexName);
    if (verify.toolMissing) {
        if (!m_toolMissingSaid)
            frontend.appendLog("par2 is not installed: the files are kept as they are, unverified");
        m_toolMissingSaid = true;
        return;
    }
    if (verify.complete) {
        outcome.sets.push_back(indexName + ": complete");
        return;
    }
    // This set's volumes not fetched yet, the smallest first.
    const std::string wanted =
        nzbFileName(m_document->files[static_cast<std::size_t>(index)].subject);
    std::vector<std::pair<int, int>> volumes;  // blocks, file
    int offered = 0;
    for (std::size_t i = 0; i < m_document->files.size(); ++i) {
        const std::string name = nzbFileName(m_document->files[i].subject);
        const auto blocks = par2VolumeBlocks(name);
        if (!blocks || par2IndexName(name) != par2IndexName(wanted) ||
            m_done.contains(static_cast<int>(i)))
            continue;
        volumes.emplace_back(*blocks, static_cast<int>(i));
        offered += *blocks;
    }
    std::sort(volumes.begin(), volumes.end());
    const int needed = verify.missingBlocks - verify.recoveryBlocks;
    std::vector<int> chosen;
    for (int sum = 0; sum < needed && !volumes.empty() && offered >= needed;) {
        sum += volumes.front().first;
        chosen.push_back(volumes.front().second);
        volumes.erase(volumes.begin());
    }
    if (!chosen.empty()) {
        std::vector<std::string> failures = fetch(chosen, keepGoing, outcome.stopped);
        outcome.failures.insert(outcome.failures.end(), failures.begin(), failures.end());
        if (outcome.stopped) return;
        verify = par2Verify(m_folder, indexName);
    }
    if (!verify.possible ||
        !par2Repair(m_folder, indexName, m_session.settings().removePar2AfterRepair != 0)) {
        outcome.shortSet = true;
        int unfetched = 0;
        for (const auto& volume : volumes) unfetched += volume.first;
        outcome.sets.push_back(indexName + ": short: " + std::to_string(verify.missingBlocks) +
                               " blocks missing, " +
                               std::to_string(verify.recoveryBlocks + unfetched) + " available");
        return;
    }
    outcome.sets.push_back(indexName + ": repaired (" + std::to_string(verify.missingBlocks) +
                           " blocks)");
}

}  // namespace qm
