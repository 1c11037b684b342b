// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/serveroptions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/serverargument.h"
#include "config/appsettings.h"
#include "config/serverentry.h"
#include "platform/file.h"
#include "session/session.h"

namespace qm::cli {
namespace {

// A password file holds one line; anything far longer is not one.
constexpr std::size_t MaxPasswordFile = 4096;

std::optional<std::string> readPasswordFile(const std::string& path, std::string& problem) {
    FilePtr file = openFile(path, "r");
    if (!file) {
        problem = "cannot read --password-file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string text(MaxPasswordFile + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    if (text.size() > MaxPasswordFile) {
        problem = "--password-file " + path + " is too long for a password";
        return std::nullopt;
    }
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
        problem = "--password-file " + path + " holds no password on its first line";
        return std::nullopt;
    }
    return text;
}

// "server.lst" keeps each field as one word: a blank would cut it, a line end start a line.
bool storable(std::string_view field) {
    if (field.empty()) return false;
    for (char c : field)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

}  // namespace

std::optional<std::string> takeServerOptions(const ParsedArgs& parsed, ServerOptions& options) {
    for (auto [a, b] : {std::pair{"tls", "no-tls"}, std::pair{"password", "password-file"}})
        if (auto problem = exclusive(parsed, a, b)) return problem;
    if (auto text = parsed.last("server")) {
        std::string problem;
        auto server = parseServerArgument(*text, &problem);
        if (!server) return problem;
        options.server = server->text;
        if (server->scheme) {
            if (server->tls ? parsed.has("no-tls") : parsed.has("tls"))
                return std::string(server->tls ? "--no-tls and an nntps:// server"
                                               : "--tls and an nntp:// server") +
                       " exclude each other";
            options.tls = server->tls;
        }
    }
    if (parsed.has("tls")) options.tls = true;
    if (parsed.has("no-tls")) options.tls = false;

    const std::optional<std::string> user = parsed.last("user");
    std::optional<std::string> password = parsed.last("password");
    if (auto file = parsed.last("password-file")) {
        if (!user) return std::string("--password-file goes with --user");
        std::string problem;
        password = readPasswordFile(*file, problem);
        if (!password) return problem;
    }
    if (!user) {
        if (password) return std::string("--password goes with --user");
        return std::nullopt;
    }
    if (!password) {
        const char* variable = std::getenv(PasswordVariable);
        if (!variable || !*variable)
            return std::string(
                       "--user needs a password: --password, --password-file FILE or "
                       "the environment variable ") +
                   PasswordVariable;
        password = variable;
    }
    if (!storable(*user) || !storable(*password))
        return std::string(
            "a user name or password with blanks or control characters cannot "
            "be stored with the server");
    options.login = Credentials{*user, *password};
    return std::nullopt;
}

ServerChoice::ServerChoice(Session& session, const ServerOptions& options) : m_session(session) {
    if (options.server) session.switchServer(*options.server);
    const ServerEntry* server = entry();
    if (!server) return;
    Session::ServerChange change;
    change.secure = options.tls;
    if (options.login) {
        m_loginGiven = true;
        m_before = server->credentials();
        m_authFlagBefore = server->authFlag();
        change.login = options.login;
    }
    session.changeServer(session.settings().server, change);
}

ServerEntry* ServerChoice::entry() const {
    return m_session.serverInUse();
}

bool ServerChoice::settle() {
    const ServerEntry* server = entry();
    if (!m_loginGiven || !server || server->loginAccepted()) return false;
    // The connect clears the flag when the server refuses the login; an unreachable server
    // leaves it: the login was never tried, but is not stored either.
    const bool refused = server->authFlag() == 0;
    Session::ServerChange change;
    change.login = m_before;
    change.authFlag = m_authFlagBefore;
    m_session.changeServer(m_session.settings().server, change);
    return refused;
}

}  // namespace qm::cli
