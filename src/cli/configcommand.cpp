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
    "Keys (quote them, most hold a blank) and what they accept:\n";

// What follows the key list.
constexpr const char* HelpEnd =
    "Nothing is changed when a value is refused (exit status 1), or a key is unknown or a\n"
    "port is not a number from 1 to 65535 (2). A settings file that cannot be written is\n"
    "said on standard error (exit status 1).\n"
    "A kill pattern that does not compile is refused with the compiler's message while the\n"
    "other changes are kept (exit status 1).\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/Corvane,LLC/qmere.ini (default ~/.config/...), section\n"
    "[Config]. Server list: server.lst in the data directory.\n";

// The whole help: the key list made from the settings table, each key's text wrapped below
// the column where the texts start.
std::string helpText() {
    constexpr std::size_t Column = 17;
    constexpr std::size_t Width = 90;
    std::string text = Help;
    for (const ConfigKey& key : configKeys()) {
        std::string line = "  " + std::string(key.name);
        if (line.size() + 1 > Column) {
            text += line + "\n";
            line.clear();
        }
        line.resize(Column, ' ');
        const std::string words = key.helpText();
        std::size_t at = 0;
        bool first = true;
        while (at < words.size()) {
            std::size_t end = words.find(' ', at);
            if (end == std::string::npos) end = words.size();
            const std::string_view word(words.data() + at, end - at);
            if (!first && line.size() + 1 + word.size() > Width) {
                text += line + "\n";
                line.assign(Column, ' ');
                first = true;
            }
            if (!first) line += ' ';
            line += word;
            first = false;
            at = end + 1;
        }
        text += line + "\n";
    }
    return text + "\n" + HelpEnd;
}

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
        if (!core.saveServers()) status = 1;
    }
    // Told to change a setting, a profile that cannot be written is a failure.
    if (!core.saveSettings()) status = 1;
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
    const std::optional<ParsedArgs> parsed = commandOptions("config", args, {}, helpText(), status);
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
