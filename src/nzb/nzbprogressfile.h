// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What has been fetched of an NZB, kept in its folder (".qmere-nzb.state") so that a kill
// loses at most the segments in flight: one line per segment stored ("S file number"), per
// segment the server does not have ("M file number"), per yEnc file its size and posted name
// as its first part tells them ("Y file size name") and per file finished and named
// ("D file name"), appended as each happens. A file is its position in the NZB; the first
// line names the NZB (a digest of its content), so another NZB of the same name starts over.
//
// A process kill, not a power cut: lines are not synced one by one.
//
// One per NZB fetch, owned by it. record() may be called from any thread.
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file.h"

namespace qm {

inline constexpr char NzbProgressFileName[] = ".qmere-nzb.state";

class NzbProgressFile {
  public:
    // Reads folder's state when it belongs to the NZB of digest, else starts a new one;
    // opens it for appending. False (errno) when it cannot be written.
    bool open(const std::string& folder, std::uint32_t digest);

    using Segment = std::pair<int, int>;  // file, number
    const std::set<Segment>& stored() const { return m_stored; }
    const std::set<Segment>& missing() const { return m_missing; }
    // File -> the name it was given.
    const std::map<int, std::string>& finished() const { return m_finished; }
    struct YencFile {
        std::uint64_t size = 0;
        std::string name;
    };
    const std::map<int, YencFile>& yencFiles() const { return m_yenc; }

    // Appends one line ('S', 'M', 'Y' or 'D' with its values); false (errno) when it could not be
    // written whole.
    bool record(char kind, int file, std::string_view value);

  private:
    void parse(std::string_view text);

    std::mutex m_mutex;
    UniqueFd m_fd;  // guarded by m_mutex
    std::set<Segment> m_stored;
    std::set<Segment> m_missing;
    std::map<int, std::string> m_finished;
    std::map<int, YencFile> m_yenc;
};

}  // namespace qm
