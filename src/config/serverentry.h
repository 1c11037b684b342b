// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One configured NNTP server, and its text form (a line of "server.lst", and the text shown in
// the server lists).
//
// Readers read and write authFlag and the credentials while the window thread may too, so
// they are guarded; host, port, secure and fingerprint change only on the window thread
// between runs.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/frontend.h"

namespace qm {

// What a server is used for. The main server is the one the "Server" setting names (group
// walking, group lists); a fill server is asked only for articles the main one lacks, lower
// levels first; an off server is kept in the list and not used.
enum class ServerRole { Off, Fill };

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
    // followed by "\ttls" or "\tplain" and "\t" fingerprint, which older readers ignore. With a
    // role, level or cap, those follow a fingerprint field ("-" for none).
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
    // Takes what other's text said beyond the five fields: a set secure flag, a fingerprint,
    // the role, level and connection cap.
    void takeExtrasFrom(const ServerEntry& other);

    // Beyond the fingerprint field, as "role=fill", "level=N", "connections=N", which older
    // readers skip. Levels run from 1 (asked first) to MaxLevel.
    static constexpr int MaxLevel = 99;
    // The most connections the user's account allows: 0 when not said (the "Max Threads"
    // value then), else 1 to MaxConnections.
    static constexpr int MaxConnections = 100;
    ServerRole role = ServerRole::Off;
    int level = 1;
    int connections = 0;
    // The cap in force with readers readers wanted: connections when said, else readers.
    int connectionCap(int readers) const { return connections > 0 ? connections : readers; }

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
    // Fields read past the fingerprint, at most: the rest of a longer line is not ours.
    static constexpr std::size_t MaxExtraFields = 16;
    void readExtra(std::string_view field);
    // Whether role, level or cap differ from their start values (and must be written).
    bool hasUseFields() const;

    std::optional<bool> m_secure;
    std::atomic<int> m_authFlag{0};
    std::atomic<bool> m_loginAccepted{false};
    mutable std::mutex m_mutex;
    std::string m_user = "-";      // guarded by m_mutex
    std::string m_password = "-";  // guarded by m_mutex
};

}  // namespace qm
