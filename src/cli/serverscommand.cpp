// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli servers: the server list ("server.lst") without the window: list it, add and
// remove servers, and set what each is used for, so that a headless machine can be set up.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/optionparser.h"
#include "cli/serverargument.h"
#include "cli/serveroptions.h"
#include "config/appsettings.h"
#include "config/serverentry.h"

namespace qm::cli {
namespace {

constexpr std::string_view ServersHelp =
    "usage: qmere-cli servers\n"
    "       qmere-cli servers --add HOST[:PORT] [SETTINGS]\n"
    "       qmere-cli servers --set HOST[:PORT] [SETTINGS]\n"
    "       qmere-cli servers --remove HOST[:PORT]\n"
    "SETTINGS: [--role fill|off] [--level N] [--connections N] [--tls | --no-tls]\n"
    "          [--user USER [--password PASSWORD | --password-file FILE]]\n"
    "\n"
    "Without options, lists the servers of \"server.lst\", one per line: the server, its\n"
    "role (main: the \"Server\" setting, which walks the groups; fill: asked by message-id\n"
    "for the articles the main server lacks, lower levels first; off: kept, not used), its\n"
    "level, its connections (\"-\": as many as \"Max Threads\"), tls or plain, and whether a\n"
    "login is stored. Passwords are never printed.\n"
    "\n"
    "--add adds a server (port 119 unless given; nntps://HOST for TLS on 563) or changes a\n"
    "listed one; --set changes a listed one; --remove takes one out of the list. --role,\n"
    "--level (1 to 99) and --connections (1 to 100; 0: as many as \"Max Threads\") say how\n"
    "a server is used; the main server is chosen with the \"Server\" setting (qmere-cli\n"
    "config Server=HOST, or fetch --server). A login given here (its password as for\n"
    "qmere-cli fetch) is stored as given; \"server.lst\" is readable by the user alone.\n"
    "\n"
    "Exit status: 0 when listed or changed; 1 when the list cannot be saved or the server to\n"
    "change or remove is not listed; 2 on a usage error.\n";

constexpr OptionDef ServersOptionDefs[] = {
    {"add", true},           {"set", true}, {"remove", true}, {"role", true}, {"level", true},
    {"connections", true},   {"tls"},       {"no-tls"},       {"user", true}, {"password", true},
    {"password-file", true},
};

std::optional<int> number(const std::optional<std::string>& text, int low, int high) {
    if (!text) return std::nullopt;
    int n = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), n);
    if (text->empty() || ec != std::errc() || end != text->data() + text->size() || n < low ||
        n > high)
        return low - 1;  // out of range: the caller says so
    return n;
}

std::string roleText(const AppSettings& settings, const ServerEntry& entry) {
    if (&entry == settings.currentServer()) return "main";
    return entry.role == ServerRole::Fill ? "fill" : "off";
}

void list(const AppSettings& settings) {
    for (const auto& [key, entry] : settings.servers) {
        if (!entry || entry->host.empty()) continue;
        const std::string address = entry->port == ServerEntry::DefaultPort
                                        ? entry->host
                                        : entry->host + ":" + std::to_string(entry->port);
        const bool login = ServerEntry::hasCredentials(entry->credentials());
        std::printf("%s\t%s\tlevel %d\tconnections %s\t%s\t%s\n", address.c_str(),
                    roleText(settings, *entry).c_str(), entry->level,
                    entry->connections > 0 ? std::to_string(entry->connections).c_str() : "-",
                    entry->secure() ? "tls" : "plain", login ? "login" : "no login");
    }
}

// The key of the entry a server argument names; empty when none is listed. A port given must
// be the entry's: another port of a listed host is another server, to add beside it, and
// never the one a change or removal touches.
std::string findServer(const AppSettings& settings, const ServerArgument& server) {
    const std::string key = settings.serverKeyOf(server.text);
    const auto found = settings.servers.find(key);
    if (found == settings.servers.end() || !found->second) return {};
    const bool portGiven = server.text.find(' ') != std::string::npos;
    if (portGiven && found->second->port != ServerEntry::parse(server.text).port) return {};
    return key;
}

}  // namespace

int runServersCommand(Args args) {
    int status = 0;
    const std::optional<ParsedArgs> parsed =
        commandOptions("servers", args, ServersOptionDefs, ServersHelp, status);
    if (!parsed) return status;
    if (!parsed->operands.empty())
        return usageError("servers", "unexpected argument " + parsed->operands.front());
    int actions = 0;
    for (const char* action : {"add", "set", "remove"}) actions += parsed->has(action) ? 1 : 0;
    if (actions > 1) return usageError("servers", "--add, --set and --remove exclude each other");
    const bool settings = parsed->has("role") || parsed->has("level") ||
                          parsed->has("connections") || parsed->has("tls") ||
                          parsed->has("no-tls") || parsed->has("user");
    if (settings && !parsed->has("add") && !parsed->has("set"))
        return usageError("servers", "the server settings go with --add or --set");
    if (settings && parsed->has("remove"))
        return usageError("servers", "--remove takes no server settings");

    std::optional<ServerRole> role;
    if (auto text = parsed->last("role")) {
        if (*text == "fill")
            role = ServerRole::Fill;
        else if (*text == "off")
            role = ServerRole::Off;
        else
            return usageError("servers", "--role takes fill or off");
    }
    const std::optional<int> level = number(parsed->last("level"), 1, ServerEntry::MaxLevel);
    if (level && *level < 1) return usageError("servers", "--level takes a number from 1 to 99");
    const std::optional<int> connections =
        number(parsed->last("connections"), 0, ServerEntry::MaxConnections);
    if (connections && *connections < 0)
        return usageError("servers", "--connections takes a number from 0 to 100");
    // The login and TLS options are those of fetch; --server is not among ours.
    ServerOptions login;
    if (auto problem = takeServerOptions(*parsed, login)) return usageError("servers", *problem);

    std::optional<ServerArgument> target;
    for (const char* action : {"add", "set", "remove"}) {
        if (auto text = parsed->last(action)) {
            std::string problem;
            target = parseServerArgument(*text, &problem);
            if (!target) return usageError("servers", problem);
        }
    }

    CliSession session(CliSessionOptions{.openLog = false, .lockDataDirectory = false});
    Session& core = session.core();
    const AppSettings& all = core.settings();
    if (!target) {
        list(all);
        return 0;
    }
    std::string key = findServer(all, *target);
    if (key.empty() && !parsed->has("add")) {
        std::fprintf(stderr, "qmere-cli servers: %s is not in the server list\n",
                     target->text.c_str());
        return 1;
    }
    if (parsed->has("remove")) {
        core.removeServer(key);
    } else {
        if (key.empty()) {
            const ServerEntry parsedEntry = ServerEntry::parse(target->text);
            key = core.addServer(parsedEntry.host, parsedEntry.port);
        }
        Session::ServerChange change;
        if (target->scheme) change.secure = target->tls;
        if (login.tls) change.secure = *login.tls;
        change.role = role;
        change.level = level;
        change.connections = connections;
        change.login = login.login;
        core.changeServer(key, change);
    }
    if (core.saveServerList() != 0) {
        std::fprintf(stderr, "qmere-cli servers: cannot save %s/server.lst\n",
                     all.dataDirectory.c_str());
        return 1;
    }
    return 0;
}

}  // namespace qm::cli
