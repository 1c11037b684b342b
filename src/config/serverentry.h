#pragma once
// One configured NNTP server, and its text form (a line of "server.lst", and the text shown in
// the server lists).
//
// Readers read and write authFlag and the credentials while the window thread may too, so
// they are guarded; host and port change only on the window thread between runs.
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "config/frontend.h"

namespace qm {

class ServerEntry {
public:
    static constexpr int DefaultPort = 119;

    ServerEntry() = default;
    ServerEntry(const ServerEntry& other);
    ServerEntry& operator=(const ServerEntry& other);

    // Parses "%s%d%d%s%s": host, port, authFlag, user, password, separated by blanks or tabs;
    // a missing field, and every field after it, keeps its start value (119, 0, "-", "-").
    static ServerEntry parse(std::string_view text);
    // With authFlag: host " %d\t%d\t%s\t%s"; else port 119: host alone; else host " %d".
    std::string textForm() const;

    std::string host;
    int port = DefaultPort;

    int authFlag() const { return m_authFlag.load(); }
    void setAuthFlag(int flag) { m_authFlag.store(flag); }

    Credentials credentials() const;
    void setCredentials(Credentials c);

private:
    std::atomic<int> m_authFlag{0};
    mutable std::mutex m_mutex;
    std::string m_user = "-";      // guarded by m_mutex
    std::string m_password = "-";  // guarded by m_mutex
};

}  // namespace qm
