// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The options of a qmere-cli command as GNU tools take them (getopt_long): "--name value" and
// "--name=value", unique abbreviations, options and operands in any order, "--" ending the
// options. Each command lists its options; what they mean is the command's.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"

namespace qm::cli {

struct OptionDef {
    std::string_view name;    // without "--"
    bool takesValue = false;  // "--name VALUE"
    char shortName = 0;       // "-x" as well; 0: none
};

struct ParsedOption {
    std::string_view name;  // the option's name, however it was typed
    std::string value;      // empty for an option without one
};

struct ParsedArgs {
    std::vector<ParsedOption> options;  // in the order given
    std::vector<std::string> operands;

    bool has(std::string_view name) const;
    // The last value given for name (a later one overrides an earlier one, as in GNU tools).
    std::optional<std::string> last(std::string_view name) const;
    // Every value given for name, in order.
    std::vector<std::string> all(std::string_view name) const;
};

// Parses args (the words after the command's name); "--help" and "-h" are always known.
// A usage error ("unknown option --bogus", "--server needs a value") goes to problem.
std::optional<ParsedArgs> parseOptions(Args args, std::span<const OptionDef> defs,
                                       std::string& problem);

// "--a and --b exclude each other" when both are given; nothing otherwise.
std::optional<std::string> exclusive(const ParsedArgs& parsed, std::string_view a,
                                     std::string_view b);

// "qmere-cli COMMAND: TEXT (try --help)" on standard error; the exit status of a usage error.
int usageError(std::string_view command, std::string_view text);

// The options of "qmere-cli COMMAND". Nothing when the command ends with them, its exit
// status in status: 0 after --help (help printed), 2 on a usage error (said).
std::optional<ParsedArgs> commandOptions(std::string_view command, Args args,
                                         std::span<const OptionDef> defs, std::string_view help,
                                         int& status);

}  // namespace qm::cli
