// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/savedarticle.h"

#include <cstdio>

#include "config/frontend.h"
#include "decode/decoder.h"
#include "decode/subject.h"
#include "model/groupentry.h"
#include "platform/paths.h"

namespace qm {

void SavedArticle::reset() {
    number = -1;
    file.reset();
    m_sink = Sink::None;
    m_text.clear();
    m_bytes = 0;
    lines = 0;
    lineCount = 0;
    part = 1;
    total = 1;
    key.clear();
    // An article without a Subject header must not show, be filtered or be catalogued
    // under the previous article's.
    std::lock_guard lock(m_subjectMutex);
    m_subject.clear();
}

void SavedArticle::setGroup(const std::string& dataDirectory, const GroupEntry& group) {
    m_folder = GroupFolder(dataDirectory, group.name());
}

std::string SavedArticle::filePath() const {
    if (m_folder.empty() || number < 0) return {};
    return m_folder.file(std::to_string(number));
}

std::string SavedArticle::path() const {
    std::string result = filePath();
    if (result.empty() || makeDirectories(m_folder.path()) != 0) return {};
    return result;
}

int SavedArticle::open(Frontend& frontend, bool toFile) {
    m_frontend = &frontend;
    m_text.clear();
    m_bytes = 0;
    file.reset();
    if (!toFile || m_memoryOnly) {
        m_sink = Sink::Memory;
        return 0;
    }
    return moveToFile() ? 0 : -1;
}

bool SavedArticle::moveToFile() {
    std::string target = path();
    file = target.empty() ? FilePtr() : openFile(target, "w");
    if (file && !m_text.empty()) std::fwrite(m_text.data(), 1, m_text.size(), file.get());
    m_text.clear();
    if (!file) {
        m_sink = Sink::Dropped;
        if (m_frontend)
            m_frontend->appendLog("Failed to open file " + target + " when saving message");
        return false;
    }
    m_sink = Sink::File;
    return true;
}

void SavedArticle::append(std::string_view text) {
    m_bytes += static_cast<std::int64_t>(text.size());
    switch (m_sink) {
        case Sink::Memory:
            m_text.append(text);
            if (m_text.size() > MemoryLimit) {
                if (m_memoryOnly) {
                    m_text.clear();
                    m_sink = Sink::Dropped;
                } else {
                    moveToFile();
                }
            }
            break;
        case Sink::File:
            if (file) std::fwrite(text.data(), 1, text.size(), file.get());
            break;
        case Sink::None:
        case Sink::Dropped:
            break;
    }
}

void SavedArticle::appendLine(std::string_view line) {
    if (m_sink == Sink::Memory && m_text.size() + line.size() < MemoryLimit) {
        m_bytes += static_cast<std::int64_t>(line.size()) + 1;
        m_text.append(line);
        m_text.push_back('\n');
        return;
    }
    append(line);
    append("\n");
}

DecodeResult SavedArticle::decode(Decoder& decoder, const DecodeInputs& inputs, bool overwrite,
                                  bool keepText) {
    // Whatever is still buffered for writing must be on disk before the decoder reads it.
    file.reset();
    FilePtr in;
    if (m_sink == Sink::Memory) {
        if (m_text.empty()) return {};  // never happens: the header comes first
        in.reset(::fmemopen(m_text.data(), m_text.size(), "r"));
    } else if (m_sink == Sink::File) {
        std::string source = filePath();
        if (source.empty()) return {};
        in = openFile(source, "r");
    }
    if (!in) return {};
    // The picture catalogue records where each picture came from, and the article's commit
    // records it by its message-id and number.
    DecodeInputs article = inputs;
    article.messageId = messageId;
    article.articleNumber = number;
    article.articleBytes = m_bytes;
    return decoder.decodeArticle(std::move(in), article, false, overwrite, keepText);
}

void SavedArticle::discard() {
    file.reset();
    m_text.clear();
    const bool written = m_sink == Sink::File;
    m_sink = Sink::None;
    if (!written) return;
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
