// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/optionparser.h"

#include <getopt.h>

#include <algorithm>
#include <cstdio>

#include "cli/clisession.h"

namespace qm::cli {
namespace {

constexpr OptionDef HelpDef{"help", false, 'h'};
// getopt_long's value for the long options without a letter: past every char.
constexpr int LongOnly = 256;

// "--s" may be the start of several options: say which, rather than "unknown".
std::string unknownLong(const std::string& word, std::span<const OptionDef> defs) {
    std::string candidates;
    if (word.starts_with("--") && word.size() > 2) {
        const std::string_view typed = std::string_view(word).substr(2);
        for (const OptionDef& s : defs)
            if (s.name.starts_with(typed))
                candidates += (candidates.empty() ? "" : ", ") + ("--" + std::string(s.name));
    }
    if (candidates.find(',') != std::string::npos)
        return "option " + word + " is ambiguous (" + candidates + ")";
    return "unknown option " + word;
}

}  // namespace

bool ParsedArgs::has(std::string_view name) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const ParsedOption& o) { return o.name == name; });
}

std::optional<std::string> ParsedArgs::last(std::string_view name) const {
    for (auto it = options.rbegin(); it != options.rend(); ++it)
        if (it->name == name) return it->value;
    return std::nullopt;
}

std::vector<std::string> ParsedArgs::all(std::string_view name) const {
    std::vector<std::string> values;
    for (const ParsedOption& o : options)
        if (o.name == name) values.push_back(o.value);
    return values;
}

std::optional<ParsedArgs> parseOptions(Args args, std::span<const OptionDef> given,
                                       std::string& problem) {
    std::vector<OptionDef> defs(given.begin(), given.end());
    defs.push_back(HelpDef);

    // getopt_long wants NUL-terminated, writable words, and permutes them.
    std::vector<std::string> words{"qmere-cli"};
    for (std::string_view a : args) words.emplace_back(a);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    std::vector<std::string> names;  // getopt_long keeps pointers to them
    names.reserve(defs.size());
    std::vector<option> table;
    std::string shortOptions = ":";  // ':' reports a missing value apart from an unknown option
    for (std::size_t i = 0; i < defs.size(); ++i) {
        names.emplace_back(defs[i].name);
        const int value = defs[i].shortName ? defs[i].shortName : LongOnly + static_cast<int>(i);
        table.push_back({names.back().c_str(), defs[i].takesValue ? required_argument : no_argument,
                         nullptr, value});
        if (defs[i].shortName) {
            shortOptions += defs[i].shortName;
            if (defs[i].takesValue) shortOptions += ':';
        }
    }
    table.push_back({nullptr, 0, nullptr, 0});

    const auto defOf = [&](int value) -> const OptionDef* {
        if (value >= LongOnly && value - LongOnly < static_cast<int>(defs.size()))
            return &defs[static_cast<std::size_t>(value - LongOnly)];
        for (const OptionDef& s : defs)
            if (s.shortName && s.shortName == value) return &s;
        return nullptr;
    };

    ParsedArgs parsed;
    const int argc = static_cast<int>(words.size());
    // The command runs once per process, but the parser's state is the C library's: start
    // it afresh (0, not 1, also resets what glibc keeps between calls). Messages are ours.
    optind = 0;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv.data(), shortOptions.c_str(), table.data(), nullptr);
        if (c == -1) break;
        const std::string word = optind - 1 < argc && argv[static_cast<std::size_t>(optind - 1)]
                                     ? argv[static_cast<std::size_t>(optind - 1)]
                                     : "";
        if (c == '?') {
            if (optopt != 0 && optopt < LongOnly)
                problem = std::string("unknown option -") + static_cast<char>(optopt);
            else
                problem = unknownLong(word.substr(0, word.find('=')), defs);
            return std::nullopt;
        }
        if (c == ':') {
            const OptionDef* def = defOf(optopt);
            problem = (def ? "--" + std::string(def->name) : word) + " needs a value";
            return std::nullopt;
        }
        const OptionDef* def = defOf(c);
        if (!def) continue;  // not reached: every value is one of the options'
        parsed.options.push_back({def->name, optarg ? std::string(optarg) : std::string()});
    }
    for (int i = optind; i < argc; ++i)
        parsed.operands.emplace_back(argv[static_cast<std::size_t>(i)]);
    return parsed;
}

std::optional<std::string> exclusive(const ParsedArgs& parsed, std::string_view a,
                                     std::string_view b) {
    if (!parsed.has(a) || !parsed.has(b)) return std::nullopt;
    return "--" + std::string(a) + " and --" + std::string(b) + " exclude each other";
}

int usageError(std::string_view command, std::string_view text) {
    std::fprintf(stderr, "qmere-cli %.*s: %.*s (try --help)\n", static_cast<int>(command.size()),
                 command.data(), static_cast<int>(text.size()), text.data());
    return 2;
}

std::optional<ParsedArgs> commandOptions(std::string_view command, Args args,
                                         std::span<const OptionDef> defs, std::string_view help,
                                         int& status) {
    std::string problem;
    std::optional<ParsedArgs> parsed = parseOptions(args, defs, problem);
    if (!parsed) {
        status = usageError(command, problem);
        return std::nullopt;
    }
    if (parsed->has("help")) {
        status = printHelp(help);
        return std::nullopt;
    }
    return parsed;
}

}  // namespace qm::cli
