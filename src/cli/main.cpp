// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli: the headless front end on the same core and profile as the windows.
#include <cstdio>
#include <string_view>
#include <vector>

#include "cli/commands.h"

namespace {

constexpr const char* Usage =
    "usage: qmere-cli COMMAND [OPTIONS] [ARGS]\n"
    "       qmere-cli --help | --version\n"
    "\n"
    "Quillmere without windows, on the same settings and data as the desktop program.\n"
    "\n"
    "commands:\n"
    "  config [KEY=VALUE...]   show or change the settings (qmere-cli config --help)\n"
    "  decode FILE...          decode files on disk (qmere-cli decode --help)\n"
    "  dupes [GROUP...]        list pictures recorded twice: copies and look-alikes\n"
    "  fetch GROUP...          retrieve and decode new articles (qmere-cli fetch --help)\n"
    "  gallery [--rebuild] [GROUP...]\n"
    "                          make what is missing of the galleries, thumbnails and picture\n"
    "                          database, or rebuild them (qmere-cli gallery --help)\n"
    "  groups                  list the server's newsgroups (qmere-cli groups --help)\n"
    "  groups --subscribe GROUP --select GROUP ...\n"
    "                          choose the groups to fetch without the desktop program\n"
    "  nzb FILE.nzb...         fetch the files NZBs list, repairing par2 sets (qmere-cli nzb\n"
    "                          --help); nzb --export GROUP writes one\n"
    "  servers                 list the servers; --add, --set, --remove set up fill servers\n"
    "                          (qmere-cli servers --help)\n"
    "\n"
    "Options are GNU style: --name VALUE or --name=VALUE, in any order with the other\n"
    "arguments; -- ends them. Exit status 2 on a usage error.\n"
    "Settings: $XDG_CONFIG_HOME/Corvane,LLC/qmere.ini; data: $XDG_DATA_HOME/qmere/.\n";

struct Command {
    std::string_view name;
    int (*run)(qm::cli::Args);
};

constexpr Command Commands[] = {
    {"config", qm::cli::runConfigCommand},   {"decode", qm::cli::runDecodeCommand},
    {"dupes", qm::cli::runDupesCommand},     {"fetch", qm::cli::runFetchCommand},
    {"gallery", qm::cli::runGalleryCommand}, {"groups", qm::cli::runGroupsCommand},
    {"nzb", qm::cli::runNzbCommand},         {"servers", qm::cli::runServersCommand},
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(Usage, stderr);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (args[0] == "--version") {
        std::puts("qmere-cli " QM_VERSION);
        return 0;
    }
    for (const Command& command : Commands) {
        if (args[0] == command.name) return command.run(qm::cli::Args(args).subspan(1));
    }
    if (args[0].starts_with("-"))
        std::fprintf(stderr, "qmere-cli: unknown option %.*s (try --help)\n",
                     static_cast<int>(args[0].size()), args[0].data());
    else
        std::fprintf(stderr, "qmere-cli: unknown command '%.*s' (try --help)\n",
                     static_cast<int>(args[0].size()), args[0].data());
    return 2;
}
