// SPDX-License-Identifier: GPL-3.0-or-later
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
#include "cli/optionparser.h"
#include "cli/progressline.h"
#include "cli/serverargument.h"
#include "cli/serveroptions.h"
#include "config/configvalues.h"
#include "config/serverentry.h"
#include "decode/decoder.h"
#include "model/groupentry.h"
#include "model/grouptable.h"
#include "platform/paths.h"

namespace qm::cli {

constexpr std::string_view FetchHelp =
    "usage: qmere-cli fetch [--server HOST[:PORT] | --server nntp[s]://HOST[:PORT]]\n"
    "                       [--tls | --no-tls] [--user USER [--password PASSWORD |\n"
    "                       --password-file FILE]] [--threads N] [--newest N | --since DAYS]\n"
    "                       [--no-overview] [--quiet] [--fill-server HOST[:PORT]]...\n"
    "                       [--fill-user USER --fill-password PASSWORD] [--] [GROUP...]\n"
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
    "server box does; without it the saved \"Server\" is used. A URL nntp://HOST[:PORT] is a\n"
    "plain server (port 119 by default), nntps://HOST[:PORT] a secure one (port 563).\n"
    "--tls connects with TLS and checks the server's certificate; no credential is ever sent\n"
    "before TLS is up. --no-tls turns that off again. Either choice stays with the server in\n"
    "\"server.lst\".\n"
    "With --user the login is sent at every connect (AUTHINFO); its password comes from\n"
    "--password, or the first line of --password-file FILE, or the environment variable\n"
    "QMERE_PASSWORD (the last two keep it out of the process list and the shell's history).\n"
    "The login is stored in the server's entry in \"server.lst\" once the server accepted it;\n"
    "a refused one leaves the stored login as it was.\n"
    "\n"
    "--fill-server (as many as wanted) makes HOST a fill server, asked in the order given\n"
    "(levels 1, 2, ...) by message-id for the articles the server in use lacks (or sent\n"
    "damaged); it stays one in \"server.lst\" (see qmere-cli servers). --fill-user and\n"
    "--fill-password give the login of those servers; it is stored with them. A fill server\n"
    "that cannot be reached or refuses the login costs a log line, not the run. An article\n"
    "no server has is logged with the servers asked, and the closing summary adds how many\n"
    "articles came from fill servers and how many no server had.\n"
    "\n"
    "Output: log lines on standard output, failures on standard error. On a terminal one\n"
    "progress line below the log lines is rewritten in place: per group the articles dealt\n"
    "with out of those known and the pictures decoded, then articles/s, MB/s and the time\n"
    "left once it can be known, and while the last thumbnails are made, how many are. Not\n"
    "on a terminal (a pipe, a file, a timer), or on one with TERM=dumb, only the log lines\n"
    "are written, with no escape codes. --quiet writes only the failures and the closing\n"
    "summary. The closing summary (\"Run ended: 2 groups, 57 articles, 12 pictures, 3456789\n"
    "bytes in 5.2 s, 3 duplicates skipped\", as the desktop program logs it: the articles\n"
    "retrieved, and apart from them those not fetched as retrieved before) is always the\n"
    "last line on standard output.\n"
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
    "picture whose content was fetched before is removed again and not catalogued. With\n"
    "\"Thumbnails\" 0 none of this is done: pictures are decoded and listed as other files.\n"
    "\n"
    "One program at a time works in a data folder: a second fetch (or the desktop program,\n"
    "gallery, dupes, decode) on the same one is refused, naming the process that has it;\n"
    "so is a fetch whose data folder cannot be locked at all (its lock file a folder, a file\n"
    "system without locks), with the reason.\n"
    "\n"
    "Exit status: 0 for a finished run; 1 when no GROUP is given and none is selected, the\n"
    "server cannot be reached (the reason is said: a name that does not resolve, a refused\n"
    "connection), refuses the user name or password, asks for a login that nobody gave, has\n"
    "no such GROUP (\"no such group on HOST: GROUP\", the other groups are fetched), a\n"
    "GROUP's folder cannot be made, no GROUP could be read, a decoded file could not be\n"
    "written (a full disk stops the run; what was not stored is fetched again next time),\n"
    "the settings and lists could not be saved (the reason is on standard error), the\n"
    "article journal cannot be opened or written, or the data folder is in use or cannot\n"
    "be locked; 2 on a usage error (an unknown option, a\n"
    "missing value, options that exclude each other such as --newest and --since, no\n"
    "--server and none saved); 128 and the signal's number when a stop signal stopped it\n"
    "(130: Ctrl-C, 143: SIGTERM, 129: SIGHUP).\n";

namespace {

struct FetchOptions {
    ServerOptions server;
    std::vector<ServerArgument> fill;
    std::optional<Credentials> fillLogin;
    std::optional<int> threads;
    RunOptions run;
    bool quiet = false;
    std::vector<std::string> groups;
};

constexpr OptionDef FetchOptionDefs[] = {
    {"threads", true},     {"newest", true},      {"since", true},     {"no-overview"},
    {"quiet", false, 'q'}, {"fill-server", true}, {"fill-user", true}, {"fill-password", true},
};

std::optional<std::string> takeFillServers(const ParsedArgs& parsed, FetchOptions& options) {
    for (const std::string& text : parsed.all("fill-server")) {
        std::string problem;
        std::optional<ServerArgument> server = parseServerArgument(text, &problem);
        if (!server) return "--fill-server: " + problem;
        options.fill.push_back(std::move(*server));
    }
    const std::optional<std::string> user = parsed.last("fill-user");
    const std::optional<std::string> password = parsed.last("fill-password");
    if (user.has_value() != password.has_value())
        return std::string("--fill-user and --fill-password go together");
    if (user && options.fill.empty()) return std::string("--fill-user goes with --fill-server");
    if (user) options.fillLogin = Credentials{*user, *password};
    return std::nullopt;
}

// Makes each given server a fill server, levels in the order given.
void useFillServers(Session& core, const FetchOptions& options) {
    int level = 0;
    for (const ServerArgument& server : options.fill) {
        Session::ServerChange change;
        if (server.scheme) change.secure = server.tls;
        change.role = ServerRole::Fill;
        change.level = std::min(++level, ServerEntry::MaxLevel);
        change.login = options.fillLogin;
        const ServerEntry parsed = ServerEntry::parse(server.text);
        core.changeServer(core.addServer(parsed.host, parsed.port), change);
    }
}

// --newest or --since: a number within the range of the setting it stands in for.
std::optional<std::string> takeFirstVisit(const ParsedArgs& parsed, RunOptions& run) {
    if (auto problem = exclusive(parsed, "newest", "since")) return problem;
    for (const char* option : {"newest", "since"}) {
        const std::optional<std::string> v = parsed.last(option);
        if (!v) continue;
        const bool newest = option == std::string_view("newest");
        const ConfigKey& key =
            configKey(newest ? &ConfigValues::firstVisit : &ConfigValues::firstVisitDays);
        if (configProblem(key, *v))
            return "--" + std::string(option) + " takes a number from " +
                   std::to_string(*key.minimum) + " to " + std::to_string(*key.maximum);
        const int n = std::stoi(*v);
        // One of the two decides where a group never read starts.
        run.firstVisit = newest ? n : 0;
        run.firstVisitDays = newest ? 0 : n;
    }
    return std::nullopt;
}

std::optional<std::string> parse(Args args, FetchOptions& options, bool& help) {
    std::vector<OptionDef> defs(std::begin(ServerOptionDefs), std::end(ServerOptionDefs));
    defs.insert(defs.end(), std::begin(FetchOptionDefs), std::end(FetchOptionDefs));
    std::string problem;
    const std::optional<ParsedArgs> parsed = parseOptions(args, defs, problem);
    if (!parsed) return problem;
    help = parsed->has("help");
    if (help) return std::nullopt;
    if (auto error = takeServerOptions(*parsed, options.server)) return error;
    if (auto error = takeFirstVisit(*parsed, options.run)) return error;
    if (auto error = takeFillServers(*parsed, options)) return error;
    options.run.overview = !parsed->has("no-overview");
    options.quiet = parsed->has("quiet");
    if (const std::optional<std::string> v = parsed->last("threads")) {
        const ConfigKey& range = configKey(&ConfigValues::maxThreads);
        long long n = 0;
        auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
        if (v->empty() || ec != std::errc() || end != v->data() + v->size())
            return "--threads takes a number from " + range.rangeText();
        // As "Max Threads" in the profile: out of range is clamped, and said so.
        const int clamped =
            static_cast<int>(std::clamp<long long>(n, *range.minimum, *range.maximum));
        if (clamped != n)
            std::fprintf(stderr, "qmere-cli fetch: --threads %s is out of range (%s): %d is used\n",
                         v->c_str(), range.rangeText().c_str(), clamped);
        options.threads = clamped;
    }
    options.groups = parsed->operands;
    return std::nullopt;
}

}  // namespace

int runFetchCommand(Args args) {
    FetchOptions options;
    bool help = false;
    if (auto error = parse(args, options, help)) return usageError("fetch", *error);
    if (help) return printHelp(FetchHelp);

    CliSession session;
    if (!session.ok()) {
        session.frontend().printError("qmere-cli fetch: " + session.error());
        return 1;
    }
    Session& core = session.core();
    const AppSettings& settings = core.settings();
    ConsoleFrontend& frontend = session.frontend();
    ServerChoice choice(core, options.server);
    ServerEntry* server = choice.entry();
    if (!server) return usageError("fetch", "no server is saved in the settings: give --server");
    useFillServers(core, options);
    if (const std::string failure = core.makeGroupListFolder(); !failure.empty()) {
        frontend.printError(failure);
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
        frontend.printError(
            "qmere-cli fetch: No news group is selected. Name the GROUPs to fetch, or select "
            "them with: qmere-cli groups --select GROUP");
        return 1;
    }
    for (auto it = options.groups.rbegin(); it != options.groups.rend(); ++it) {
        GroupEntry& group = core.groupNamed(*it);
        group.set(Selected);
        if (run.add(group)) groups.push_back(&group);
    }
    FetchProgress progress(frontend, {groups.rbegin(), groups.rend()}, options.quiet);

    const int messagesBefore = frontend.messageCount();
    bool interrupted = false;
    {
        InterruptGuard guard;
        core.prepareReaders(options.threads);
        frontend.resetFinished();
        // Refused (the reason is on standard error): nothing was fetched.
        if (core.startRun(run, options.run) != 0) return 1;
        while (core.runningReaders() > 0 && !frontend.runHasFinished()) {
            progress.update();
            if (guard.wait(50)) {
                interrupted = true;
                break;
            }
        }
        core.finishRun();
        // The thumbnails of what was fetched are made before the command ends, the line
        // going on meanwhile.
        if (!interrupted && core.pictures().running()) {
            if (!options.quiet) frontend.appendLog("qmere-cli fetch: making the last thumbnails");
            progress.updateThumbnails(core.pictures().counters().made);
            interrupted = !core.finishPictures([&] {
                progress.updateThumbnails(core.pictures().counters().made);
                return !guard.wait(0);
            });
        }
    }
    progress.finish();
    const bool runMessages = frontend.messageCount() > messagesBefore;
    std::vector<std::string> failures = core.runFailures();
    if (choice.settle()) {
        const std::string refusal = server->host + " refused the user name or password";
        if (std::find(failures.begin(), failures.end(), refusal) == failures.end())
            failures.insert(failures.begin(), refusal);
    }
    const bool saved = core.save();  // a failure is on standard error already

    if (interrupted) {
        frontend.printError("qmere-cli fetch: stopped");
        return InterruptGuard::exitStatus();
    }
    for (const std::string& failure : failures) frontend.printError("qmere-cli fetch: " + failure);
    if (!failures.empty()) return 1;
    int unread = 0;
    for (GroupEntry* group : groups)
        if (!group->has(Finished)) ++unread;
    if (runMessages || unread == static_cast<int>(groups.size())) {
        frontend.printError("qmere-cli fetch: could not read from " + server->host +
                            " (see the log above)");
        return 1;
    }
    return saved ? 0 : 1;
}

}  // namespace qm::cli
