// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli groups: the desktop program's "Show all groups" / "Search groups" on standard
// output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/optionparser.h"
#include "cli/serveroptions.h"
#include "config/appsettings.h"
#include "config/regexpattern.h"
#include "config/serverentry.h"
#include "model/groupentry.h"
#include "nntp/groupfetchthread.h"

namespace qm::cli {
namespace {

constexpr std::string_view GroupsHelp =
    "usage: qmere-cli groups [--search PATTERN] [SERVER OPTIONS]\n"
    "       qmere-cli groups [--subscribe GROUP] [--unsubscribe GROUP] [--select GROUP]\n"
    "                        [--unselect GROUP]... [--server HOST[:PORT]]\n"
    "SERVER OPTIONS: [--server HOST[:PORT] | --server nntp[s]://HOST[:PORT]]\n"
    "                [--tls | --no-tls]\n"
    "                [--user USER [--password PASSWORD | --password-file FILE]]\n"
    "\n"
    "Prints the newsgroups of the server in use (the \"Server\" setting, or HOST), one per\n"
    "line, as the desktop program's \"Show all groups\" lists them: from the saved group list\n"
    "\"Groups\" of that server when it is complete, otherwise from the server's LIST, which\n"
    "is then saved for next time. With --search only the names in which the egrep PATTERN is\n"
    "found are printed (\"Search groups\"). The server options are those of qmere-cli fetch\n"
    "(see qmere-cli fetch --help): nntps:// or --tls for TLS, --no-tls to turn it off, and a\n"
    "login (its password from --password, --password-file FILE or QMERE_PASSWORD) for a\n"
    "server that lists its groups only after one; it is stored once the server accepted it.\n"
    "\n"
    "--subscribe and --unsubscribe add a GROUP to the subscribed groups or take it away;\n"
    "--select and --unselect do the same with the groups to retrieve, which qmere-cli fetch\n"
    "without a GROUP fetches (the desktop program's \"Select >>\" and \"Remove\"). Each may\n"
    "be given many times. They change the lists of the server in use (or HOST's) without\n"
    "connecting, save them beside what another program changed meanwhile, and print nothing.\n"
    "\n"
    "Log lines go to standard error. Exit status: 0 when the list was read or changed; 1\n"
    "when the server cannot be reached (the reason is said), refuses the user name or\n"
    "password, refuses the list or cuts it off (what arrived is printed, but not saved, so\n"
    "the next run asks again), no server is set, or a list cannot be saved; 2 on a usage\n"
    "error or a bad PATTERN.\n";

constexpr OptionDef GroupsOptionDefs[] = {
    {"search", true}, {"subscribe", true}, {"unsubscribe", true},
    {"select", true}, {"unselect", true},
};
constexpr std::string_view ListChanges[] = {"subscribe", "unsubscribe", "select", "unselect"};

// One line of a group list file, and a folder's name: no blanks, no control characters.
bool isGroupName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

// The subscribed and selected lists changed as the window's buttons change them, then saved
// (merged with what another program saved meanwhile).
int changeLists(Session& core, const ParsedArgs& parsed) {
    for (const ParsedOption& option : parsed.options) {
        if (std::find(std::begin(ListChanges), std::end(ListChanges), option.name) ==
            std::end(ListChanges))
            continue;
        GroupEntry& group = core.groupNamed(option.value);
        if (option.name == "subscribe")
            (void)core.subscribe(group);
        else if (option.name == "unsubscribe")
            core.unsubscribe(group);
        else if (option.name == "select")
            core.select(group);
        else
            core.unselect(group);
    }
    return core.saveGroupLists() ? 0 : 1;
}

}  // namespace

int runGroupsCommand(Args args) {
    std::vector<OptionDef> defs(std::begin(ServerOptionDefs), std::end(ServerOptionDefs));
    defs.insert(defs.end(), std::begin(GroupsOptionDefs), std::end(GroupsOptionDefs));
    int usage = 0;
    const std::optional<ParsedArgs> parsed =
        commandOptions("groups", args, defs, GroupsHelp, usage);
    if (!parsed) return usage;
    if (!parsed->operands.empty())
        return usageError("groups", "unexpected argument " + parsed->operands.front());
    ServerOptions serverOptions;
    if (auto error = takeServerOptions(*parsed, serverOptions)) return usageError("groups", *error);
    bool changes = false;
    for (std::string_view change : ListChanges) {
        for (const std::string& name : parsed->all(change))
            if (!isGroupName(name)) return usageError("groups", "not a group name: '" + name + "'");
        changes = changes || parsed->has(change);
    }
    if (changes && parsed->has("search"))
        return usageError("groups",
                          "--search lists groups; it does not go with changing the lists");
    const std::optional<std::string> search = parsed->last("search");
    RegexPattern pattern;
    if (search) {
        if (auto error = pattern.compile(*search))
            return usageError("groups", "PATTERN: " + *error);
    }

    // The group lists are the server's, not the data directory's: a fetch may be working
    // there meanwhile, so its "Log" is left alone.
    CliSession session({.openLog = false, .lockDataDirectory = false});
    ConsoleFrontend& frontend = session.frontend();
    if (!session.ok()) {
        frontend.printError("qmere-cli groups: " + session.error());
        return 1;
    }
    Session& core = session.core();
    // The list goes to standard output; the log beside it would mix with it.
    frontend.setQuiet(true);
    ServerChoice choice(core, serverOptions);
    ServerEntry* server = choice.entry();
    if (!server) return usageError("groups", "no server is saved in the settings: give --server");
    const bool serverChanged = serverOptions.server || serverOptions.tls || serverOptions.login;
    if (changes) {
        const int status = changeLists(core, *parsed);
        if (serverChanged && !core.saveServers()) return 1;
        return status;
    }

    frontend.setGroupHandler([&](GroupEntry& group) {
        if (group.has(ShownAvailable)) return;
        if (search && !pattern.found(group.name())) return;
        group.set(ShownAvailable);
        std::fwrite(group.name().data(), 1, group.name().size(), stdout);
        std::fputc('\n', stdout);
    });
    const int messagesBefore = frontend.messageCount();
    GroupFetchThread& worker = core.groupFetch();
    frontend.resetFinished();
    if (worker.start() != 0) return 1;
    frontend.waitGroupListFinished();
    while (!worker.wait(std::chrono::seconds(1))) {
    }
    std::fflush(stdout);
    core.groupListFinished();
    int status = frontend.messageCount() > messagesBefore ? 1 : 0;
    if (!worker.connection().connectFailure().empty()) {
        frontend.printError("qmere-cli groups: " + worker.connection().connectFailure());
        status = 1;
    }
    if (choice.settle()) {
        frontend.printError("qmere-cli groups: " + server->host +
                            " refused the user name or password");
        status = 1;
    }
    if (serverChanged && !core.saveServers()) status = 1;
    if (serverOptions.server && !core.saveSettings()) status = 1;
    return status;
}

}  // namespace qm::cli
