// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/file.h"
#include "platform/paths.h"

namespace qm::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qmtest.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Read-only folders made by a test must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(std::string_view name) const {
    return joinPath(m_path, name);
}

std::string TempDir::write(std::string_view name, std::string_view content) const {
    std::string full = file(name);
    auto slash = full.rfind('/');
    (void)makeDirectories(full.substr(0, slash));
    FilePtr f = openFile(full, "wb");
    if (!f) throw std::runtime_error("cannot write " + full);
    std::fwrite(content.data(), 1, content.size(), f.get());
    return full;
}

std::string TempDir::read(std::string_view name) const {
    auto content = readWholeFile(file(name));
    return content ? *content : std::string("<missing>");
}

ScopedXdgHome::ScopedXdgHome(const TempDir& dir) {
    const char* c = std::getenv("XDG_CONFIG_HOME");
    const char* d = std::getenv("XDG_DATA_HOME");
    m_hadConfig = c != nullptr;
    m_hadData = d != nullptr;
    if (c) m_oldConfig = c;
    if (d) m_oldData = d;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
}

ScopedXdgHome::~ScopedXdgHome() {
    if (m_hadConfig)
        setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    if (m_hadData)
        setenv("XDG_DATA_HOME", m_oldData.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

}  // namespace qm::test
