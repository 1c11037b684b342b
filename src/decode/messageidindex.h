#pragma once
// The ring of the most recent message-ids retrieved (10000), kept in "MSGLIST" in the data
// directory, so an article cross-posted or met again in a later run is fetched only once.
//
// No lock of its own: every call runs with DecodeLock held.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qm {

class LogFile;

class MessageIdIndex {
public:
    explicit MessageIdIndex(int capacity = 10000);

    // path := dir + "/MSGLIST"; the index is emptied.
    void setDirectory(const std::string& dir);
    const std::string& path() const { return m_path; }

    // 0, or -1 when full and overwrite is false (nothing stored).
    int add(std::string_view id, bool overwrite);
    // 1 when present (and writes "Duplicated id " + id to log, when given), else 0.
    int contains(std::string_view id, LogFile* log = nullptr) const;
    // 0, or -1 when the file cannot be written (the old file stays intact).
    int save() const;
    // 0, or -1 when the file cannot be opened.
    int load();

    int capacity() const { return m_capacity; }
    int size() const;
    static int checksum(std::string_view id);

private:
    int m_capacity;
    int m_head = -1;
    int m_tail = -1;
    std::vector<int> m_checksums;
    std::vector<std::string> m_ids;
    std::string m_path;
    // Beside the ring, for a constant-time contains: id -> number of slots holding it.
    std::unordered_map<std::string, int> m_lookup;
};

}  // namespace qm
