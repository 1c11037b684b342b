// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/logfile.h"

namespace qm {

bool LogFile::open(const std::string& path) {
    std::lock_guard lock(m_mutex);
    m_file = openFile(path, "w");
    m_path = path;
    return m_file != nullptr;
}

bool LogFile::openAppend(const std::string& path) {
    std::lock_guard lock(m_mutex);
    m_file = openFile(path, "a");
    m_path = path;
    return m_file != nullptr;
}

void LogFile::close() {
    std::lock_guard lock(m_mutex);
    m_file.reset();
}

bool LogFile::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_file != nullptr;
}

std::string LogFile::path() const {
    std::lock_guard lock(m_mutex);
    return m_path;
}

void LogFile::write(std::string_view text) {
    std::lock_guard lock(m_mutex);
    if (!m_file) return;
    std::fwrite(text.data(), 1, text.size(), m_file.get());
    std::fputc('\n', m_file.get());
    std::fflush(m_file.get());
}

}  // namespace qm
