// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A fresh temporary folder for one test, removed with everything in it afterwards; and an
// environment in which the profile and the data live there (XDG_CONFIG_HOME, XDG_DATA_HOME),
// so that no test ever writes into the real home folder.
#include <string>
#include <string_view>

namespace qm::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, without a trailing "/".
    const std::string& path() const { return m_path; }
    std::string file(std::string_view name) const;

    // Writes content to name (creating folders on the way); returns the full path.
    std::string write(std::string_view name, std::string_view content) const;
    // The content of name, or "<missing>".
    std::string read(std::string_view name) const;

  private:
    std::string m_path;
};

// Points XDG_CONFIG_HOME and XDG_DATA_HOME at folders of a TempDir while it lives.
class ScopedXdgHome {
  public:
    explicit ScopedXdgHome(const TempDir& dir);
    ~ScopedXdgHome();

  private:
    std::string m_oldConfig, m_oldData;
    bool m_hadConfig, m_hadData;
};

}  // namespace qm::test
