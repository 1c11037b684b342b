// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/serverentry.h"

#include <cctype>
#include <charconv>
#include <vector>

namespace qm {
namespace {

// Host, user and password are at most 255 characters; longer text is cut.
constexpr size_t MaxFieldLength = 255;

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Reads the fields of a server text the way "%s%d%d%s%s" does: each conversion skips leading
// white space, and the first one that fails ends the reading.
class FieldReader {
  public:
    explicit FieldReader(std::string_view text) : m_rest(text) {}

    bool word(std::string& out) {
        skipBlanks();
        size_t n = 0;
        while (n < m_rest.size() && !isBlank(m_rest[n])) ++n;
        if (n == 0) return false;
        out.assign(m_rest.substr(0, std::min(n, MaxFieldLength)));
        m_rest.remove_prefix(n);
        return true;
    }

    bool number(int& out) {
        skipBlanks();
        std::string_view digits = m_rest;
        if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
        int value = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc()) return false;
        out = value;
        m_rest.remove_prefix(static_cast<size_t>(end - m_rest.data()));
        return true;
    }

  private:
    void skipBlanks() {
        while (!m_rest.empty() && isBlank(m_rest.front())) m_rest.remove_prefix(1);
    }
    std::string_view m_rest;
};

}  // namespace

ServerEntry::ServerEntry(const ServerEntry& other)
    : host(other.host),
      port(other.port),
      fingerprint(other.fingerprint),
      role(other.role),
      level(other.level),
      connections(other.connections),
      m_secure(other.m_secure),
      m_authFlag(other.authFlag()) {
    setCredentials(other.credentials());
}

ServerEntry& ServerEntry::operator=(const ServerEntry& other) {
    if (this == &other) return *this;
    host = other.host;
    port = other.port;
    fingerprint = other.fingerprint;
    role = other.role;
    level = other.level;
    connections = other.connections;
    m_secure = other.m_secure;
    setAuthFlag(other.authFlag());
    setCredentials(other.credentials());
    return *this;
}

ServerEntry ServerEntry::parse(std::string_view text) {
    ServerEntry entry;
    FieldReader reader(text);
    int authFlag = 0;
    Credentials c{"-", "-"};
    std::string mode;
    std::vector<std::string> more;
    if (reader.word(entry.host) && reader.number(entry.port) && reader.number(authFlag) &&
        reader.word(c.user) && reader.word(c.password) && reader.word(mode) &&
        reader.word(entry.fingerprint)) {
        for (std::string field; more.size() < MaxExtraFields && reader.word(field);)
            more.push_back(std::move(field));
    }
    // Anything else in the sixth field is left over from a password with blanks in it.
    if (mode != "tls" && mode != "plain") {
        mode.clear();
        entry.fingerprint.clear();
        more.clear();
    }
    if (entry.fingerprint == NoValue) entry.fingerprint.clear();
    for (std::string_view field : more) entry.readExtra(field);
    if (!mode.empty()) entry.setSecure(mode == "tls");
    entry.setAuthFlag(authFlag);
    entry.setCredentials(std::move(c));
    return entry;
}

void ServerEntry::readExtra(std::string_view field) {
    // Unknown or out-of-range values keep the start value: a later version may write more.
    const std::size_t eq = field.find('=');
    if (eq == std::string_view::npos) return;
    const std::string_view key = field.substr(0, eq);
    const std::string_view value = field.substr(eq + 1);
    int number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    const bool isNumber = ec == std::errc() && end == value.data() + value.size();
    if (key == "role") {
        if (value == "fill") role = ServerRole::Fill;
        if (value == "off") role = ServerRole::Off;
    } else if (key == "level" && isNumber && number >= 1 && number <= MaxLevel) {
        level = number;
    } else if (key == "connections" && isNumber && number >= 1 && number <= MaxConnections) {
        connections = number;
    }
}

bool ServerEntry::hasUseFields() const {
    return role != ServerRole::Off || level != 1 || connections != 0;
}

std::optional<std::string> ServerEntry::badPort(std::string_view text) {
    FieldReader reader(text);
    std::string host, port;
    if (!reader.word(host) || !reader.word(port)) return std::nullopt;
    // As "%d" reads it: a sign and the digits that follow; anything else is no port at all.
    std::size_t digits = port.front() == '+' || port.front() == '-' ? 1 : 0;
    const std::size_t start = digits;
    while (digits < port.size() && std::isdigit(static_cast<unsigned char>(port[digits]))) ++digits;
    if (digits == start) return std::nullopt;
    port.resize(digits);
    std::string_view number = port;
    if (number.front() == '+') number.remove_prefix(1);
    int value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec == std::errc() && value >= 1 && value <= 65535) return std::nullopt;
    return port;
}

std::string ServerEntry::textForm() const {
    const bool use = hasUseFields();
    const bool extras = secure() != (port == SecurePort) || !fingerprint.empty() || use;
    const Credentials c = credentials();
    const bool stored = hasCredentials(c);
    if (authFlag() != 0 || stored || extras) {
        const int flag = authFlag() != 0 ? authFlag() : stored ? 1 : 0;
        std::string text = host + ' ' + std::to_string(port) + '\t' + std::to_string(flag) + '\t' +
                           c.user + '\t' + c.password;
        if (extras) text += secure() ? "\ttls" : "\tplain";
        if (!fingerprint.empty() || use)
            text += '\t' + (fingerprint.empty() ? std::string(NoValue) : fingerprint);
        if (!use) return text;
        if (role == ServerRole::Fill) text += "\trole=fill";
        if (level != 1) text += "\tlevel=" + std::to_string(level);
        if (connections != 0) text += "\tconnections=" + std::to_string(connections);
        return text;
    }
    return addressText();
}

std::string ServerEntry::addressText() const {
    if (port == DefaultPort) return host;
    return host + ' ' + std::to_string(port);
}

void ServerEntry::takeExtrasFrom(const ServerEntry& other) {
    if (other.m_secure) m_secure = other.m_secure;
    if (!other.fingerprint.empty()) fingerprint = other.fingerprint;
    if (!other.hasUseFields()) return;
    role = other.role;
    level = other.level;
    connections = other.connections;
}

Credentials ServerEntry::credentials() const {
    std::lock_guard lock(m_mutex);
    return {m_user, m_password};
}

bool ServerEntry::hasCredentials(const Credentials& c) {
    return c.user != NoValue || c.password != NoValue;
}

void ServerEntry::setCredentials(Credentials c) {
    std::lock_guard lock(m_mutex);
    m_user = std::move(c.user);
    m_password = std::move(c.password);
    m_loginAccepted = false;
}

}  // namespace qm
