#pragma once
// A command-line session: the profile, the console front end and the settings, loaded as the
// main window loads them when it starts, with the data directory made and (optionally) the
// "Log" file opened. One per command run, created and used on the main thread; reader threads
// reach the settings and the front end through references the command hands them.
#include <memory>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/consolefrontend.h"
#include "config/appsettings.h"
#include "platform/profile.h"

namespace qm::cli {

struct CliSessionOptions {
    // Open "Log" in the data directory, truncating it, as the main window does at start.
    bool openLog = true;
    // Make sure the data directory exists (decoding writes below it).
    bool makeDataDirectory = true;
};

class CliSession {
  public:
    explicit CliSession(CliSessionOptions options = {});
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    AppSettings& settings() { return *m_settings; }
    ConsoleFrontend& frontend() { return m_frontend; }
    Profile& profile() { return m_profile; }

    // Empty when the session is ready; else why not (e.g. "Fail to create data directory X").
    // The settings are loaded either way.
    const std::string& error() const { return m_error; }
    bool ok() const { return m_error.empty(); }

  private:
    Profile m_profile;
    ConsoleFrontend m_frontend;
    std::unique_ptr<AppSettings> m_settings;
    std::string m_error;
};

// True when args ask for help ("--help", "-h" anywhere).
bool wantsHelp(Args args);
// Prints a command's help text to standard output; returns exit status 0.
int printHelp(std::string_view text);

}  // namespace qm::cli
