// qmere-cli fetch: the desktop program's "Get pictures!" for the groups named on the command
// line (or those selected in the saved settings), until every group is finished or a stop
// signal (Ctrl-C, SIGTERM, SIGHUP) stops it as "Stop pictures!" does.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "catalog/indexpages.h"
#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/interruptguard.h"
#include "cli/progressline.h"
#include "cli/serverargument.h"
#include "config/configvalues.h"
#include "config/groupentry.h"
#include "config/grouptable.h"
#include "config/serverentry.h"
#include "decode/decoder.h"
#include "nntp/readerpool.h"
#include "platform/paths.h"

namespace qm::cli {

constexpr std::string_view FetchHelp =
    "usage: qmere-cli fetch [--server HOST[:PORT]] [--tls] [--user USER --password PASSWORD]\n"
    "                       [--threads N] [--newest N | --since DAYS] [--no-overview]\n"
    "                       [--quiet] [GROUP...]\n"
    "\n"
    "Retrieves the pictures and other files posted in the GROUPs as the desktop program's\n"
    "\"Get pictures!\" does: N readers (default: the \"Max Threads\" setting) each with its\n"
    "own connection walk the groups' new articles, skip those already retrieved, short ones\n"
    "(\"Skip short\", \"Skip limit\") and those matching the \"Kill pattern\", and decode the\n"
    "rest at once. The run ends when every group is finished; Ctrl-C, SIGTERM (a service\n"
    "manager's stop, a logout) or SIGHUP (the terminal closed) stops it as \"Stop\n"
    "pictures!\" does (an article cut off is fetched again next time).\n"
    "\n"
    "Where the server has an overview (OVER or XOVER) each group is read through it, a window\n"
    "of articles at a time with many of them in flight; --no-overview reads article by\n"
    "article instead, as for a server without one (or with an incomplete one).\n"
    "A group never read before starts with its newest articles: the \"First visit\" setting\n"
    "(1000; 0: from its first article), or those of the last \"First visit days\". For this\n"
    "run only, --newest N starts such groups with their newest N articles (0: all of them)\n"
    "and --since DAYS with the articles of the last DAYS days.\n"
    "\n"
    "Without a GROUP the groups selected in the saved settings (the desktop program's groups\n"
    "to retrieve, \"Groups.fet\" of the server in use) are fetched: what a timer runs.\n"
    "\n"
    "--server makes HOST (port 119 unless given) the server in use, as the desktop program's\n"
    "server box does; without it the saved \"Server\" is used. With --user and --password\n"
    "the credentials are stored in its entry in \"server.lst\" and sent at every connect\n"
    "(AUTHINFO). --tls, or a server given as nntps://HOST[:PORT] (port 563 by default),\n"
    "connects with TLS and checks the server's certificate; no credential is ever sent\n"
    "before TLS is up. The server stays marked secure in \"server.lst\".\n"
    "\n"
    "Output: log lines on standard output, failures on standard error. On a terminal one\n"
    "progress line below the log lines is rewritten in place: per group the articles dealt\n"
    "with out of those known and the pictures decoded, then articles/s, MB/s and the time\n"
    "left once it can be known. Elsewhere (a pipe, a file, a timer) only the log lines are\n"
    "written. --quiet writes only the failures and the closing summary. The closing summary\n"
    "(\"Run ended: 2 groups, 57 articles, 12 pictures, 3456789 bytes in 5.2 s, 3 duplicates\n"
    "skipped\", as the desktop program logs it: the articles retrieved, and apart from them\n"
    "those not fetched as retrieved before) is always the last line on standard output.\n"
    "\n"
    "Decoded files go to DATA/GROUP/news.dat (DATA: the \"Data\" setting, by default\n"
    "$XDG_DATA_HOME/qmere/), with the group's index pages (DATA/GROUP/idx<yymmdd>.html) and\n"
    "picture list (data.lst). Each group's reading position (\"Last\"), the retrieved\n"
    "message-ids (\"MSGLIST\"), the settings and the group lists are saved at the end, so\n"
    "the next run continues. Each decoded article is recorded at once (DATA/MSGLIST.log): a\n"
    "run that is killed costs at most the articles in flight, which the next run fetches\n"
    "again; a run does not start without that journal. Every message-id retrieved stays in\n"
    "DATA/history.db, so an article is not fetched again however long ago it came.\n"
    "Every picture also gets a thumbnail (DATA/GROUP/thumbs/), a cell in the group's gallery\n"
    "(DATA/GROUP/gallery.html) and a record in the picture database (DATA/pictures.db); the\n"
    "command ends once they are made. With \"Skip duplicate pictures\" on (the default), a\n"
    "picture whose content was fetched before is removed again and not catalogued.\n"
    "\n"
    "One program at a time works in a data folder: a second fetch (or the desktop program,\n"
    "gallery, dupes, decode) on the same one is refused, naming the process that has it;\n"
    "so is a fetch whose data folder cannot be locked at all (its lock file a folder, a file\n"
    "system without locks), with the reason.\n"
    "\n"
    "Exit status: 0 for a finished run; 1 when no GROUP is given and none is selected, the\n"
    "server cannot be reached, refuses the credentials, asks for a login that nobody gave,\n"
    "a GROUP's folder cannot be made, no GROUP could be read, a decoded file could not be\n"
    "written (a full disk stops the run; what was not stored is fetched again next time),\n"
    "the settings and lists could not be saved (the reason is on standard error), the\n"
    "article journal cannot be opened or written, or the data folder is in use or cannot\n"
    "be locked; 2 on a usage error (no --server and none\n"
    "saved); 128 and the signal's number when a stop signal stopped it (130: Ctrl-C, 143:\n"
    "SIGTERM, 129: SIGHUP).\n";

namespace {

struct FetchOptions {
    std::string server;
    bool tls = false;
    std::optional<std::string> user, password;
    std::optional<int> threads;
    RunOptions run;
    bool quiet = false;
    std::vector<std::string> groups;
};

int usageError(const std::string& text) {
    std::fprintf(stderr, "qmere-cli fetch: %s (try --help)\n", text.c_str());
    return 2;
}

std::optional<std::string> parse(Args args, FetchOptions& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return std::string(args[++i]);
        };
        if (arg == "--newest" || arg == "--since") {
            auto v = value();
            const ConfigKey& key =
                *findConfigKey(arg == "--newest" ? "First visit" : "First visit days");
            if (!v || configProblem(key, *v))
                return std::string(arg) + " takes a number from " + std::to_string(*key.minimum) +
                       " to " + std::to_string(*key.maximum);
            const int n = std::stoi(*v);
            // One of the two decides where a group never read starts.
            options.run.firstVisit = arg == "--newest" ? n : 0;
            options.run.firstVisitDays = arg == "--since" ? n : 0;
        } else if (arg == "--no-overview") {
            options.run.overview = false;
        } else if (arg == "--server" || arg == "--user" || arg == "--password" ||
                   arg == "--threads") {
            auto v = value();
            if (!v) return std::string(arg) + " needs a value";
            if (arg == "--server") options.server = *v;
            if (arg == "--user") options.user = *v;
            if (arg == "--password") options.password = *v;
            if (arg == "--threads") {
                long long n = 0;
                auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
                if (ec != std::errc() || end != v->data() + v->size())
                    return "--threads takes a number from 1 to 24";
                // As "Max Threads" in the profile: out of range is clamped, and said so.
                const int clamped = static_cast<int>(std::clamp<long long>(n, 1, 24));
                if (clamped != n)
                    std::fprintf(
                        stderr,
                        "qmere-cli fetch: --threads %s is out of range (1 to 24): %d is used\n",
                        v->c_str(), clamped);
                options.threads = clamped;
            }
        } else if (arg == "--tls") {
            options.tls = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg.starts_with("--")) {
            return "unknown option " + std::string(arg);
        } else {
            options.groups.emplace_back(arg);
        }
    }
    // Without --server the saved one is used, checked once the settings are loaded.
    if (!options.server.empty()) {
        std::string problem;
        auto server = parseServerArgument(options.server, &problem);
        if (!server) return problem;
        options.server = server->text;
        options.tls = options.tls || server->tls;
    }
    if (options.user.has_value() != options.password.has_value())
        return std::string("--user and --password go together");
    return std::nullopt;
}

