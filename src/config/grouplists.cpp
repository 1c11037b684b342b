// SPDX-License-Identifier: GPL-3.0-or-later
// The group list files ("Groups", "Groups.sub", "Groups.fet", "Groups.vis"), "server.lst",
// and the small table operations of the settings.
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/settingslock.h"

namespace qm {
namespace {

// Longest group name kept; the rest of a longer word is dropped (a name never exceeds an
// NNTP line).
constexpr size_t MaxNameLength = 2047;
constexpr size_t MaxServerLine = 1023;

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Reads a file word by word (split at any white space) through a fixed buffer.
class WordReader {
  public:
    explicit WordReader(std::FILE* file) : m_file(file) {}

    // False at end of file (or a read error) with no word read.
    bool next(std::string& word) {
        word.clear();
        int c;
        while ((c = get()) != EOF && isSpace(static_cast<char>(c))) {
        }
        if (c == EOF) return false;
        do {
            if (word.size() < MaxNameLength) word += static_cast<char>(c);
        } while ((c = get()) != EOF && !isSpace(static_cast<char>(c)));
        return true;
    }

  private:
    int get() {
        if (m_pos == m_end) {
            m_end = std::fread(m_buffer, 1, sizeof m_buffer, m_file);
            m_pos = 0;
            if (m_end == 0) return EOF;
        }
        return static_cast<unsigned char>(m_buffer[m_pos++]);
    }

