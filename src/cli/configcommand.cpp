// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli config: shows the settings of the "Config" section, or changes them with the
// checks and effects of the configuration dialog, then saves them as the program does at exit.
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/optionparser.h"
#include "config/configvalues.h"

namespace qm::cli {
namespace {

constexpr const char* Help =
    "usage: qmere-cli config                   show every setting as Key=Value\n"
    "       qmere-cli config [--] KEY...       show the named settings\n"
    "       qmere-cli config [--] KEY=VALUE... change settings, then save them\n"
    "\n"
    "Keys (quote them, most hold a blank) and what they accept:\n"
    "  Data           the data directory, at most 1024 characters; created if missing; a\n"
    "                 relative path is taken from the current folder and stored absolute\n"
    "  Server         the news server: HOST, \"HOST PORT\" or HOST:PORT (PORT 1 to 65535); the\n"
    "                 port goes to server.lst\n"
    "  Browser        the web browser program, at most 256 characters (empty: xdg-open)\n"
    "  Max Threads    reader threads, 1 to 24 (takes effect at the next start)\n"
    "  Kill pattern   exclude pattern list, at most 256 characters; an article whose subject\n"
    "                 matches every word (a regular expression each) is skipped; empty: off\n"
    "  Keep Text      0/1: keep the saved article text after decoding\n"
    "  Keep Desc      0/1: save descriptions\n"
    "  Keep Dup       0/1: 1 writes a new file beside an existing one, 0 overwrites it\n"
    "  Keep Header    shown only; it is kept as it is\n"
    "  Free Alert     low-water mark of free disk space, in MB (an integer)\n"
    "  Skip short     0/1: skip articles of at most \"Skip limit\" lines\n"
    "  Skip limit     line limit of \"Skip short\" (an integer)\n"
    "  First visit    a group never read before starts with its newest N articles,\n"
    "                 0 to 100000000 (1000; 0: with its first article)\n"
    "  First visit days\n"
    "                 ...or with the articles of the last N days, 0 to 36500 (0: off)\n"
    "  Compress       0/1: compress what the server sends (COMPRESS DEFLATE) where it\n"
    "                 offers it\n"
    "  Skip duplicate pictures\n"
    "                 0/1: 1 removes a decoded picture whose content was recorded before (a\n"
    "                 copy under another name) and does not catalogue it; it is not fetched\n"
    "                 again (default 1)\n"
    "  Thumbnails     0/1: 1 records every decoded picture in the picture database and makes\n"
    "                 its thumbnail and gallery cell; 0 leaves that out (and with it \"Skip\n"
    "                 duplicate pictures\") (default 1)\n"
    "  Remove par2 files after repair\n"
    "                 0/1: 1 removes an NZB's par2 files and the damaged copies once par2\n"
    "                 has repaired its set (default 0)\n"
    "\n"
    "Nothing is changed when a value is refused (exit status 1), or a key is unknown or a\n"
    "port is not a number from 1 to 65535 (2). A settings file that cannot be written is\n"
    "said on standard error (exit status 1).\n"
    "A kill pattern that does not compile is refused with the compiler's message while the\n"
    "other changes are kept (exit status 1).\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/Corvane,LLC/qmere.ini (default ~/.config/...), section\n"
    "[Config]. Server list: server.lst in the data directory.\n";

void unknownKey(std::string_view name) {
    std::fprintf(stderr, "qmere-cli config: unknown key '%.*s' (see --help)\n",
                 static_cast<int>(name.size()), name.data());
}

// What the configuration dialog does on OK, and the server box for "Server"; 0, or 1 when
// something was refused.
int applyChanges(CliSession& session,
                 const std::vector<std::pair<const ConfigKey*, std::string>>& changes) {
    Session& core = session.core();
    ConfigValues values = core.configuration();
    std::optional<std::string> server;
    for (const auto& [key, text] : changes) {
        if (key->kind == ConfigKey::Kind::Server)
            server = text;
        else
            setConfigText(*key, values, text);
    }
    Session::Applied applied = core.applyConfiguration(values);
    if (applied.refused) {
        session.frontend().messageBox(*applied.message, MessageIcon::Stop);
        return 1;
    }
    int status = 0;
    if (applied.message) {
        session.frontend().messageBox(*applied.message, MessageIcon::Warning);
        status = 1;
    }
    if (server) {
        // As the main window's server switch: the port of "HOST PORT" lives in the server's
        // entry, which only server.lst keeps, so that is saved too.
        core.switchServer(*server);
        if (!core.settings().saveServersReported()) status = 1;
    }
    // Told to change a setting, a profile that cannot be written is a failure.
    if (!core.settings().saveSettings()) status = 1;
    return status;
}

int show(CliSession& session, Args names) {
    for (std::string_view name : names) {
        if (!findConfigKey(name)) {
            unknownKey(name);
            return 2;
        }
    }
    const ConfigValues values = session.core().configuration();
    for (const ConfigKey& k : configKeys()) {
        bool wanted = names.empty();
        for (std::string_view name : names) wanted = wanted || name == k.name;
        if (wanted)
            std::printf("%s=%s\n", std::string(k.name).c_str(), configText(k, values).c_str());
    }
    return 0;
}

}  // namespace

int runConfigCommand(Args args) {
    int status = 0;
    const std::optional<ParsedArgs> parsed = commandOptions("config", args, {}, Help, status);
    if (!parsed) return status;
    std::vector<std::pair<const ConfigKey*, std::string>> changes;
    std::vector<std::string_view> names;
    for (std::string_view arg : parsed->operands) {
        size_t eq = arg.find('=');
        if (eq == std::string_view::npos) {
            names.push_back(arg);
            continue;
        }
        std::string_view name = arg.substr(0, eq);
        std::string_view value = arg.substr(eq + 1);
        const ConfigKey* key = findConfigKey(name);
        if (!key) {
            unknownKey(name);
            return 2;
        }
        if (auto error = configProblem(*key, value)) {
            std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(name.size()), name.data(),
                         error->c_str());
            // A port that is no port is a usage error, as in --server.
            const bool badPort =
                key->kind == ConfigKey::Kind::Server && *error != "Please enter a server host.";
            return badPort ? 2 : 1;
        }
        changes.emplace_back(key, std::string(value));
    }
    if (!names.empty() && !changes.empty()) {
        std::fputs("qmere-cli config: give either keys to show or KEY=VALUE changes\n", stderr);
        return 2;
    }
    // Settings only: a fetch may be working in the data directory meanwhile.
    CliSession session({.openLog = false, .makeDataDirectory = false, .lockDataDirectory = false});
    if (changes.empty()) return show(session, names);
    return applyChanges(session, changes);
}

}  // namespace qm::cli
