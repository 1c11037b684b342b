// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli nzb: fetches the files an NZB lists into the data folder, repairing par2 sets
// that came short; or, with --export, writes the NZB of what a group's runs decoded.
#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/interruptguard.h"
#include "cli/optionparser.h"
#include "cli/progressline.h"
#include "cli/serveroptions.h"
#include "config/configvalues.h"
#include "config/serverentry.h"
#include "nzb/nzbexport.h"
#include "nzb/nzbjob.h"
#include "nzb/nzbparser.h"
#include "nzb/nzbwriter.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm::cli {

constexpr std::string_view NzbHelp =
    "usage: qmere-cli nzb [--server HOST[:PORT]] [--tls | --no-tls] [--user USER [--password\n"
    "                     PASSWORD | --password-file FILE]] [--threads N] [--quiet] FILE.nzb...\n"
    "       qmere-cli nzb --export GROUP [--since DAYS] [-o FILE]\n"
    "\n"
    "Fetches every file an NZB lists, segment by segment by message-id, over N connections\n"
    "(default: the \"Max Threads\" setting) with several commands in flight on each, decodes\n"
    "them (yEnc with its CRC, uuencode, MIME) and assembles each in segment order into\n"
    "DATA/nzb/NAME/ (NAME: the NZB's file name without \".nzb\"), with the same safe names\n"
    "as a group's files. Pictures get thumbnails, a gallery and picture database records as a\n"
    "group's do. What was fetched is recorded as it comes (DATA/nzb/NAME/.qmere-nzb.state):\n"
    "a stopped or killed fetch costs the segments in flight, and the next start never\n"
    "fetches a finished file again.\n"
    "\n"
    "When the NZB holds par2 files, each set is verified with the par2 tool once its files\n"
    "are in; when blocks are missing only as many recovery volumes as needed are fetched,\n"
    "the smallest first, and the set repaired. Each set is reported as \"complete\",\n"
    "\"repaired (N blocks)\" or \"short: N blocks missing, M available\". \"Remove par2\n"
    "files after repair\" (qmere-cli config) removes the par2 files and the damaged copies\n"
    "after a repair. Without par2 installed that is said once and the files stay as they are.\n"
    "\n"
    "--export writes an NZB 1.1 of the files GROUP's runs decoded (those of the last DAYS\n"
    "days with --since), each with the message-id and size of every article it came from,\n"
    "to FILE, or to standard output.\n"
    "\n"
    "Exit status: 0 when every NZB was fetched whole (or repaired); 1 when an NZB cannot be\n"
    "read, segments could not be fetched (they are asked for again next time), a set is\n"
    "short, or the data folder is in use; 2 on a usage error; 128 and the signal's number\n"
    "when a stop signal stopped it.\n";

