// qmere-cli groups: the desktop program's "Show all groups" / "Search groups" on standard
// output.
#include <cstdio>
#include <optional>
#include <string>

#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/serverargument.h"
#include "config/groupentry.h"
#include "config/regexpattern.h"
#include "config/serverentry.h"
#include "nntp/groupfetchthread.h"

namespace qm::cli {
namespace {

constexpr std::string_view GroupsHelp =
    "usage: qmere-cli groups [--search PATTERN] [--server HOST[:PORT]] [--tls]\n"
    "\n"
    "Prints the newsgroups of the server in use (the \"Server\" setting, or HOST), one per\n"
    "line, as the desktop program's \"Show all groups\" lists them: from the saved group list\n"
    "\"Groups\" of that server when it is complete, otherwise from the server's LIST, which\n"
    "is then saved for next time. With --search only the names in which the egrep PATTERN is\n"
    "found are printed (\"Search groups\"). --tls, or a server given as nntps://HOST[:PORT]\n"
    "(port 563 by default), connects with TLS and checks the server's certificate.\n"
    "\n"
    "Log lines go to standard error. Exit status: 0 when the list was read; 1 when the server\n"
    "cannot be reached, refuses the list or cuts it off (what arrived is printed, but not\n"
    "saved, so the next run asks again), or no server is set; 2 on a usage error or a bad\n"
    "PATTERN.\n";

int usageError(const std::string& text) {
    std::fprintf(stderr, "qmere-cli groups: %s (try --help)\n", text.c_str());
    return 2;
}

}  // namespace

int runGroupsCommand(Args args) {
    if (wantsHelp(args)) return printHelp(GroupsHelp);
    std::optional<std::string> search, server;
    bool tls = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--search" || args[i] == "--server") && i + 1 < args.size()) {
            (args[i] == "--search" ? search : server) = std::string(args[i + 1]);
            ++i;
        } else if (args[i] == "--tls") {
            tls = true;
        } else {
            return usageError("unexpected argument " + std::string(args[i]));
        }
    }
    RegexPattern pattern;
    if (search) {
        if (auto error = pattern.compile(*search)) return usageError("PATTERN: " + *error);
    }

    // The group lists are the server's, not the data directory's: a fetch may be working
    // there meanwhile, so its "Log" is left alone.
    CliSession session({.openLog = false, .lockDataDirectory = false});
    if (!session.ok()) {
        std::fprintf(stderr, "qmere-cli groups: %s\n", session.error().c_str());
        return 1;
    }
    Session& core = session.core();
    ConsoleFrontend& frontend = session.frontend();
    if (server) {
        std::string problem;
        auto parsed = parseServerArgument(*server, &problem);
        if (!parsed) return usageError(problem);
        core.switchServer(parsed->text);
        if (ServerEntry* entry = core.settings().currentServer())
            if (tls || parsed->tls) entry->setSecure(true);
        (void)core.settings().saveServers();
    } else if (tls) {
        if (ServerEntry* entry = core.settings().currentServer()) entry->setSecure(true);
    }
    // The list goes to standard output; the log beside it would mix with it.
    frontend.setQuiet(true);
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
    if (server && !core.settings().saveSettings()) return 1;
    return frontend.messageCount() > messagesBefore ? 1 : 0;
}

}  // namespace qm::cli
