// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturelist.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "model/locks.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr size_t LinePiece = 2047;   // "data.lst" lines are read in pieces of this size
constexpr size_t FieldsUsed = 1023;  // of which this much is split into fields
constexpr size_t DescriptionLength = 36;

std::string pictureListFile(const AppSettings& s, const GroupEntry& g) {
    return joinPath(groupDirectory(s, g), "data.lst");
}

// A tab or line end inside a field would split the record when it is read back.
void appendField(std::string& out, std::string_view text) {
    const std::size_t start = out.size();
    out.append(text);
    for (std::size_t i = start; i < out.size(); ++i) {
        char& c = out[i];
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
}

std::string oneField(std::string_view text) {
    std::string out;
    appendField(out, text);
    return out;
}

// Splits a "data.lst" line at its first three tabs; stores the record under its name.
void storeLine(PictureList& list, std::string_view line) {
    line = line.substr(0, FieldsUsed);
    size_t tab1 = line.find('\t');
    std::string_view description = line.substr(0, tab1);
    std::string_view name = line;
    std::string_view date = "0";
    char mark = 'N';
    if (tab1 != std::string_view::npos) {
        size_t tab2 = line.find('\t', tab1 + 1);
        name = line.substr(tab1 + 1, tab2 == std::string_view::npos ? tab2 : tab2 - tab1 - 1);
        if (tab2 != std::string_view::npos) {
            size_t tab3 = line.find('\t', tab2 + 1);
            date = line.substr(tab2 + 1, tab3 == std::string_view::npos ? tab3 : tab3 - tab2 - 1);
            if (tab3 != std::string_view::npos && tab3 + 1 < line.size()) mark = line[tab3 + 1];
        }
    }
    if (name.empty()) return;  // a blank line names no file
    list[std::string(name)] = PictureRecord{std::string(description), std::string(date), mark};
}

}  // namespace

PictureList& pictures(const AppSettings& settings, GroupEntry& g) {
    std::lock_guard lock(PictureListLock);
    GroupStats& stats = g.ensureStats();
    if (stats.pictures.empty()) loadPictureList(settings, g);
    return stats.pictures;
}

void loadPictureList(const AppSettings& settings, GroupEntry& g) {
    std::lock_guard lock(PictureListLock);
    readPictureListFile(pictureListFile(settings, g), g.ensureStats().pictures);
}

