// qmere-cli fetch: the desktop program's "Get pictures!" for the groups named on the command
// line, until every group is finished or Ctrl-C stops it as "Stop pictures!" does.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "catalog/indexpages.h"
#include "cli/clisession.h"
#include "cli/commands.h"
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
    "usage: qmere-cli fetch --server HOST[:PORT] [--tls] [--user USER --password PASSWORD]\n"
    "                       [--threads N] [--newest N | --since DAYS] [--no-overview]\n"
    "                       GROUP...\n"
    "\n"
    "Retrieves the pictures and other files posted in the GROUPs as the desktop program's\n"
    "\"Get pictures!\" does: N readers (default: the \"Max Threads\" setting) each with its\n"
    "own connection walk the groups' new articles, skip those already retrieved, short ones\n"
    "(\"Skip short\", \"Skip limit\") and those matching the \"Kill pattern\", and decode the\n"
    "rest at once. The run ends when every group is finished; Ctrl-C stops it as \"Stop\n"
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
    "--server makes HOST (port 119 unless given) the server in use, as the desktop program's\n"
    "server box does. With --user and --password the credentials are stored in its entry in\n"
    "\"server.lst\" and sent at every connect (AUTHINFO). --tls, or a server given as\n"
    "nntps://HOST[:PORT] (port 563 by default), connects with TLS and checks the server's\n"
    "certificate; no credential is ever sent before TLS is up. The server stays marked\n"
    "secure in \"server.lst\".\n"
    "\n"
    "Output: log lines on standard output, failures on standard error. Decoded files go to\n"
    "DATA/GROUP/news.dat (DATA: the \"Data\" setting, by default $XDG_DATA_HOME/qmere/), with\n"
    "the group's index pages (DATA/GROUP/idx<yymmdd>.html) and picture list (data.lst). Each\n"
    "group's reading position (\"Last\"), the retrieved message-ids (\"MSGLIST\"), the\n"
    "settings and the group lists are saved at the end, so the next run continues. Each\n"
    "decoded article is recorded at once (DATA/MSGLIST.log): a run that is killed costs at\n"
    "most the articles in flight, which the next run fetches again.\n"
    "\n"
    "One program at a time works in a data folder: a second fetch (or the desktop program)\n"
    "on the same one is refused, naming the process that has it.\n"
    "\n"
    "Exit status: 0 for a finished run; 1 when the server cannot be reached, refuses the\n"
    "credentials, asks for a login that nobody gave, a GROUP's folder cannot be made, no\n"
    "GROUP could be read, a decoded file could not be written (a full disk stops the run;\n"
    "what was not stored is fetched again next time), the settings and lists could not be\n"
    "saved (the reason is on standard error), or the data folder is in use; 2 on a usage\n"
    "error; 130 when stopped by Ctrl-C.\n";

namespace {

std::atomic<bool> Interrupted{false};
int InterruptPipe[2] = {-1, -1};

extern "C" void onInterrupt(int) {
    Interrupted.store(true);
    if (InterruptPipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(InterruptPipe[1], &byte, 1);
    }
}

// SIGINT sets the flag and wakes the main thread through a pipe; restored on destruction.
class InterruptGuard {
  public:
    InterruptGuard() {
        Interrupted = false;
        if (::pipe(InterruptPipe) != 0) InterruptPipe[0] = InterruptPipe[1] = -1;
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &m_old);
    }
    ~InterruptGuard() {
        ::sigaction(SIGINT, &m_old, nullptr);
        for (int& fd : InterruptPipe) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Waits at most timeoutMs for Ctrl-C; true when it came.
    bool wait(int timeoutMs) const {
        if (Interrupted) return true;
        pollfd fd{InterruptPipe[0], POLLIN, 0};
        if (fd.fd >= 0) ::poll(&fd, 1, timeoutMs);
        return Interrupted.load();
    }

  private:
    struct sigaction m_old {};
};

struct FetchOptions {
    std::string server;
    bool tls = false;
    std::optional<std::string> user, password;
    std::optional<int> threads;
    RunOptions run;
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
        } else if (arg.starts_with("--")) {
            return "unknown option " + std::string(arg);
        } else {
            options.groups.emplace_back(arg);
        }
    }
    if (options.server.empty()) return std::string("--server is required");
    std::string problem;
    auto server = parseServerArgument(options.server, &problem);
    if (!server) return problem;
    options.server = server->text;
    options.tls = options.tls || server->tls;
    if (options.user.has_value() != options.password.has_value())
        return std::string("--user and --password go together");
    if (options.groups.empty()) return std::string("no GROUP given");
    return std::nullopt;
}

GroupEntry& groupNamed(AppSettings& settings, const std::string& name) {
    if (GroupEntry* entry = settings.allGroups.find(name)) return *entry;
    GroupEntry& entry = settings.newGroup(name, Active);
    settings.allGroups.add(entry);
    return entry;
}

// As the server box's switch (the new server's own group lists), with the secure flag and
// the credentials given.
void useServer(Session& session, const FetchOptions& options) {
    session.switchServer(options.server);
    ServerEntry* entry = session.settings().currentServer();
    if (!entry) return;
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
    const bool credentialsGiven = options.user.has_value();
    if (makeDirectories(settings.groupListDirectory()) != 0) {
        std::fprintf(stderr, "Fail to create data directory %s\n",
                     settings.groupListDirectory().c_str());
        return 1;
    }

    GroupTable run;
    std::vector<GroupEntry*> groups;
    for (auto it = options.groups.rbegin(); it != options.groups.rend(); ++it) {
        GroupEntry& group = groupNamed(settings, *it);
        group.set(Selected);
        if (run.add(group)) groups.push_back(&group);
    }

    const int messagesBefore = frontend.messageCount();
    bool interrupted = false;
    {
        InterruptGuard guard;
        ReaderPool& pool = core.readerPool(options.threads);
        frontend.resetFinished();
        (void)core.startRun(run, options.run);
        while (pool.runningReaders() > 0 && !frontend.runHasFinished()) {
            if (guard.wait(100)) {
                interrupted = true;
                break;
            }
        }
        core.finishRun();
    }
    const bool runMessages = frontend.messageCount() > messagesBefore;
    const std::vector<std::string> failures = core.readerPool().runFailures();
    const bool saved = core.save();  // a failure is on standard error already

    if (interrupted) {
        std::fputs("qmere-cli fetch: stopped\n", stderr);
        return 130;
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
