// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The log file "Log" in the data directory: duplicate-id notices and the decoder's
// information and warning lines. Every entry is followed by a line end of the file's own
// and flushed at once. Thread-safe; entries of different threads never interleave.
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace qm {

class LogFile {
  public:
    // Opens (truncating) the file; false when it cannot be created. Entries written while
    // no file is open are dropped.
    bool open(const std::string& path);
    // Opens for appending instead of truncating.
    bool openAppend(const std::string& path);
    void close();
    bool isOpen() const;
    std::string path() const;

    // Writes text and then one "\n", and flushes.
    void write(std::string_view text);

  private:
    mutable std::mutex m_mutex;
    FilePtr m_file;  // guarded by m_mutex
    std::string m_path;
};

}  // namespace qm
