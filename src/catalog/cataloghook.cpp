// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/cataloghook.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "catalog/articlejournal.h"
#include "catalog/indexpages.h"
#include "catalog/messagehistory.h"
#include "catalog/picturecatalog.h"
#include "catalog/picturelist.h"
#include "catalog/picturerebuild.h"
#include "catalog/thumbnailer.h"
#include "config/appsettings.h"
#include "model/groupentry.h"
#include "platform/paths.h"

namespace qm {

namespace {

// Removes a decoded copy of a picture recorded before, with its description; false (the copy
// stays, to be catalogued) when it cannot be removed.
bool dropDuplicate(const AppSettings& settings, const DecodeInputs& inputs, const std::string& path,
                   const std::string& descriptionPath, const StoredPicture& first) {
    if (std::remove(path.c_str()) != 0) return false;
    if (!descriptionPath.empty()) std::remove(descriptionPath.c_str());
    settings.frontend().appendLog("Duplicate picture " + path + " removed: a copy of " +
                                  joinPath(inputs.dataDirectory, first.path));
    return true;
}

}  // namespace

bool CatalogHook::wantsFileStart() const {
    return m_pictures != nullptr && m_settings.thumbnails != 0;
}

// Called once the file is complete, with DecodeLock held. The duplicate decision and the
// hand-over to the thumbnail worker stay in this one function, wherever the sink is called.
void CatalogHook::onFileDecoded(const DecodeInputs& inputs, const std::string& path,
                                const std::string& descriptionPath, const FileStart& start) {
    const bool picture = wantsFileStart() && inputs.group && canThumbnail(baseName(path));
    PictureAdmission admission;
    if (picture) {
        admission = m_pictures->admit(inputs.dataDirectory, path, start);
        // Its article stays recorded as retrieved (the retrieval loop did that), so the copy
        // is not fetched again either.
        if (admission.first && m_settings.skipDuplicatePictures != 0 &&
            dropDuplicate(m_settings, inputs, path, descriptionPath, *admission.first))
            return;
    }
    qm::onFileDecoded(m_settings, inputs, path);
    if (inputs.group && isPictureFile(baseName(path), start.head))
        if (GroupStats* stats = inputs.group->stats()) stats->pictureFiles.fetch_add(1);
    if (!picture || !admission.check.readable()) return;
    const std::string folder = inputs.outputDirectory.empty()
                                   ? groupDirectory(m_settings, *inputs.group)
                                   : inputs.outputDirectory;
    m_pictures->submit(inputs.dataDirectory,
                       {path, inputs.group->name(), folder, inputs.subject, inputs.messageId},
                       admission.check);
}

void CatalogHook::countAssembled(const DecodeInputs& inputs) {
    qm::countAssembled(inputs.group);
}

namespace {

void recordFiles(MessageHistory& history, const DecodeInputs& inputs,
                 const ArticleOutputs& outputs) {
    const std::int64_t now = std::time(nullptr);
    for (const PendingOutput& output : outputs.files) {
        DecodedFileRecord file{relativeToData(inputs.dataDirectory, output.path),
                               inputs.group->name(), now, inputs.subject, output.segments};
        if (file.segments.empty() && !inputs.messageId.empty())
            file.segments.push_back({inputs.messageId, inputs.articleBytes});
        if (!file.segments.empty() && file.path != output.path) history.addFile(std::move(file));
    }
}

}  // namespace

DecodeResult CatalogHook::commitArticle(const DecodeInputs& inputs, const ArticleOutputs& outputs) {
    if (!m_journal || !m_journal->isOpen()) return {};
    std::optional<JournalRecord> record =
        journalRecord(inputs, outputs, m_journal->dataDirectory());
    if (!record || m_journal->append(*record)) {
        if (m_history && m_history->isOpen() && inputs.group)
            recordFiles(*m_history, inputs, outputs);
        return {};
    }
    DecodeResult failed;
    failed.error = errno;
    failed.path = m_journal->path();
    return failed;
}

}  // namespace qm
