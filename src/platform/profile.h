#pragma once
// The per-user profile: named sections of string and 32-bit integer values, in an INI file.
// A missing value reads as its default. Every change is written through at once, atomically
// (temporary file and rename), re-reading the file first so that two programs sharing the
// profile (the windows and the command line) do not drop each other's keys.
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

    // Several changes in one write.
    bool setMany(std::string_view section,
                 const std::map<std::string, std::string, std::less<>>& values);

  private:
    using Sections =
        std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>>;
    Sections read() const;
    bool write(const Sections& sections) const;

    std::string m_path;
    mutable std::mutex m_mutex;
};

}  // namespace qm
