// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/clisession.h"

#include <cstdio>

#include "platform/paths.h"

namespace qm::cli {

CliSession::CliSession(CliSessionOptions options)
    : m_profile(profilePath()), m_session(m_frontend, m_profile) {
    Session::LoadResult loaded = m_session.load({.makeDataDirectory = options.makeDataDirectory,
                                                 .openLog = options.openLog,
                                                 .lockDataDirectory = options.lockDataDirectory});
    if (loaded.killPatternError)
        m_frontend.messageBox("Kill pattern: " + *loaded.killPatternError, MessageIcon::Warning);
    m_error = loaded.error;
}

int printHelp(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    return 0;
}

}  // namespace qm::cli