GroupEntry& groupNamed(AppSettings& settings, const std::string& name) {
    if (GroupEntry* entry = settings.allGroups.find(name)) return *entry;
    GroupEntry& entry = settings.newGroup(name, Active);
    settings.allGroups.add(entry);
    return entry;
}

// As the server box's switch (the new server's own group lists; none: the saved server),
// with the secure flag and the credentials given.
void useServer(Session& session, const FetchOptions& options) {
    if (!options.server.empty()) session.switchServer(options.server);
    ServerEntry* entry = session.settings().currentServer();
    if (!entry) return;
    if (options.server.empty() && !options.tls && !options.user) return;  // nothing changed
    if (options.tls) entry->setSecure(true);
    if (options.user) {
        entry->setCredentials({*options.user, *options.password});
        entry->setAuthFlag(1);
    }
    (void)session.settings().saveServers();
}

}  // namespace

int runFetchCommand(Args args) {
    if (wantsHelp(args)) return printHelp(FetchHelp);
    FetchOptions options;
    if (auto error = parse(args, options)) return usageError(*error);

    CliSession session;
    if (!session.ok()) {
        std::fprintf(stderr, "qmere-cli fetch: %s\n", session.error().c_str());
        return 1;
    }
    Session& core = session.core();
    AppSettings& settings = core.settings();
    ConsoleFrontend& frontend = session.frontend();
    useServer(core, options);
    ServerEntry* server = settings.currentServer();
    if (!server) return usageError("no server is saved in the settings: give --server");
    const bool credentialsGiven = options.user.has_value();
    if (makeDirectories(settings.groupListDirectory()) != 0) {
        std::fprintf(stderr, "Fail to create data directory %s\n",
                     settings.groupListDirectory().c_str());
        return 1;
    }

    GroupTable run;
    std::vector<GroupEntry*> groups;
    if (options.groups.empty()) {
        // As "Get pictures!" over the saved groups to retrieve, in their order.
        for (GroupEntry* group : settings.selectedGroups.entries())
            options.groups.push_back(group->name());
    }
    if (options.groups.empty()) {
        std::fputs(
            "qmere-cli fetch: No news group is selected. Name the GROUPs to fetch, or select "
            "groups to retrieve in the desktop program.\n",
            stderr);
        return 1;
    }
    for (auto it = options.groups.rbegin(); it != options.groups.rend(); ++it) {
        GroupEntry& group = groupNamed(settings, *it);
        group.set(Selected);
        if (run.add(group)) groups.push_back(&group);
    }
    FetchProgress progress(frontend, settings, {groups.rbegin(), groups.rend()}, options.run,
                           options.quiet);

    const int messagesBefore = frontend.messageCount();
    bool interrupted = false;
    {
        InterruptGuard guard;
        ReaderPool& pool = core.readerPool(options.threads);
        frontend.resetFinished();
        // Refused (the reason is on standard error): nothing was fetched.
        if (core.startRun(run, options.run) != 0) return 1;
        while (pool.runningReaders() > 0 && !frontend.runHasFinished()) {
            progress.update();
            if (guard.wait(100)) {
                interrupted = true;
                break;
            }
        }
        core.finishRun();
        // The thumbnails of what was fetched are made before the command ends.
        if (!interrupted && core.pictures().running()) {
            if (!options.quiet) std::fputs("qmere-cli fetch: making the last thumbnails\n", stderr);
            interrupted = !core.finishPictures([&] { return !guard.wait(0); });
        }
    }
    progress.finish();
    const bool runMessages = frontend.messageCount() > messagesBefore;
    const std::vector<std::string> failures = core.readerPool().runFailures();
    const bool saved = core.save();  // a failure is on standard error already

    if (interrupted) {
        std::fputs("qmere-cli fetch: stopped\n", stderr);
        return InterruptGuard::exitStatus();
    }
    if (credentialsGiven && server && server->authFlag() == 0) {
        std::fprintf(stderr, "qmere-cli fetch: %s refused the user name or password\n",
                     server->host.c_str());
        return 1;
    }
    for (const std::string& failure : failures)
        std::fprintf(stderr, "qmere-cli fetch: %s\n", failure.c_str());
    if (!failures.empty()) return 1;
    int unread = 0;
    for (GroupEntry* group : groups)
        if (!group->has(Finished)) ++unread;
    if (runMessages || unread == static_cast<int>(groups.size())) {
        std::fprintf(stderr, "qmere-cli fetch: could not read from %s (see the log above)\n",
                     server ? server->host.c_str() : "the server");
        return 1;
    }
    return saved ? 0 : 1;
}

}  // namespace qm::cli
