// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One configured NNTP server, and its text form (a line of "server.lst", and the text shown in
// the server lists).
//
// Readers read and write authFlag and the credentials while the window thread may too, so
// they are guarded; host, port, secure and fingerprint change only on the window thread
// between runs.
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/frontend.h"

namespace qm {

class ServerEntry {
  public:
    static constexpr int DefaultPort = 119;
    // NNTP over TLS: an entry on this port is secure unless its text says otherwise.
    static constexpr int SecurePort = 563;
    // The stored form of an empty user name or password.
    static constexpr std::string_view NoValue = "-";

    ServerEntry() = default;
    ServerEntry(const ServerEntry& other);
    ServerEntry& operator=(const ServerEntry& other);

    // Parses "%s%d%d%s%s": host, port, authFlag, user, password, separated by blanks or tabs;
    // a missing field, and every field after it, keeps its start value (119, 0, "-", "-").
    // Then the extras: "tls" or "plain", and a trusted fingerprint.
    static ServerEntry parse(std::string_view text);
    // The port of a server text when it is a number that no TCP port is (0, 70000, a number
    // too long for an int): parse would take it as it stands, and a connection would wrap it
    // around to another port. Nothing for a good port, or none.
    static std::optional<std::string> badPort(std::string_view text);
    // With authFlag: host " %d\t%d\t%s\t%s"; else port 119: host alone; else host " %d".
    // With extras (secure set other than the port implies, or a fingerprint) the five-field form
    // followed by "\ttls" or "\tplain" and "\t" fingerprint, which older readers ignore.
    // Stored credentials always give the five-field form, with authFlag 1 when it is 0: the
    // flag falls to 0 for the rest of a run whenever one login is refused or not given (a
    // cancelled prompt, no terminal to ask on), and what the user stored must outlive that.
    std::string textForm() const;
    // "HOST" for port 119, else "HOST PORT": the server as the server box shows it, without
    // credentials.
    std::string addressText() const;

    std::string host;
    int port = DefaultPort;
    std::string fingerprint;  // SHA-256 of a certificate trusted although it does not verify

    // Implicit TLS. Until set, an entry on port 563 is secure and any other is not, so a new
    // entry for 563 is secure by default.
    bool secure() const { return m_secure.value_or(port == SecurePort); }
    void setSecure(bool on) { m_secure = on; }
    // Takes what other's text said beyond the five fields: a set secure flag, a fingerprint.
    void takeExtrasFrom(const ServerEntry& other);

    int authFlag() const { return m_authFlag.load(); }
    void setAuthFlag(int flag) { m_authFlag.store(flag); }

    Credentials credentials() const;
    // New credentials are not known to work until a login with them is accepted.
    void setCredentials(Credentials c);
    // Whether the server accepted a login with the credentials held now: a caller that was
    // given new ones keeps them only then.
    bool loginAccepted() const { return m_loginAccepted.load(); }
    void setLoginAccepted() { m_loginAccepted.store(true); }
    // True when c holds a user name or a password (NoValue stands for an empty field).
    static bool hasCredentials(const Credentials& c);

  private:
    std::optional<bool> m_secure;
    std::atomic<int> m_authFlag{0};
    std::atomic<bool> m_loginAccepted{false};
    mutable std::mutex m_mutex;
    std::string m_user = "-";      // guarded by m_mutex
    std::string m_password = "-";  // guarded by m_mutex
};

}  // namespace qm
