// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/messageidindex.h"

#include "platform/paths.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "platform/file.h"
#include "platform/logfile.h"

namespace qm {

namespace {

constexpr int EmptySlot = -1;

bool isWhiteSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

MessageIdIndex::MessageIdIndex(int capacity) : m_capacity(std::max(capacity, 1)) {}

void MessageIdIndex::allocate() {
    if (!m_ids.empty()) return;
    // Made for the first id: a program that never stores one (showing the settings) never
    // touches the memory of 10,000 slots.
    m_checksums.assign(static_cast<size_t>(m_capacity), EmptySlot);
    m_ids.resize(static_cast<size_t>(m_capacity));
    m_lookup.reserve(static_cast<size_t>(m_capacity));
}

int MessageIdIndex::checksum(std::string_view id) {
    std::uint32_t sum = 0;
    std::uint32_t position = 0;
    for (unsigned char c : id) sum += position++ + c;
    return static_cast<int>(sum & 0x7fffffffu);
}

void MessageIdIndex::setDirectory(const std::string& dir) {
    std::lock_guard lock(m_mutex);
    m_history = nullptr;  // it is the old folder's
    m_path = joinPath(dir, "MSGLIST");
    m_head = m_tail = -1;
    m_pending = false;
    std::fill(m_checksums.begin(), m_checksums.end(), EmptySlot);
    m_lookup.clear();
}

int MessageIdIndex::size() {
    std::lock_guard lock(m_mutex);
    readPending();
    return count();
}

std::vector<std::string> MessageIdIndex::ids() {
    std::lock_guard lock(m_mutex);
    readPending();
    std::vector<std::string> out;
    const int n = count();
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const size_t slot = static_cast<size_t>((m_head + i) % m_capacity);
        if (m_checksums[slot] != EmptySlot) out.push_back(m_ids[slot]);
    }
    return out;
}

int MessageIdIndex::count() const {
    if (m_head < 0 || m_tail < 0) return 0;
    return (m_tail - m_head + m_capacity) % m_capacity + 1;
}

void MessageIdIndex::forget(int slot) {
    auto& checksum = m_checksums[static_cast<size_t>(slot)];
    if (checksum == EmptySlot) return;
    auto it = m_lookup.find(m_ids[static_cast<size_t>(slot)]);
    if (it != m_lookup.end() && --it->second == 0) m_lookup.erase(it);
    checksum = EmptySlot;
}

int MessageIdIndex::add(std::string_view id, bool overwrite) {
    {
        std::lock_guard lock(m_mutex);
        readPending();
        if (addLocked(id, overwrite) != 0) return -1;
    }
    if (m_history) m_history->add(id);
    return 0;
}

int MessageIdIndex::addLocked(std::string_view id, bool overwrite) {
    allocate();
    int slot = 0;
    if (m_head < 0 || m_tail < 0) {
        m_head = m_tail = 0;
    } else {
        slot = (m_tail + 1) % m_capacity;
        if (slot == m_head && !overwrite) return -1;
        m_tail = slot;
        if (slot == m_head) m_head = (m_head + 1) % m_capacity;
    }
    forget(slot);
    m_ids[static_cast<size_t>(slot)].assign(id);
    m_checksums[static_cast<size_t>(slot)] = checksum(id);
    auto it = m_lookup.find(id);
    if (it == m_lookup.end())
        m_lookup.emplace(std::string(id), 1);
    else
        ++it->second;
    return 0;
}

int MessageIdIndex::contains(std::string_view id, LogFile* log) {
    bool found;
    {
        std::lock_guard lock(m_mutex);
        readPending();
        found = m_head >= 0 && m_tail >= 0 && m_lookup.find(id) != m_lookup.end();
    }
    // Outside the ring's lock: the history's lookups of several readers run side by side.
    if (!found && m_history) found = m_history->contains(id);
    if (!found) return 0;
    if (log) log->write("Duplicated id " + std::string(id));
    return 1;
}

bool MessageIdIndex::inRing(std::string_view id) {
    std::lock_guard lock(m_mutex);
    readPending();
    return m_head >= 0 && m_tail >= 0 && m_lookup.find(id) != m_lookup.end();
}

int MessageIdIndex::save() {
    if (m_readOnly) return 0;
    std::string content;
    std::string path;
    {
        std::lock_guard lock(m_mutex);
        if (m_path.empty()) return -1;
        readPending();  // else the ids of the file would be lost
        const int n = count();
        for (int i = 0; i < n; ++i) {
            size_t slot = static_cast<size_t>((m_head + i) % m_capacity);
            if (m_checksums[slot] == EmptySlot) continue;
            content += m_ids[slot];
            content += '\n';
        }
        path = m_path;
    }
    return writeFileAtomic(path, content) ? 0 : -1;
}

int MessageIdIndex::load() {
    std::lock_guard lock(m_mutex);
    if (access(m_path.c_str(), R_OK) != 0 || isDirectory(m_path)) return -1;
    m_pending = true;
    return 0;
}

void MessageIdIndex::readPending() {
    if (!m_pending) return;
    m_pending = false;
    std::optional<std::string> content = readWholeFile(m_path);
    if (!content) return;  // gone since load(): as a missing file, nothing is added
    std::string_view text = *content;
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && isWhiteSpace(text[pos])) ++pos;
        size_t start = pos;
        while (pos < text.size() && !isWhiteSpace(text[pos])) ++pos;
        // Ids of the file are in the history already, or put there when it is attached.
        if (pos > start) (void)addLocked(text.substr(start, pos - start), true);
    }
}

}  // namespace qm
