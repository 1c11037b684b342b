// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A command-line session: the profile, the console front end and the core Session, loaded as
// the main window loads them when it starts, with the data directory made and (optionally)
// the "Log" file opened. One per command run, created and used on the main thread.
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/consolefrontend.h"
#include "platform/profile.h"
#include "session/session.h"

namespace qm::cli {

struct CliSessionOptions {
    // Open "Log" in the data directory, truncating it, as the main window does at start.
    bool openLog = true;
    // Make sure the data directory exists (decoding writes below it).
    bool makeDataDirectory = true;
    // Work in the data directory (every command that writes there): refused while another
    // program does, or when its lock cannot be taken. Without it nothing is written there but
    // what the command saves itself. A folder that is not there and is not to be made
    // (makeDataDirectory false) is not locked: the command finds nothing there to work on
    // (Session::ownsDataDirectory() is false).
    bool lockDataDirectory = true;
};

class CliSession {
  public:
    explicit CliSession(CliSessionOptions options = {});
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    Session& core() { return m_session; }
    const AppSettings& settings() const { return m_session.settings(); }
    ConsoleFrontend& frontend() { return m_frontend; }
    Profile& profile() { return m_profile; }

    // Empty when the session is ready; else why not (e.g. "Fail to create data directory X",
    // or the data directory in use by another program, with its process id). The settings
    // are loaded either way.
    const std::string& error() const { return m_error; }
    bool ok() const { return m_error.empty(); }

  private:
    Profile m_profile;
    ConsoleFrontend m_frontend;
    Session m_session;
    std::string m_error;
};

// Prints a command's help text to standard output; returns exit status 0.
int printHelp(std::string_view text);

}  // namespace qm::cli
