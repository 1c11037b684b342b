#include "cli/clisession.h"

#include <cstdio>

#include "platform/paths.h"

namespace qm::cli {

CliSession::CliSession(CliSessionOptions options) : m_profile(profilePath()) {
    m_settings = std::make_unique<AppSettings>(m_frontend, m_profile);
    AppSettings& s = *m_settings;
    s.loadSettings();
    if (auto error = s.compileKillPattern()) {
        m_frontend.messageBox("Kill pattern: " + *error, MessageIcon::Warning);
    }
    if (options.makeDataDirectory && makeDirectories(s.dataDirectory) != 0) {
        m_error = "Fail to create data directory " + s.dataDirectory;
        return;
    }
    if (options.openLog && !s.logFile.open(joinPath(s.dataDirectory, "Log"))) {
        m_error = "Fail create file " + joinPath(s.dataDirectory, "Log");
    }
}

bool wantsHelp(Args args) {
    for (std::string_view a : args) {
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

int printHelp(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
    return 0;
}

}  // namespace qm::cli
