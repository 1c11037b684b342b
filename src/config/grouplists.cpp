// The group list files ("Groups", "Groups.sub", "Groups.fet", "Groups.vis"), "server.lst",
// and the small table operations of the settings.
#include <cctype>
#include <cstdio>

#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "platform/file.h"
#include "platform/paths.h"

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

}  // namespace

int AppSettings::loadList(GroupTable& table, std::string_view fileName, bool offerToView) {
    FilePtr file = openFile(joinPath(groupListDirectory(), fileName), "rb");
    if (!file) return -1;
    auto reader = std::make_unique<WordReader>(file.get());  // 64 KiB: not on the stack
    std::string name;
    while (reader->next(name)) {
        if (name == ".") return 0;
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

int AppSettings::saveList(const GroupTable& table, std::string_view fileName) const {
    std::string content;
    for (const GroupEntry* entry : table.entries()) {
        content += entry->name();
        content += '\n';
    }
    content += ".\n";
    // A server whose groups were never listed has no folder yet, but may have subscribed
    // groups ("Add group") that must not be lost.
    const std::string directory = groupListDirectory();
    if (makeDirectories(directory) != 0) return -1;
    return writeFileAtomic(joinPath(directory, fileName), content) ? 0 : -1;
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
    FilePtr file = openFile(joinPath(dataDirectory, "server.lst"), "rb");
    if (!file) return -1;
    servers.clear();
    std::string line;
    int c;
    bool more = true;
    while (more) {
        line.clear();
        while ((c = std::getc(file.get())) != EOF && c != '\n') {
            if (line.size() < MaxServerLine) line += static_cast<char>(c);
        }
        more = c != EOF;
        ServerEntry entry = ServerEntry::parse(line);
        if (entry.host.empty()) continue;  // a blank line names no server
        servers[entry.host] = std::make_unique<ServerEntry>(entry);
    }
    return 0;
}

int AppSettings::saveServers() const {
    std::string content;
    for (const auto& [host, entry] : servers) {
        if (!entry) continue;  // removed by the server dialog
        content += entry->textForm();
        content += '\n';
    }
    // It holds passwords: only the user may read it.
    return writeFileAtomic(joinPath(dataDirectory, "server.lst"), content, PrivateFileMode) ? 0
                                                                                            : -1;
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
