// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli decode: the desktop program's "Decode files" command for files named on the
// command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/optionparser.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm::cli {
namespace {

constexpr std::string_view Help =
    "usage: qmere-cli decode [--] FILE...\n"
    "\n"
    "Decodes files on disk (saved articles, mail, any text holding uuencoded or MIME\n"
    "attachments, parts of split posts) as the desktop program's \"Decode files\" command\n"
    "does: from the last FILE given to the first, never overwriting a file that exists (the\n"
    "new one gets a numbered name such as 1_picture.jpg).\n"
    "\n"
    "Output: decoded files go to \"news.dat\" in the data directory (the \"Data\" setting,\n"
    "by default $XDG_DATA_HOME/qmere/, that is ~/.local/share/qmere/news.dat); a description\n"
    "found before a file goes beside it with the extension \".desc\". Parts of split posts\n"
    "wait in the data directory's \"tmp\" folder until the last one arrives, in this run or a\n"
    "later one. Each decoded file is printed as \"Decoded file PATH\".\n"
    "\n"
    "Log: information lines (\"Saving part ...\") and warnings (\"Warning: Did not find\n"
    "anything to unpack...\") go to the file \"Log\" in the data directory, which each run\n"
    "starts afresh. Settings: $XDG_CONFIG_HOME/Corvane,LLC/qmere.ini.\n"
    "\n"
    "Exit status: 0 when every FILE was opened; 1 when one could not be (\"Fail open file\n"
    "PATH\" on standard error; the other files are still decoded), or when another program\n"
    "(a fetch, the desktop program) works in the data folder or its lock cannot be taken;\n"
    "2 on a usage error.\n";

// Opens a file to decode; a folder counts as a file that cannot be opened.
FilePtr openInput(const std::string& path) {
    if (isDirectory(path)) return {};
    return openFile(path, "r");
}

}  // namespace

int runDecodeCommand(Args given) {
    int status = 0;
    const std::optional<ParsedArgs> parsed = commandOptions("decode", given, {}, Help, status);
    if (!parsed) return status;
    const std::vector<std::string>& args = parsed->operands;
    if (args.empty()) {
        std::fputs("qmere-cli decode: no FILE given (try --help)\n", stderr);
        return 2;
    }
    CliSession session;
    if (!session.ok()) {
        std::fprintf(stderr, "qmere-cli decode: %s\n", session.error().c_str());
        return 1;
    }
    // The catalogue's hook logs each decoded file ("Decoded file PATH") on standard output.
    Session& core = session.core();

    bool anyFailed = false;
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
        const std::string& path = *it;
        FilePtr in = openInput(path);
        if (!in) {
            std::fprintf(stderr, "Fail open file %s\n", path.c_str());
            anyFailed = true;
            continue;
        }
        DecodeResult result = core.decodeFile(std::move(in));
        if (result.outputFailed()) {
            // A file that could not be written is not kept: the run did not do its work.
            std::fprintf(stderr, "qmere-cli decode: cannot write %s: %s\n", result.path.c_str(),
                         std::strerror(result.error));
            anyFailed = true;
        }
    }
    std::fflush(stdout);
    return anyFailed ? 1 : 0;
}

}  // namespace qm::cli
