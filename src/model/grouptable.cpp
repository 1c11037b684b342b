// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/grouptable.h"

#include <algorithm>

namespace qm {

GroupEntry* GroupTable::find(std::string_view name) const {
    unsigned hash = groupNameHash(name);
    for (GroupEntry* e : m_buckets[hash % BucketCount]) {
        if (e->hash() == hash && e->name() == name) return e;
    }
    return nullptr;
}

bool GroupTable::add(GroupEntry& entry) {
    if (find(entry.name())) return false;
    m_order.push_back(&entry);
    m_buckets[entry.hash() % BucketCount].push_back(&entry);
    return true;
}

bool GroupTable::remove(std::string_view name) {
    GroupEntry* e = find(name);
    if (!e) return false;
    auto& bucket = m_buckets[e->hash() % BucketCount];
    bucket.erase(std::find(bucket.begin(), bucket.end(), e));
    m_order.erase(std::find(m_order.begin(), m_order.end(), e));
    return true;
}

void GroupTable::clear() {
    m_order.clear();
    for (auto& bucket : m_buckets) bucket.clear();
}

}  // namespace qm
