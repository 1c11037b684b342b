// SPDX-License-Identifier: GPL-3.0-or-later
// qmere-cli gallery: the groups' galleries, thumbnails and picture database brought up to date
// with the pictures on disk (or rebuilt from them), and where the galleries are.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "catalog/gallerypage.h"
#include "catalog/picturelist.h"
#include "catalog/picturerebuild.h"
#include "catalog/thumbnailworker.h"
#include "cli/clisession.h"
#include "cli/commands.h"
#include "cli/interruptguard.h"
#include "cli/optionparser.h"
#include "platform/paths.h"

namespace qm::cli {

constexpr std::string_view GalleryHelp =
    "usage: qmere-cli gallery [--rebuild] [GROUP...]\n"
    "\n"
    "Each group's pictures are shown in its gallery, DATA/GROUP/gallery.html: their thumbnails\n"
    "(DATA/GROUP/thumbs/), newest first, each leading to its picture; pictures that look like\n"
    "another one are framed. The picture database DATA/pictures.db records every picture\n"
    "(group, file, size, SHA-256, perceptual hash, width and height, message-id, date). All\n"
    "three are made as pictures are fetched; DATA is the \"Data\" setting (by default\n"
    "$XDG_DATA_HOME/qmere/).\n"
    "\n"
    "Without --rebuild: makes what is missing, then prints where each gallery is. Pictures of\n"
    "the picture lists (DATA/GROUP/data.lst) that the database does not know, or whose\n"
    "thumbnail is gone, get their record and thumbnail; thumbnails a stopped run left to do\n"
    "are made; the galleries are written again. Without a database it is rebuilt.\n"
    "\n"
    "--rebuild: rebuilds the records, thumbnails and galleries of the GROUPs from their\n"
    "picture lists and files, as after losing or damaging the database. What the files\n"
    "cannot tell (message-id, date, whole subject) is kept from the database where it holds\n"
    "the same file with the same content. The records of groups not named stay as they are.\n"
    "\n"
    "GROUP: a newsgroup with a picture list; every such group when none is given.\n"
    "Progress goes to standard error. Ctrl-C (or SIGTERM, SIGHUP) stops the work: a stopped\n"
    "rebuild changes no record; thumbnails not made yet are made next time.\n"
    "\n"
    "One program at a time works in a data folder: while a fetch (or the desktop program)\n"
    "works in it, gallery is refused, naming the process that has it, and a fetch started\n"
    "while gallery works is refused likewise.\n"
    "\n"
    "Exit status: 0; 1 when a GROUP has no picture list, the database cannot be written, or\n"
    "the data folder is in use or cannot be locked; 2 on a usage error; 128 and the signal's\n"
    "number when a stop signal stopped it (130: Ctrl-C, 143: SIGTERM).\n";

namespace {

using namespace std::chrono_literals;

// "what: done of total" on standard error, through the front end that writes the log lines
// too: one line rewritten on a terminal, else a line at most every few seconds and at the end.
class Progress {
  public:
    Progress(ConsoleFrontend& frontend, std::string what)
        : m_frontend(frontend),
          m_what(std::move(what)),
          m_rewrite(ConsoleFrontend::canRewrite(STDERR_FILENO)) {
        if (m_rewrite) m_frontend.setStatusStream(stderr);
    }
    ~Progress() {
        if (m_rewrite) m_frontend.clearStatusLine();
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void show(int done, int total) {
        const auto now = std::chrono::steady_clock::now();
        const auto every = m_rewrite ? 200ms : 5s;
        if (done < total && m_shown && now - m_last < every) return;
        m_shown = true;
        m_last = now;
        const std::string line =
            m_what + ": " + std::to_string(done) + " of " + std::to_string(total);
        if (m_rewrite && done < total) {
            m_frontend.setStatusLine(line);
            return;
        }
        if (m_rewrite) m_frontend.clearStatusLine();
        m_frontend.printError(line);
    }

  private:
    ConsoleFrontend& m_frontend;
    std::string m_what;
    bool m_rewrite;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_last;
};

struct GalleryOptions {
    bool rebuild = false;
    std::vector<std::string> groups;
};

// The groups named (all with a picture list when none is); false when one has none.
bool chooseGroups(const std::string& dataDirectory, const std::vector<std::string>& names,
                  std::vector<PictureGroup>& chosen) {
    const std::vector<PictureGroup> all = pictureGroupsIn(dataDirectory);
    if (names.empty()) {
        chosen = all;
        return true;
    }
    for (const std::string& name : names) {
        auto found = std::find_if(all.begin(), all.end(),
                                  [&](const PictureGroup& g) { return g.name == name; });
        if (found == all.end()) {
            std::fprintf(stderr, "qmere-cli gallery: %s has no picture list in %s\n", name.c_str(),
                         dataDirectory.c_str());
            return false;
        }
        chosen.push_back(*found);
    }
    return true;
}

int rebuild(Session& core, ConsoleFrontend& frontend, std::span<const PictureGroup> groups,
            bool someGroups) {
    const std::string& dataDirectory = core.settings().dataDirectory;
    auto log = [&core](std::string_view line) { core.frontend().appendLog(line); };
    PictureDatabase database(dataDirectory, log);
    if (!database.open()) return 1;
    ThumbnailOptions quiet;
    quiet.logUnreadable = false;  // said once, below: a rebuild meets every such file again
    Thumbnailer thumbnailer(log, quiet, &InterruptGuard::flag());
    Progress progress(frontend, "Pictures rebuilt");
    RebuildOptions options;
    options.keepOtherGroups = someGroups;
    options.progress = [&](int done, int total) { progress.show(done, total); };
    options.stop = &InterruptGuard::flag();
    const RebuildReport report = rebuildPictures(database, thumbnailer, groups, options);
    if (report.stopped) {
        frontend.printError("qmere-cli gallery: stopped; nothing was changed");
        return InterruptGuard::exitStatus();
    }
    if (report.unreadable > 0)
        core.frontend().appendLog(unreadableSummary(report.unreadable, report.firstUnreadable));
    std::printf(
        "%d pictures recorded, %d with a thumbnail; %d listed files missing; %d stray "
        "thumbnails removed\n",
        report.pictures, report.shown, report.missing, report.removedThumbnails);
    return report.stored ? 0 : 1;
}

using Recorded = std::map<std::string, PictureState>;  // by path

// Hands the worker every listed picture of group that the database lacks, or whose
// thumbnail is gone; the number handed over. Pending ones the worker finds itself.
int submitMissing(ThumbnailWorker& worker, const PictureGroup& group, const Recorded& recorded,
                  const std::string& dataDirectory) {
    PictureList list;
    readPictureListFile(joinPath(group.folder, "data.lst"), list);
    int submitted = 0;
    for (const auto& [name, record] : list) {
        if (!record || !canThumbnail(name)) continue;
        const std::string file = joinPath(joinPath(group.folder, "news.dat"), name);
        const auto known = recorded.find(relativeToData(dataDirectory, file));
        if (known != recorded.end() &&
            (known->second != PictureState::Shown || fileExists(thumbnailPath(group.folder, name))))
            continue;
        std::optional<Sha256> sha = sha256OfFile(file);
        if (!sha) continue;  // listed, but the file is gone
        worker.submit({file, group.name, group.folder, record->description, {}}, *sha);
        ++submitted;
    }
    return submitted;
}

// Makes what is missing; InterruptGuard::exitStatus() when a stop signal stopped it.
int catchUp(Session& core, ConsoleFrontend& frontend, std::span<const PictureGroup> groups,
            const InterruptGuard& guard) {
    const std::string& dataDirectory = core.settings().dataDirectory;
    auto log = [&core](std::string_view line) { core.frontend().appendLog(line); };
    Recorded recorded;
    {
        PictureDatabase database(dataDirectory, log);
        if (database.open(false))
            for (const StoredPicture& p : database.all()) recorded.emplace(p.path, p.state);
    }
    ThumbnailWorker worker(dataDirectory, log);  // also makes what an earlier run left pending
    int submitted = 0;
    for (const PictureGroup& group : groups)
        submitted += submitMissing(worker, group, recorded, dataDirectory);
    Progress progress(frontend, "Thumbnails made");
    while (!worker.waitIdle(100ms)) {
        const ThumbnailWorker::Counters c = worker.counters();
        progress.show(c.made + c.unreadable, std::max(submitted, c.made + c.unreadable + 1));
        if (guard.wait(0)) {
            worker.stop();
            frontend.printError("qmere-cli gallery: stopped; the rest is made next time");
            return InterruptGuard::exitStatus();
        }
    }
    worker.stop();
    return 0;
}

// Writes each group's gallery from the database and says where it is.
int writeAndList(Session& core, std::span<const PictureGroup> groups) {
    auto log = [&core](std::string_view line) { core.frontend().appendLog(line); };
    PictureDatabase database(core.settings().dataDirectory, log);
    if (!database.open(false)) return 1;
    int status = 0;
    for (const PictureGroup& group : groups) {
        const std::vector<StoredPicture> pictures = database.groupPictures(group.name);
        const std::string page = joinPath(group.folder, GalleryPageName);
        if (!writeGalleryPage(group.folder, group.name, pictures)) {
            std::fprintf(stderr, "qmere-cli gallery: Fail create file %s\n", page.c_str());
            status = 1;
            continue;
        }
        std::printf("%s: %zu pictures, %s\n", group.name.c_str(), pictures.size(), page.c_str());
    }
    return status;
}

}  // namespace

int runGalleryCommand(Args args) {
    constexpr OptionDef Defs[] = {{"rebuild"}};
    int usage = 0;
    const std::optional<ParsedArgs> parsed =
        commandOptions("gallery", args, Defs, GalleryHelp, usage);
    if (!parsed) return usage;
    GalleryOptions options;
    options.rebuild = parsed->has("rebuild");
    options.groups = parsed->operands;
    // It writes the database, thumbnails and galleries: a fetch must not work there meanwhile.
    CliSession session({.openLog = false, .makeDataDirectory = false});
    if (!session.ok()) {
        std::fprintf(stderr, "qmere-cli gallery: %s\n", session.error().c_str());
        return 1;
    }
    Session& core = session.core();
    const std::string& dataDirectory = core.settings().dataDirectory;
    std::vector<PictureGroup> groups;
    if (!chooseGroups(dataDirectory, options.groups, groups)) return 1;
    if (!core.ownsDataDirectory()) {
        std::fprintf(stderr, "qmere-cli gallery: no data folder %s yet\n", dataDirectory.c_str());
        return 0;
    }

    InterruptGuard guard;
    const bool noDatabase = !fileExists(joinPath(dataDirectory, PictureDatabase::FileName));
    int status = 0;
    if (options.rebuild || noDatabase) {
        if (!options.rebuild) std::puts("No picture database yet: it is made from the files");
        status =
            rebuild(core, session.frontend(), groups, options.rebuild && !options.groups.empty());
    } else {
        status = catchUp(core, session.frontend(), groups, guard);
    }
    if (status != 0) return status;
    return writeAndList(core, groups);
}

}  // namespace qm::cli
