// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli dupes: the pictures recorded twice, as exact copies or as look-alikes.
#include <cstdio>
#include <string>
#include <vector>

#include "catalog/perceptualhash.h"
#include "catalog/picturedatabase.h"
#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/optionparser.h"
#include "platform/paths.h"

namespace qm::cli {

constexpr std::string_view DupesHelp =
    "usage: qmere-cli dupes [GROUP...]\n"
    "\n"
    "Lists the pictures of the picture database (DATA/pictures.db) that are recorded twice:\n"
    "exact copies (the same content: the same SHA-256) and look-alikes (perceptual hashes at\n"
    "most 6 bits apart: the same picture re-encoded or resized), among the pairs that involve\n"
    "a picture of a GROUP (of any group when none is given). One line per pair, the picture\n"
    "recorded first first, fields separated by tabs:\n"
    "  copy  0         FIRST  SECOND\n"
    "  near  DISTANCE  FIRST  SECOND\n"
    "FIRST and SECOND are the pictures' full paths. With \"Skip duplicate pictures\" on (the\n"
    "default), copies are removed as they are decoded, so mostly look-alikes are listed.\n"
    "Look-alikes are known once their thumbnails are made (qmere-cli gallery).\n"
    "A count goes to standard error.\n"
    "\n"
    "One program at a time works in a data folder: while a fetch (or the desktop program)\n"
    "works in it, dupes is refused, naming the process that has it.\n"
    "\n"
    "Exit status: 0, also when there are none; 1 when the database cannot be read or the\n"
    "data folder is in use (or cannot be locked).\n";

int runDupesCommand(Args args) {
    int status = 0;
    const std::optional<ParsedArgs> parsed = commandOptions("dupes", args, {}, DupesHelp, status);
    if (!parsed) return status;
    const std::vector<std::string>& groups = parsed->operands;
    // Opening the database may set a damaged one aside or make its tables: a write.
    CliSession session({.openLog = false, .makeDataDirectory = false});
    if (!session.ok()) {
        std::fprintf(stderr, "qmere-cli dupes: %s\n", session.error().c_str());
        return 1;
    }
    const std::string& dataDirectory = session.settings().dataDirectory;
    if (!session.core().ownsDataDirectory() ||
        !fileExists(joinPath(dataDirectory, PictureDatabase::FileName))) {
        std::fprintf(stderr, "qmere-cli dupes: no picture database in %s yet\n",
                     dataDirectory.c_str());
        return 0;
    }
    PictureDatabase database(
        dataDirectory, [&session](std::string_view line) { session.frontend().appendLog(line); });
    if (!database.open()) return 1;
    int copies = 0, alike = 0;
    for (const DuplicatePair& pair : database.duplicates(groups, NearDuplicateDistance)) {
        ++(pair.exact ? copies : alike);
        std::printf("%s\t%d\t%s\t%s\n", pair.exact ? "copy" : "near",
                    pair.exact ? 0 : pair.distance,
                    joinPath(dataDirectory, pair.first.path).c_str(),
                    joinPath(dataDirectory, pair.second.path).c_str());
    }
    std::fprintf(stderr, "%d exact copies, %d look-alikes\n", copies, alike);
    return 0;
}

}  // namespace qm::cli
