// SPDX-License-Identifier: GPL-3.0-or-later
// Writes a real set of a group's pages for the browser test: a data directory with one group
// whose news.dat holds three GIF pictures and a text file, each recorded the way a reader
// thread records a decoded file, then the day pages, the full index, and the thumbnails and
// gallery the thumbnail worker makes of the pictures.
//
//   makepages <folder>
//
// Prints "day <path>", "full <path>", "gallery <path>", then "picture <name> <width> <height>"
// or "file <name>" per decoded file, and "thumbnail <name> <width> <height>" per picture in
// the order it was handed to the worker ("nopreview <name>" for one it could not read), for
// the test to read.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/gallerypage.h"
#include "catalog/indexpages.h"
#include "catalog/picturelist.h"
#include "catalog/thumbnailworker.h"
#include "config/appsettings.h"
#include "config/frontend.h"
#include "decode/decoder.h"
#include "model/groupentry.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/silentfrontend.h"

namespace {

constexpr std::string_view NotesText = "Notes for the browser test.\nSecond line.\n";

// The log goes to stderr so a failing run says why; nothing here asks the user anything.
class QuietFrontend : public qm::test::SilentFrontend {
  public:
    void appendLog(std::string_view line) override {
        std::fprintf(stderr, "makepages: %.*s\n", static_cast<int>(line.size()), line.data());
    }
    void messageBox(std::string_view text, qm::MessageIcon) override { appendLog(text); }
};

// A four-colour GIF, one colour per quadrant. Every pixel is a literal LZW code and a clear
// code follows every second one, so the code width never leaves 3 bits and no string table
// is needed; any decoder reads it.
std::string quadrantGif(int width, int height) {
    std::string gif = "GIF89a";
    auto put16 = [&gif](int v) {
        gif += static_cast<char>(v & 0xff);
        gif += static_cast<char>((v >> 8) & 0xff);
    };
    put16(width);
    put16(height);
    gif += static_cast<char>(0x81);  // global colour table of 4 entries
    gif += '\0';                     // background colour
    gif += '\0';                     // aspect ratio
    const unsigned char palette[] = {0xd0, 0x20, 0x20, 0x20, 0xa0, 0x30,
                                     0x20, 0x40, 0xd0, 0xf0, 0xf0, 0xf0};
    gif.append(reinterpret_cast<const char*>(palette), sizeof palette);
    gif += ',';  // image descriptor
    put16(0);
    put16(0);
    put16(width);
    put16(height);
    gif += '\0';  // no local colour table, not interlaced
    gif += '\2';  // LZW minimum code size

    constexpr unsigned Clear = 4, End = 5;
    std::vector<unsigned char> data;
    std::uint32_t bits = 0;
    int count = 0;
    auto code = [&](unsigned c) {
        bits |= c << count;
        count += 3;
        while (count >= 8) {
            data.push_back(static_cast<unsigned char>(bits & 0xff));
            bits >>= 8;
            count -= 8;
        }
    };
    int n = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, ++n) {
            if (n % 2 == 0) code(Clear);
            code((y < height / 2 ? 0u : 2u) + (x < width / 2 ? 0u : 1u));
        }
    }
    code(End);
    if (count > 0) data.push_back(static_cast<unsigned char>(bits & 0xff));
    for (std::size_t at = 0; at < data.size(); at += 255) {
        std::size_t size = std::min<std::size_t>(255, data.size() - at);
        gif += static_cast<char>(size);
        gif.append(reinterpret_cast<const char*>(data.data() + at), size);
    }
    gif += '\0';  // block terminator
    gif += ';';   // trailer
    return gif;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "makepages: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fail("usage: makepages <folder>");
    std::string root = argv[1];
    if (qm::makeDirectories(root) != 0) return fail("cannot make " + root);

    QuietFrontend frontend;
    qm::Profile profile(qm::joinPath(root, "qmere.ini"));
    qm::AppSettings settings(frontend, profile);
    settings.dataDirectory = qm::joinPath(root, "data");
    qm::GroupEntry& group = settings.newGroup("alt.binaries.pictures.test");
    std::string files = qm::filesDirectory(settings, group);
    if (qm::makeDirectories(files) != 0) return fail("cannot make " + files);
    if (qm::prepareDayPages(settings, group) != 0) return fail("cannot prepare the day pages");

    // Recorded as a reader thread records what its decoder wrote: with the group and the
    // article current on this thread.
    qm::DecodeInputs inputs;
    inputs.group = &group;
    struct Decoded {
        const char* name;
        int width;  // 0 for a file that is no picture
        int height;
        const char* subject;
    };
    // Several pictures, so that showing one after the other is covered too; one larger than a
    // thumbnail.
    const Decoded decoded[] = {
        {"sunset.gif", 24, 16, "Sunset over the bay (1/1)"},
        {"harbour.gif", 20, 30, "Harbour at night (1/1)"},
        {"notes.txt", 0, 0, "Notes about the pictures"},
        {"wide.gif", 400, 300, "Wide <view> & more (1/1)"},
        {"torn.gif", -1, 0, "Torn in transit (1/1)"},  // a picture no thumbnail can be made of
    };
    for (const Decoded& d : decoded) {
        std::string path = qm::joinPath(files, d.name);
        std::string content = d.width > 0    ? quadrantGif(d.width, d.height)
                              : d.width == 0 ? std::string(NotesText)
                                             : quadrantGif(64, 64).substr(0, 20);
        if (!qm::writeFileAtomic(path, content)) return fail("cannot write " + path);
        inputs.subject = d.subject;
        qm::onFileDecoded(settings, inputs, path);
    }

    std::string full = qm::writeFullIndex(settings, group);
    if (full.empty()) return fail("cannot write the full index");
    const qm::GroupStats* stats = group.stats();
    if (!stats || stats->decoded.load() != static_cast<int>(std::size(decoded))) {
        return fail("the decoded files were not recorded");
    }

    // The thumbnails and the gallery, as the worker makes them while a run goes on.
    qm::ThumbnailWorker worker(settings.dataDirectory,
                               [&frontend](std::string_view line) { frontend.appendLog(line); });
    const std::string groupFolder = qm::groupDirectory(settings, group);
    for (const Decoded& d : decoded) {
        if (!d.width) continue;
        std::string path = qm::joinPath(files, d.name);
        qm::DuplicateCheck check = worker.check(path);
        if (!check.readable()) return fail("cannot read " + path);
        worker.submit({path, group.name(), groupFolder, d.subject, "<x@y>"}, check);
    }
    if (!worker.waitIdle(std::chrono::seconds(60))) return fail("the thumbnails were not made");
    worker.stop();
    if (worker.counters().made != 3 || worker.counters().unreadable != 1)
        return fail("not every readable picture got its thumbnail");
    qm::PictureDatabase db(settings.dataDirectory, [](std::string_view) {});
    if (!db.open()) return fail("no picture database");

    std::printf("day %s\nfull %s\ngallery %s\n", stats->idxPage().c_str(), full.c_str(),
                qm::joinPath(groupFolder, qm::GalleryPageName).c_str());
    for (const Decoded& d : decoded) {
        if (d.width > 0) {
            std::printf("picture %s %d %d\n", d.name, d.width, d.height);
        } else if (d.width < 0) {
            std::printf("torn %s\n", d.name);
        } else {
            std::printf("file %s\n", d.name);
        }
    }
    for (const qm::StoredPicture& p : db.all()) {
        const std::string name(qm::baseName(p.path));
        if (p.state == qm::PictureState::Shown)
            std::printf("thumbnail %s %d %d\n", name.c_str(), p.thumbWidth, p.thumbHeight);
        else
            std::printf("nopreview %s\n", name.c_str());
    }
    return 0;
}
