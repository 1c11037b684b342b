// qmere-cli config: shows the settings of the "Config" section, or changes them with the
// checks and effects of the configuration dialog, then saves them as the program does at exit.
#include <charconv>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/clisession.h"
#include "cli/commands.h"
#include "platform/paths.h"

namespace qm::cli {
namespace {

constexpr const char* Help =
    "usage: qmere-cli config                   show every setting as Key=Value\n"
    "       qmere-cli config KEY...            show the named settings\n"
    "       qmere-cli config KEY=VALUE...      change settings, then save them\n"
    "\n"
    "Keys (quote them, most hold a blank) and what they accept:\n"
    "  Data           the data directory, at most 1024 characters; created if missing\n"
    "  Server         the news server: HOST or \"HOST PORT\"; the port goes to server.lst\n"
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
    "\n"
    "Nothing is changed when a value is refused (exit status 1) or a key is unknown (2).\n"
    "A kill pattern that does not compile is refused with the compiler's message while the\n"
    "other changes are kept (exit status 1).\n"
    "\n"
    "Settings: $XDG_CONFIG_HOME/Corvane,LLC/qmere.ini (default ~/.config/...), section\n"
    "[Config]. Server list: server.lst in the data directory.\n";

enum class Kind { Text, Int, Flag, Threads, Server, Fixed };

struct Key {
    std::string_view name;
    Kind kind;
    size_t maxLength;  // Text only
    std::function<std::string(const AppSettings&)> show;
};

std::vector<Key> keys() {
    auto text = [](std::string AppSettings::*field) {
        return [field](const AppSettings& s) { return s.*field; };
    };
    auto number = [](int AppSettings::*field) {
        return [field](const AppSettings& s) { return std::to_string(s.*field); };
    };
    // The order in which the program saves them.
    return {
        {"Data", Kind::Text, 1024, text(&AppSettings::dataDirectory)},
        {"Server", Kind::Server, 0, text(&AppSettings::server)},
        {"Browser", Kind::Text, 256, text(&AppSettings::browser)},
        {"Max Threads", Kind::Threads, 0, number(&AppSettings::maxThreads)},
        {"Kill pattern", Kind::Text, 256, text(&AppSettings::killPattern)},
        {"Keep Text", Kind::Flag, 0, number(&AppSettings::keepText)},
        {"Keep Desc", Kind::Flag, 0, number(&AppSettings::keepDesc)},
        {"Keep Dup", Kind::Flag, 0, number(&AppSettings::keepDup)},
        {"Keep Header", Kind::Fixed, 0, number(&AppSettings::keepHeader)},
        {"Free Alert", Kind::Int, 0, number(&AppSettings::freeAlert)},
        {"Skip short", Kind::Flag, 0, number(&AppSettings::skipShort)},
        {"Skip limit", Kind::Int, 0, number(&AppSettings::skipLimit)},
    };
}

const Key* findKey(const std::vector<Key>& all, std::string_view name) {
    for (const Key& k : all) {
        if (k.name == name) return &k;
    }
    return nullptr;
}

std::optional<int> parseInt(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The dialog's field validation: nothing when value is acceptable, else its message.
std::optional<std::string> validate(const Key& key, std::string_view value) {
    switch (key.kind) {
        case Kind::Text:
            if (value.size() > key.maxLength) {
                return "Please enter no more than " + std::to_string(key.maxLength) +
                       " characters.";
            }
            return std::nullopt;
        case Kind::Server:
            if (ServerEntry::parse(value).host.empty()) return "Please enter a server host.";
            return std::nullopt;
        case Kind::Fixed:
            return std::string(key.name) + " cannot be changed.";
        case Kind::Int:
        case Kind::Flag:
        case Kind::Threads: {
            auto n = parseInt(value);
            if (!n) return std::string("Please enter an integer.");
            if (key.kind == Kind::Threads && (*n < 1 || *n > 24)) {
                return std::string("Please enter an integer between 1 and 24.");
            }
            if (key.kind == Kind::Flag && (*n < 0 || *n > 1)) {
                return std::string("Please enter an integer between 0 and 1.");
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// The dialog's members: the current settings, overwritten by the changes asked for.
struct Changes {
    std::map<std::string, std::string, std::less<>> values;

    std::string text(std::string_view key, const std::string& current) const {
        auto it = values.find(key);
        return it == values.end() ? current : it->second;
    }
    int number(std::string_view key, int current) const {
        auto it = values.find(key);
        return it == values.end() ? current : *parseInt(it->second);
    }
};

// What the configuration dialog does on OK; 0, or 1 when something was refused.
int applyChanges(CliSession& session, const Changes& changes) {
    AppSettings& s = session.settings();
    std::string data = changes.text("Data", s.dataDirectory);
    if (makeDirectories(data) != 0) {
        session.frontend().messageBox("Fail make direcotry " + data, MessageIcon::Stop);
        return 1;
    }
    s.maxThreads = changes.number("Max Threads", s.maxThreads);
    s.keepText = changes.number("Keep Text", s.keepText);
    s.keepDesc = changes.number("Keep Desc", s.keepDesc);
    s.keepDup = changes.number("Keep Dup", s.keepDup);
    s.browser = changes.text("Browser", s.browser);
    s.freeAlert = changes.number("Free Alert", s.freeAlert);
    s.skipShort = changes.number("Skip short", s.skipShort);
    s.skipLimit = changes.number("Skip limit", s.skipLimit);
    int status = 0;
    if (changes.values.contains("Kill pattern")) {
        if (auto error = s.setKillPattern(changes.values.at("Kill pattern"))) {
            session.frontend().messageBox(*error, MessageIcon::Warning);
            status = 1;
        }
    }
    if (data != s.dataDirectory) {
        s.dataDirectory = data;
        s.loadSubscribed();
        s.loadSelected();
    }
    if (changes.values.contains("Server")) {
        // As the main window's server switch: the port of "HOST PORT" lives in the server's
        // entry, which only server.lst keeps, so that is saved too.
        s.useServerText(changes.values.at("Server"));
        (void)s.saveServers();
    }
    s.saveSettings();
    return status;
}

int show(CliSession& session, const std::vector<Key>& all, Args names) {
    for (std::string_view name : names) {
        if (!findKey(all, name)) {
            std::fprintf(stderr, "qmere-cli config: unknown key '%.*s' (see --help)\n",
                         static_cast<int>(name.size()), name.data());
            return 2;
        }
    }
    for (const Key& k : all) {
        bool wanted = names.empty();
        for (std::string_view name : names) wanted = wanted || name == k.name;
        if (wanted)
            std::printf("%s=%s\n", std::string(k.name).c_str(), k.show(session.settings()).c_str());
    }
    return 0;
}

}  // namespace

int runConfigCommand(Args args) {
    if (wantsHelp(args)) return printHelp(Help);
    const std::vector<Key> all = keys();
    Changes changes;
    std::vector<std::string_view> names;
    for (std::string_view arg : args) {
        size_t eq = arg.find('=');
        if (eq == std::string_view::npos) {
            names.push_back(arg);
            continue;
        }
        std::string_view name = arg.substr(0, eq);
        std::string_view value = arg.substr(eq + 1);
        const Key* key = findKey(all, name);
        if (!key) {
            std::fprintf(stderr, "qmere-cli config: unknown key '%.*s' (see --help)\n",
                         static_cast<int>(name.size()), name.data());
            return 2;
        }
        if (auto error = validate(*key, value)) {
            std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(name.size()), name.data(),
                         error->c_str());
            return 1;
        }
        changes.values[std::string(name)] = std::string(value);
    }
    if (!names.empty() && !changes.values.empty()) {
        std::fputs("qmere-cli config: give either keys to show or KEY=VALUE changes\n", stderr);
        return 2;
    }
    CliSession session({.openLog = false, .makeDataDirectory = false});
    if (changes.values.empty()) return show(session, all, names);
    return applyChanges(session, changes);
}

}  // namespace qm::cli
