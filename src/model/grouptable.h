// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A set of references to shared GroupEntry records, keyed by name: an order list (additions
// at the front) and 911 hash buckets. The table never owns its entries.
//
// Not thread-safe: the program orders access (the window thread does not change a table that
// a worker is filling; the readers' own sets are guarded by DecodeLock).
#include <array>
#include <cstddef>
#include <ranges>
#include <string_view>
#include <vector>

#include "model/groupentry.h"

namespace qm {

struct GroupTableEntries {
    std::vector<GroupEntry*>::const_reverse_iterator first, last;
    auto begin() const { return first; }
    auto end() const { return last; }
};

class GroupTable {
  public:
    static constexpr unsigned BucketCount = 911;

    GroupEntry* find(std::string_view name) const;
    bool contains(const GroupEntry& entry) const { return find(entry.name()) != nullptr; }
    // Adds at the front unless a group of that name is present; true when added.
    bool add(GroupEntry& entry);
    // Removes the entry with that name; true when one was there.
    bool remove(std::string_view name);
    void clear();

    std::size_t size() const { return m_order.size(); }
    bool empty() const { return m_order.empty(); }
    // The front of the order list (the last addition), or null.
    GroupEntry* front() const { return m_order.empty() ? nullptr : m_order.back(); }

    // Entries from the front of the order list to its back. A plain iterator pair: clang 14
    // (the fuzz and sanitizer compiler) cannot compile libstdc++ 12's range views.
    GroupTableEntries entries() const {
        return GroupTableEntries{m_order.rbegin(), m_order.rend()};
    }

  private:
    // Stored back to front: the front of the order list is the vector's last element, so an
    // addition at the front is a push_back.
    std::vector<GroupEntry*> m_order;
    std::array<std::vector<GroupEntry*>, BucketCount> m_buckets;
};

}  // namespace qm
