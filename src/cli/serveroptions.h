// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The options of the commands that talk to a news server (fetch, groups): which server,
// whether over TLS, and the login, with the password kept out of the process list and the
// shell's history when it comes from a file or the environment.
#include <optional>
#include <string>

#include "cli/optionparser.h"
#include "config/frontend.h"

namespace qm {
class ServerEntry;
class Session;
}  // namespace qm

namespace qm::cli {

// The password of --user when neither --password nor --password-file gives it.
inline constexpr const char* PasswordVariable = "QMERE_PASSWORD";

inline constexpr OptionDef ServerOptionDefs[] = {
    {"server", true},        {"tls"}, {"no-tls"}, {"user", true}, {"password", true},
    {"password-file", true},
};

struct ServerOptions {
    std::optional<std::string> server;  // the server box's form: "HOST" or "HOST PORT"
    std::optional<bool> tls;            // --tls, --no-tls, or the scheme of a URL
    std::optional<Credentials> login;
};

// Reads the server options of parsed (the password from --password, --password-file or
// QMERE_PASSWORD, in that order). Nothing when they go together; else the usage error.
std::optional<std::string> takeServerOptions(const ParsedArgs& parsed, ServerOptions& options);

// Makes the server given the one in use (or keeps the saved one), with the TLS choice and the
// login for this run. A login given here replaces the stored one only once the server has
// accepted it: settle() takes a refused or untried one back before anything is saved.
class ServerChoice {
  public:
    ServerChoice(Session& session, const ServerOptions& options);
    ServerChoice(const ServerChoice&) = delete;
    ServerChoice& operator=(const ServerChoice&) = delete;

    // The server in use; null when none is given or saved.
    ServerEntry* entry() const;
    // After the work, before saving: true when the login given was refused (then the stored
    // one is back in place).
    bool settle();

  private:
    Session& m_session;
    bool m_loginGiven = false;
    Credentials m_before;
    int m_authFlagBefore = 0;
};

}  // namespace qm::cli
