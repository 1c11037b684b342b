// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/groupentry.h"

namespace qm {

std::string GroupStats::idxPage() const {
    std::lock_guard lock(m_pagesMutex);
    return m_idxPage;
}

std::string GroupStats::contPage() const {
    std::lock_guard lock(m_pagesMutex);
    return m_contPage;
}

void GroupStats::setPages(std::string idx, std::string cont) {
    std::lock_guard lock(m_pagesMutex);
    m_idxPage = std::move(idx);
    m_contPage = std::move(cont);
}

void GroupStats::setIdxPage(std::string idx) {
    std::lock_guard lock(m_pagesMutex);
    m_idxPage = std::move(idx);
}

void GroupStats::setContPage(std::string cont) {
    std::lock_guard lock(m_pagesMutex);
    m_contPage = std::move(cont);
}

void GroupStats::reset() {
    count = 0;
    first = -1;
    last = 0;
    current = -1;
    runStart = -1;
    retrieved = 0;
    decoded = 0;
    pictureFiles = 0;
    assembled = 0;
    bytes = 0;
    articleInProgress = nullptr;
    setPages({}, {});
    pictures.clear();
}

unsigned groupNameHash(std::string_view name) {
    // Unsigned: a hostile name of a megabyte must wrap, not overflow.
    unsigned hash = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        hash += static_cast<unsigned char>(name[i]) + static_cast<unsigned>(i);
    }
    return hash;
}

GroupEntry::GroupEntry(std::string name, int flags)
    : m_name(std::move(name)), m_hash(groupNameHash(m_name)), m_flags(flags) {}

GroupStats& GroupEntry::ensureStats() {
    if (GroupStats* s = stats()) return *s;
    static std::mutex creation;
    std::lock_guard lock(creation);
    if (GroupStats* s = stats()) return *s;
    m_statsOwner = std::make_unique<GroupStats>();
    m_stats.store(m_statsOwner.get(), std::memory_order_release);
    return *m_statsOwner;
}

}  // namespace qm
