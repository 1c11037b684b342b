#include "decode/savedarticle.h"

#include <cstdio>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "config/groupentry.h"
#include "decode/decoder.h"
#include "decode/subject.h"
#include "platform/paths.h"

namespace qm {

void SavedArticle::reset() {
    number = -1;
    file.reset();
    lines = 0;
    lineCount = 0;
    part = 1;
    total = 1;
    key.clear();
}

void SavedArticle::setGroup(const std::string& dataDirectory, const GroupEntry& group) {
    // The same folder as the catalogue's: a group name from the server that is a path of its
    // own is encoded, never followed.
    m_groupDirectory = joinPath(dataDirectory, safeFolderName(group.name()));
}

std::string SavedArticle::filePath() const {
    if (m_groupDirectory.empty() || number < 0) return {};
    return joinPath(m_groupDirectory, std::to_string(number));
}

std::string SavedArticle::path() const {
    std::string result = filePath();
    if (result.empty() || makeDirectories(m_groupDirectory) != 0) return {};
    return result;
}

int SavedArticle::openForWriting(Frontend& frontend) {
    std::string target = path();
    file = target.empty() ? FilePtr() : openFile(target, "w");
    if (!file) {
        frontend.appendLog("Failed to open file " + target + " when saving message");
        return -1;
    }
    return 0;
}

int SavedArticle::decode(Decoder& decoder, const AppSettings& settings) {
    // Whatever is still buffered for writing must be on disk before the decoder reads it.
    file.reset();
    std::string source = filePath();
    if (source.empty()) return 0;
    if (FilePtr in = openFile(source, "r"))
        decoder.decodeArticle(std::move(in), false, settings.keepDup == 0, settings.keepText != 0);
    return 0;
}

void SavedArticle::discard() {
    file.reset();
    std::string target = filePath();
    if (!target.empty()) std::remove(target.c_str());
}

void SavedArticle::setSubject(std::string subject) {
    {
        std::lock_guard lock(m_subjectMutex);
        m_subject = subject;
    }
    key = "none";
    (void)recognizeSubject(subject, key, part, total);
}

std::string SavedArticle::subject() const {
    std::lock_guard lock(m_subjectMutex);
    return m_subject;
}

}  // namespace qm