void readPictureListFile(const std::string& path, PictureList& list) {
    FilePtr file = openFile(path, "rb");
    if (!file) return;
    char buffer[LinePiece + 1];
    while (std::fgets(buffer, sizeof buffer, file.get())) {
        std::string_view line(buffer);
        if (line.empty() || line.back() != '\n') {
            if (std::feof(file.get())) break;  // a last line without its end is not used
        } else {
            line.remove_suffix(1);
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        storeLine(list, line);
    }
}

void savePictureList(const AppSettings& settings, GroupEntry& g) {
    if (!writePictureList(settings, g)) {
        // Shown with the lock released: the window thread uses picture lists too.
        settings.frontend().messageBox("Fail to save picture list for " + g.name(),
                                       MessageIcon::Warning);
    }
}

bool writePictureList(const AppSettings& settings, GroupEntry& g) {
    std::lock_guard lock(PictureListLock);
    if (!g.stats()) return true;
    const PictureList& list = pictures(settings, g);
    if (list.empty()) {
        settings.frontend().appendLog("Picture list is empty for " + g.name());
        return true;
    }
    std::string content;
    content.reserve(list.size() * 64);
    for (const auto& [name, record] : list) {
        if (!record) continue;  // detached
        if (name.find_first_of("\t\r\n") != std::string::npos) {
            settings.frontend().appendLog(
                "Picture list: name not saved, it holds a tab or line "
                "end: " +
                oneField(name));
            continue;
        }
        // Built in place: this runs at the end of every turn over the whole list.
        appendField(content, record->description);
        content += '\t';
        content += name;
        content += '\t';
        appendField(content, record->date);
        content += '\t';
        content += record->mark == '\n' || record->mark == '\r' ? 'N' : record->mark;
        content += '\n';
    }
    // A turn that decoded nothing leaves the list as it was: rewriting it would only cost a
    // new file (and a deleted one) every turn.
    const std::string path = pictureListFile(settings, g);
    return fileHolds(path, content) || writeFileAtomic(path, content);
}

void setPicture(const AppSettings& settings, GroupEntry& g, const std::string& name,
                const std::optional<PictureRecord>& record) {
    std::lock_guard lock(PictureListLock);
    if (!g.stats()) return;
    pictures(settings, g)[name] = record;
}

int detachPicture(GroupEntry& g, const std::string& name) {
    std::lock_guard lock(PictureListLock);
    GroupStats* stats = g.stats();
    if (!stats) return -1;
    auto it = stats->pictures.find(name);
    if (it == stats->pictures.end()) return -1;
    it->second.reset();
    return 0;
}

std::optional<PictureRecord> findPicture(GroupEntry& g, const std::string& name) {
    std::lock_guard lock(PictureListLock);
    GroupStats* stats = g.stats();
    if (!stats) return std::nullopt;
    auto it = stats->pictures.find(name);
    return it == stats->pictures.end() ? std::nullopt : it->second;
}

int recordDecodedFile(const AppSettings& settings, GroupEntry& g, std::string_view fragment,
                      std::string_view path, std::string_view subject) {
    GroupStats* stats = g.stats();
    if (!stats) return -1;
    std::string contPage = stats->contPage();
    if (contPage.empty()) return -1;  // the day's pages were never prepared
    {
        FilePtr page = openFile(contPage, "ab");
        if (!page) return -1;
        std::fwrite(fragment.data(), 1, fragment.size(), page.get());
        std::fputc('\n', page.get());
        std::fflush(page.get());
        stats->decoded.fetch_add(1);
        settings.frontend().updateGroupRow(g);
    }
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return 0;
    setPicture(settings, g, std::string(path.substr(slash + 1)), newPictureRecord(subject));
    return 0;
}

PictureRecord newPictureRecord(std::string_view subject) {
    std::string description = subject.empty() ? "No description" : std::string(subject);
    description.resize(std::min(description.size(), DescriptionLength));
    return PictureRecord{oneField(description), timeStamp(true), 'N'};
}

void countAssembled(GroupEntry* group) {
    if (!group) return;
    if (GroupStats* stats = group->stats()) stats->assembled.fetch_add(1);
}

void readGroupCounts(const AppSettings& settings, GroupEntry& g) {
    GroupStats& stats = g.ensureStats();
    if (stats.count.load() != 0 || stats.decoded.load() != 0) return;  // this run's own
    const std::optional<std::string> text =
        readWholeFile(joinPath(groupDirectory(settings, g), "Counts"));
    if (!text || text->size() > 64) return;
    std::int64_t count = 0;
    int decoded = 0;
    const char* at = text->data();
    const char* end = at + text->size();
    auto first = std::from_chars(at, end, count);
    if (first.ec != std::errc() || first.ptr == end || *first.ptr != ' ') return;
    auto second = std::from_chars(first.ptr + 1, end, decoded);
    if (second.ec != std::errc() || count < 0 || decoded < 0) return;
    stats.count.store(count);
    stats.decoded.store(decoded);
}

int makeFilesDirectory(const AppSettings& settings, const GroupEntry& g) {
    return makeDirectories(filesDirectory(settings, g));
}

bool isPictureName(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return false;
    std::string_view ext = name.substr(dot + 1);
    for (std::string_view known : {"gif", "jpg", "jpeg", "tip", "bmp"}) {
        if (ext.size() != known.size()) continue;
        bool same = true;
        for (size_t i = 0; i < ext.size() && same; ++i) {
            same = std::tolower(static_cast<unsigned char>(ext[i])) == known[i];
        }
        if (same) return true;
    }
    return false;
}

std::string timeStamp(bool withTime) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[32];
    size_t n = std::strftime(buffer, sizeof buffer, withTime ? "%m%d%H%M-%Y" : "%y%m%d", &local);
    return std::string(buffer, n);
}

}  // namespace qm