    std::FILE* m_file;
    char m_buffer[65536];
    size_t m_pos = 0;
    size_t m_end = 0;
};

bool stopRequested() {
    const WorkerRecord* worker = ThreadContext::current().worker;
    return worker && worker->abortRequested();
}

// The lists the front ends change and other programs may change beside them; "Groups" is
// the server's, written whole by the group-list worker.
bool isMergedList(std::string_view fileName) {
    return fileName == "Groups.sub" || fileName == "Groups.fet" || fileName == "Groups.vis";
}

// The names of a list file as they stand, up to its "." line; none when it cannot be read.
std::vector<std::string> readListNames(const std::string& path) {
    std::vector<std::string> names;
    FilePtr file = openFile(path, "rb");
    if (!file) return names;
    auto reader = std::make_unique<WordReader>(file.get());
    std::string name;
    while (reader->next(name) && name != ".") names.push_back(name);
    return names;
}

// A line of "server.lst" read whole, the rest of a longer one dropped; false at the end.
bool readServerLine(std::FILE* file, std::string& line) {
    line.clear();
    int c;
    while ((c = std::getc(file)) != EOF && c != '\n') {
        if (line.size() < MaxServerLine) line += static_cast<char>(c);
    }
    return c != EOF || !line.empty();
}

// The key of each line of "server.lst" in file order (empty for a line that names no host):
// the last line of a host, the one older versions (one line per host, the last kept) take,
// under the host alone; a line of another port of that host under "HOST PORT". A later
// line of the same key replaces an earlier one.
std::vector<std::string> serverLineKeys(const std::vector<ServerEntry>& entries) {
    std::map<std::string, int> lastPort;
    for (const ServerEntry& entry : entries) lastPort[entry.host] = entry.port;
    std::vector<std::string> keys;
    for (const ServerEntry& entry : entries) {
        if (entry.host.empty())
            keys.emplace_back();
        else if (entry.port == lastPort[entry.host])
            keys.push_back(entry.host);
        else
            keys.push_back(AppSettings::portKey(entry.host, entry.port));
    }
    return keys;
}

// The lines of "server.lst" as they stand, by key (serverLineKeys).
std::map<std::string, std::string> readServerLines(const std::string& path) {
    std::map<std::string, std::string> lines;
    FilePtr file = openFile(path, "rb");
    if (!file) return lines;
    std::vector<std::string> texts;
    std::vector<ServerEntry> entries;
    std::string line;
    while (readServerLine(file.get(), line)) {
        entries.push_back(ServerEntry::parse(line));
        texts.push_back(line);
    }
    const std::vector<std::string> keys = serverLineKeys(entries);
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (!keys[i].empty()) lines[keys[i]] = texts[i];
    return lines;
}

}  // namespace

int AppSettings::loadList(GroupTable& table, std::string_view fileName, bool offerToView) {
    const std::string path = joinPath(groupListDirectory(), fileName);
    // What the file held, the base a save merges against; a missing file held nothing.
    std::set<std::string>* baseline = nullptr;
    if (isMergedList(fileName)) {
        baseline = &m_listBaselines[path];
        baseline->clear();
    }
    FilePtr file = openFile(path, "rb");
    if (!file) return -1;
    auto reader = std::make_unique<WordReader>(file.get());  // 64 KiB: not on the stack
    std::string name;
    while (reader->next(name)) {
        if (name == ".") return 0;
        if (baseline) baseline->insert(name);
        GroupEntry* entry = allGroups.find(name);
        if (!entry) {
            entry = &newGroup(name, Active);
            allGroups.add(*entry);
        }
        if (&table != &allGroups) table.add(*entry);
        if (offerToView) m_frontend.offerAvailableGroup(*entry);
        if (stopRequested()) return -9999;
    }
    return -1;  // no "." line: the file is incomplete, but what was read stays
}

int AppSettings::saveList(const GroupTable& table, std::string_view fileName) {
    // A server whose groups were never listed has no folder yet, but may have subscribed
    // groups ("Add group") that must not be lost.
    const std::string directory = groupListDirectory();
    if (makeDirectories(directory) != 0) return -1;
    const std::string path = joinPath(directory, fileName);
    std::string content;
    auto add = [&content](const std::string& name) {
        content += name;
        content += '\n';
    };
    if (!isMergedList(fileName)) {
        for (const GroupEntry* entry : table.entries()) add(entry->name());
        content += ".\n";
        return writeFileAtomic(path, content) ? 0 : -1;
    }
    SettingsLock guard(m_profile.lockPath());
    if (guard.status() == SettingsLock::Status::Busy) return -1;
    const std::set<std::string>& base = m_listBaselines[path];
    const std::vector<std::string> onDisk = readListNames(path);
    const std::set<std::string> disk(onDisk.begin(), onDisk.end());
    std::set<std::string> ours;
    for (const GroupEntry* entry : table.entries()) {
        ours.insert(entry->name());
        // Known when read and gone from the file now: another program removed it.
        if (disk.contains(entry->name()) || !base.contains(entry->name())) add(entry->name());
    }
    // Not known when read and not here: another program added it.
    std::set<std::string> kept;
    for (const std::string& name : onDisk)
        if (!ours.contains(name) && !base.contains(name) && kept.insert(name).second) add(name);
    content += ".\n";
    if (!writeFileAtomic(path, content)) return -1;
    m_listBaselines[path] = std::move(ours);
    return 0;
}

void AppSettings::loadSubscribed() {
    (void)loadList(subscribedGroups, "Groups.sub", true);
    for (GroupEntry* entry : subscribedGroups.entries()) entry->set(Subscribed);
}

void AppSettings::loadSelected() {
    (void)loadList(selectedGroups, "Groups.fet", false);
}

void AppSettings::loadVisited() {
    constexpr std::string_view Collection = "My-Collection";
    if (!visitedGroups.find(Collection)) {
        GroupEntry& collection = newGroup(Collection, Active);
        // Failing to make it is not fatal here: the decoder reports when it cannot write.
        (void)makeDirectories(filesDirectory(*this, collection));
        visitedGroups.add(collection);
    }
    (void)loadList(visitedGroups, "Groups.vis", false);
}

int AppSettings::loadServers() {
    const std::string path = joinPath(dataDirectory, "server.lst");
    m_serversPath = path;
    m_serversBaseline.clear();  // a missing file held nothing: every entry is this record's
    m_refusedServers.clear();
    FilePtr file = openFile(path, "rb");
    if (!file) return -1;
    servers.clear();
    std::vector<std::string> texts;
    std::vector<ServerEntry> entries;
    std::string line;
    while (readServerLine(file.get(), line)) {
        ServerEntry entry = ServerEntry::parse(line);
        if (entry.host.empty()) continue;  // a blank line names no server
        if (auto port = ServerEntry::badPort(line)) {
            // Taken as it stands, 70000 would connect to port 4464.
            m_refusedServers.insert(entry.host);
            m_frontend.messageBox("The server " + entry.host + " in " + path +
                                      " is left out: its port " + *port +
                                      " is not a number from 1 to 65535",
                                  MessageIcon::Warning);
            continue;
        }
        m_refusedServers.erase(entry.host);
        texts.push_back(entry.textForm());
        entries.push_back(std::move(entry));
    }
    const std::vector<std::string> keys = serverLineKeys(entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        m_serversBaseline[keys[i]] = texts[i];
        servers[keys[i]] = std::make_unique<ServerEntry>(entries[i]);
    }
    return 0;
}

int AppSettings::saveServers() {
    const std::string path = joinPath(dataDirectory, "server.lst");
    SettingsLock guard(m_profile.lockPath());
    if (guard.status() == SettingsLock::Status::Busy) return -1;
    // Read from another folder, the base says nothing of this file: every entry is this
    // record's.
    const std::map<std::string, std::string> none;
    const std::map<std::string, std::string>& base =
        path == m_serversPath ? m_serversBaseline : none;
    const std::map<std::string, std::string> disk = readServerLines(path);
    std::map<std::string, std::string> ours;
    for (const auto& [host, entry] : servers)
        if (entry) ours[host] = entry->textForm();  // a null entry was removed by the dialog
    std::map<std::string, std::string> lines;
    for (const auto& [host, line] : disk)
        if (!ours.contains(host) && !base.contains(host)) lines[host] = line;  // another's
    for (const auto& [host, text] : ours) {
        const auto known = base.find(host);
        const auto stored = disk.find(host);
        if (known == base.end() || known->second != text)
            lines[host] = text;  // added or changed here
        else if (stored != disk.end())
            lines[host] = stored->second;  // as another program may have changed it
        // else: another program removed it
    }
    // Other ports of a host before the host's own line, which is then its last: older
    // versions, which keep the last line of a host, read the host's own entry.
    std::string content;
    for (const bool own : {false, true})
        for (const auto& [key, line] : lines)
            if ((key.find(' ') == std::string::npos) == own) content += line + '\n';
    // It holds passwords: only the user may read it.
    if (!writeFileAtomic(path, content, PrivateFileMode)) return -1;
    m_serversPath = path;
    m_serversBaseline = std::move(ours);
    return 0;
}

void AppSettings::subscribe(GroupEntry& entry) {
    subscribedGroups.add(entry);
}

void AppSettings::unsubscribe(GroupEntry& entry) {
    subscribedGroups.remove(entry.name());
}

void AppSettings::select(GroupEntry& entry) {
    selectedGroups.add(entry);
}

void AppSettings::deselect(GroupEntry& entry) {
    if (selectedGroups.remove(entry.name())) m_frontend.appendLog(entry.name() + " removed..");
}

void AppSettings::markVisited(GroupEntry& entry) {
    visitedGroups.add(entry);
}

}  // namespace qm
