// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The per-user profile: named sections of string and 32-bit integer values, in an INI file.
// A missing value reads as its default. Every change is written through at once, atomically
// (temporary file and rename), under the settings lock (platform/settingslock.h) and after
// reading the file again, so that two programs sharing the profile (the windows and the
// command line) never drop each other's keys.
// Thread-safe.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace qm {

class Profile {
  public:
    explicit Profile(std::string path);

    const std::string& path() const { return m_path; }

    std::string getString(std::string_view section, std::string_view key,
                          std::string_view fallback = {}) const;
    std::int32_t getInt(std::string_view section, std::string_view key,
                        std::int32_t fallback = 0) const;

    // False when the file cannot be written (the old file stays as it was).
    bool setString(std::string_view section, std::string_view key, std::string_view value);
    bool setInt(std::string_view section, std::string_view key, std::int32_t value);

    using Values = std::map<std::string, std::string, std::less<>>;

    // Several changes in one write.
    bool setMany(std::string_view section, const Values& values);
    // Writes the keys of changes, and those of defaults that the file does not hold yet (a key
    // another program wrote meanwhile keeps its value), in one write. Nothing is written when
    // the file holds all of it already. False when it cannot be written (errno says why).
    bool update(std::string_view section, const Values& changes, const Values& defaults);

    // Every key of a section as stored, in one read (empty when there is none).
    Values getSection(std::string_view section) const;

    // The lock every writer of the settings takes around its read-merge-write: the profile's,
    // and that of the lists written beside it ("server.lst", the group lists).
    std::string lockPath() const;

  private:
    using Sections = std::map<std::string, Values, std::less<>>;
    Sections read() const;
    bool write(const Sections& sections) const;

    std::string m_path;
    mutable std::mutex m_mutex;
};

}  // namespace qm