namespace {

struct NzbOptions {
    ServerOptions server;
    std::optional<int> threads;
    bool quiet = false;
    std::optional<std::string> exportGroup;
    std::optional<int> sinceDays;
    std::string output;
    std::vector<std::string> files;
};

std::optional<int> number(std::string_view text, int low, int high) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// The server options of fetch and groups, and the command's own.
constexpr OptionDef Defs[] = {
    ServerOptionDefs[0], ServerOptionDefs[1], ServerOptionDefs[2],   ServerOptionDefs[3],
    ServerOptionDefs[4], ServerOptionDefs[5], {"threads", true},     {"quiet", false, 'q'},
    {"export", true},    {"since", true},     {"output", true, 'o'},
};

std::optional<std::string> parse(const ParsedArgs& parsed, NzbOptions& options) {
    if (auto problem = takeServerOptions(parsed, options.server)) return problem;
    const ConfigKey& range = configKey(&ConfigValues::maxThreads);
    if (auto v = parsed.last("threads");
        v && !(options.threads = number(*v, *range.minimum, *range.maximum)))
        return "--threads takes a number from " + range.rangeText();
    if (auto v = parsed.last("since"); v && !(options.sinceDays = number(*v, 0, 36500)))
        return std::string("--since takes a number of days from 0 to 36500");
    options.quiet = parsed.has("quiet");
    options.exportGroup = parsed.last("export");
    options.output = parsed.last("output").value_or(std::string());
    options.files = parsed.operands;
    if (options.exportGroup && !options.files.empty())
        return std::string("--export takes no NZB files");
    if (!options.exportGroup && options.files.empty()) return std::string("no NZB file given");
    return std::nullopt;
}

int exportNzb(CliSession& session, const NzbOptions& options) {
    Session& core = session.core();
    const NzbExport exported =
        exportGroup(core.history(), core.settings().dataDirectory, *options.exportGroup,
                    options.sinceDays, std::time(nullptr));
    if (!exported.error.empty()) {
        std::fprintf(stderr, "qmere-cli nzb: %s\n", exported.error.c_str());
        return 1;
    }
    if (exported.document.files.empty()) {
        std::fprintf(stderr, "qmere-cli nzb: no file of %s is recorded%s\n",
                     options.exportGroup->c_str(), options.sinceDays ? " in those days" : "");
        return 1;
    }
    if (exported.withoutId > 0)
        std::fprintf(stderr, "qmere-cli nzb: %d files left out: their message-ids are not known\n",
                     exported.withoutId);
    const std::string text = formatNzb(exported.document);
    if (options.output.empty() || options.output == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (!writeFileAtomic(options.output, text)) {
        std::fprintf(stderr, "qmere-cli nzb: cannot write %s\n", options.output.c_str());
        return 1;
    }
    return 0;
}

// "NAME: 3/10 files, 12.3/45.6 MB, 2.1 MB/s, 0:15 left, 2 segments missing"
std::string statusLine(const std::string& name, const NzbFetchFigures& figures, double seconds,
                       int width) {
    const double done = static_cast<double>(figures.bytesDone.load()) / 1e6;
    const double total = static_cast<double>(figures.bytes.load()) / 1e6;
    char text[256];
    int n = std::snprintf(text, sizeof text, "%s: %d/%d files, %.1f/%.1f MB", name.c_str(),
                          figures.filesDone.load(), figures.files.load(), done, total);
    std::string line(text, static_cast<std::size_t>(std::max(n, 0)));
    if (seconds > 1 && done > 0) {
        const double rate = done / seconds;
        std::snprintf(text, sizeof text, ", %.1f MB/s, %s left", rate,
                      durationText((total - done) / rate).c_str());
        line += text;
    }
    if (const int missing = figures.segmentsMissing.load())
        line += ", " + std::to_string(missing) + " segments missing";
    if (width > 1 && line.size() >= static_cast<std::size_t>(width)) line.resize(width - 1);
    return line;
}

}  // namespace

int runNzbCommand(Args args) {
    int usage = 0;
    const std::optional<ParsedArgs> parsed = commandOptions("nzb", args, Defs, NzbHelp, usage);
    if (!parsed) return usage;
    NzbOptions options;
    if (auto error = parse(*parsed, options)) return usageError("nzb", *error);
    CliSession session;
    if (!session.ok()) {
        std::fprintf(stderr, "qmere-cli nzb: %s\n", session.error().c_str());
        return 1;
    }
    if (options.exportGroup) return exportNzb(session, options);

    Session& core = session.core();
    ConsoleFrontend& frontend = session.frontend();
    ServerChoice choice(core, options.server);
    ServerEntry* server = choice.entry();
    if (!server) return usageError("nzb", "no server is saved in the settings: give --server");
    frontend.setQuiet(options.quiet);
    const bool showLine = !options.quiet && ::isatty(STDOUT_FILENO) && frontend.divertTraces();
    const int connections = options.threads.value_or(core.settings().maxThreads);

    int status = 0;
    bool interrupted = false;
    {
        InterruptGuard guard;
        for (const std::string& path : options.files) {
            NzbParse nzb = readNzbFile(path);
            for (const std::string& note : nzb.notes) frontend.appendLog(path + ": " + note);
            if (!nzb.ok()) {
                frontend.printError("qmere-cli nzb: " + path + ": " + nzb.error);
                status = 1;
                continue;
            }
            NzbJob job(core, *server);
            const auto start = std::chrono::steady_clock::now();
            auto drawn = start;
            const std::string name(baseName(path));
            const NzbOutcome outcome = job.run(path, nzb.document, connections, [&] {
                if (guard.wait(0)) return false;
                const auto now = std::chrono::steady_clock::now();
                if (showLine && job.figures() && now - drawn > std::chrono::milliseconds(250)) {
                    drawn = now;
                    winsize size{};
                    const int width = ::ioctl(frontend.outputDescriptor(), TIOCGWINSZ, &size) == 0
                                          ? size.ws_col
                                          : 80;
                    frontend.setStatusLine(
                        statusLine(name, *job.figures(),
                                   std::chrono::duration<double>(now - start).count(), width));
                }
                return true;
            });
            if (showLine) frontend.clearStatusLine();
            for (const std::string& set : outcome.sets) frontend.printAlways(set);
            for (const std::string& failure : outcome.failures)
                frontend.printError("qmere-cli nzb: " + failure);
            if (outcome.stopped) {
                interrupted = true;
                break;
            }
            if (!outcome.failures.empty() || outcome.shortSet) status = 1;
            frontend.printAlways(path + ": " + std::to_string(outcome.files) + " files in " +
                                 outcome.folder);
        }
        if (!interrupted && core.pictures().running())
            interrupted = !core.finishPictures([&] { return !guard.wait(0); });
    }
    if (choice.settle()) {
        frontend.printError("qmere-cli nzb: " + server->host +
                            " refused the user name or password");
        status = 1;
    }
    if (!core.save()) status = 1;
    if (interrupted) {
        frontend.printError("qmere-cli nzb: stopped");
        return InterruptGuard::exitStatus();
    }
    return status;
}

}  // namespace qm::cli
