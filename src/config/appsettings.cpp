// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/appsettings.h"

#include <cerrno>
#include <cstring>

#include "model/locks.h"
#include "platform/browser.h"
#include "platform/paths.h"

namespace qm {
namespace {

// Whether a server line ("HOST" or "HOST PORT ...") gives a port at all.
bool namesPort(std::string_view line) {
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return false;
    const auto blank = line.find_first_of(" \t", start);
    return blank != std::string_view::npos &&
           line.find_first_not_of(" \t\r\n", blank) != std::string_view::npos;
}

}  // namespace

AppSettings::AppSettings(Frontend& frontend, Profile& profile)
    : browserLookup(findDefaultBrowser),
      freeSpaceProbe(volumeFreeKB),
      m_frontend(frontend),
      m_profile(profile) {}

void AppSettings::loadSettings() {
    ConfigValues& values = *this;
    values = ConfigValues{};
    // The default that depends on the machine.
    values.dataDirectory = programDirectory();
    loadConfigValues(
        m_profile, values, [this](std::string_view line) { m_frontend.appendLog(line); },
        &m_configSnapshot);
    // An empty "Data" would put every group folder at the file-system root.
    if (dataDirectory.empty()) dataDirectory = programDirectory();
    if (dataDirectory.front() != '/') {
        // Taken from the working folder, it was another folder for each program started
        // elsewhere. The home folder is where the desktop and the timer start programs.
        const std::string stored = dataDirectory;
        dataDirectory = absolutePath(stored, homeDirectory());
        m_frontend.appendLog("Setting \"Data\" " + stored +
                             " is a relative path: " + dataDirectory + " is used");
    }
    // The default browser is looked up when a page is first opened (resolveBrowser).
    m_browserLookedUp = false;

    messageIds.setDirectory(dataDirectory);
    (void)messageIds.load();  // a missing "MSGLIST" is an empty index

    loadSubscribed();
    loadSelected();
    loadVisited();
    (void)loadServers();  // a missing "server.lst" leaves the map as it is

    // Without a server there is no host to give an entry to; an empty host would be saved as
    // an empty line of "server.lst".
    const std::string line = serverLine(server);
    const ServerEntry named = ServerEntry::parse(line);
    if (named.host.empty()) return;
    // "Server" holds the host alone and "server.lst" its port: the entry is taken as it is
    // stored, or the server in use would be back on port 119 at every start. One whose line
    // was refused gets no entry on port 119 either: it has none until the user gives a port.
    const auto known = servers.find(named.host);
    if (!namesPort(line) &&
        ((known != servers.end() && known->second) || m_refusedServers.contains(named.host))) {
        server = named.host;
        return;
    }
    useServerText(line);
}

const std::string& AppSettings::resolveBrowser() {
    if (!browser.empty() || m_browserLookedUp) return browser;
    m_browserLookedUp = true;
    browser = browserLookup ? browserLookup() : std::string();
    if (browser.empty()) m_frontend.messageBox("Unable to find default Web Browser");
    return browser;
}

void AppSettings::noteUnsaved(std::vector<std::string>& lines, bool written,
                              const std::string& path) {
    if (!written) lines.push_back("Fail create file " + path + ": " + std::strerror(errno));
}

void AppSettings::saveListNoting(std::vector<std::string>& lines, const GroupTable& table,
                                 std::string_view fileName) {
    noteUnsaved(lines, saveList(table, fileName) == 0, joinPath(groupListDirectory(), fileName));
}

bool AppSettings::saveSettings() {
    // What is not written is lost at exit: the user is told which file, and why.
    std::vector<std::string> unsaved;
    noteUnsaved(unsaved, saveConfigValues(m_profile, *this, &m_configSnapshot), m_profile.path());
    noteUnsaved(unsaved, messageIds.save() == 0, messageIds.path());
    saveListNoting(unsaved, subscribedGroups, "Groups.sub");
    saveListNoting(unsaved, selectedGroups, "Groups.fet");
    saveListNoting(unsaved, visitedGroups, "Groups.vis");
    return reportUnsaved(unsaved);
}

bool AppSettings::saveConfiguration() {
    std::vector<std::string> unsaved;
    noteUnsaved(unsaved, saveConfigValues(m_profile, *this, &m_configSnapshot), m_profile.path());
    return reportUnsaved(unsaved);
}

bool AppSettings::saveGroupLists(bool visitedToo) {
    std::vector<std::string> unsaved;
    saveListNoting(unsaved, subscribedGroups, "Groups.sub");
    saveListNoting(unsaved, selectedGroups, "Groups.fet");
    if (visitedToo) saveListNoting(unsaved, visitedGroups, "Groups.vis");
    return reportUnsaved(unsaved);
}

bool AppSettings::saveServersReported() {
    std::vector<std::string> unsaved;
    noteUnsaved(unsaved, saveServers() == 0, joinPath(dataDirectory, "server.lst"));
    return reportUnsaved(unsaved);
}

bool AppSettings::reportUnsaved(const std::vector<std::string>& lines) {
    if (lines.empty()) return true;
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    m_frontend.messageBox(text, MessageIcon::Warning);
    return false;
}

GroupEntry& AppSettings::newGroup(std::string_view name, int flags) {
    auto entry = std::make_unique<GroupEntry>(std::string(name), flags);
    std::lock_guard lock(m_groupPoolMutex);
    m_groupPool.push_back(std::move(entry));
    return *m_groupPool.back();
}

ServerEntry* AppSettings::currentServer() {
    auto it = servers.find(server);
    return it == servers.end() ? nullptr : it->second.get();
}

const ServerEntry* AppSettings::currentServer() const {
    auto it = servers.find(server);
    return it == servers.end() ? nullptr : it->second.get();
}

std::string AppSettings::portKey(std::string_view host, int port) {
    return std::string(host) + " " + std::to_string(port);
}

std::string serverKeyOf(const ServerMap& servers, std::string_view text) {
    const ServerEntry parsed = ServerEntry::parse(serverLine(text));
    const auto own = servers.find(parsed.host);
    if (own != servers.end() && own->second && own->second->port != parsed.port) {
        const std::string key = AppSettings::portKey(parsed.host, parsed.port);
        const auto other = servers.find(key);
        if (other != servers.end() && other->second) return key;
    }
    return parsed.host;
}

std::string addServerPort(ServerMap& servers, std::string_view host, int port) {
    const std::string hostKey(host);
    const auto own = servers.find(hostKey);
    const bool ownFree = own == servers.end() || !own->second || own->second->port == port;
    const std::string key = ownFree ? hostKey : AppSettings::portKey(host, port);
    std::unique_ptr<ServerEntry>& slot = servers[key];
    // A new server has no login until the server asks for one; a known one keeps its own.
    if (!slot) slot = std::make_unique<ServerEntry>();
    slot->host = hostKey;
    slot->port = port;
    return key;
}

ServerEntry& AppSettings::useServerText(std::string_view text) {
    ServerEntry parsed = ServerEntry::parse(serverLine(text));
    const std::string key = serverKeyOf(text);
    if (key != parsed.host) {
        // Another port of the host, listed under its own key: taken as it is.
        ServerEntry& other = *servers[key];
        other.takeExtrasFrom(parsed);
        server = key;
        return other;
    }
    std::unique_ptr<ServerEntry>& slot = servers[parsed.host];
    // A removed host (no entry) gets a fresh one: no authentication, credentials "-".
    if (!slot) slot = std::make_unique<ServerEntry>();
    slot->host = parsed.host;
    slot->port = parsed.port;
    slot->takeExtrasFrom(parsed);
    server = parsed.host;
    return *slot;
}

std::optional<std::string> AppSettings::setKillPattern(std::string_view text) {
    // Compiled aside and swapped in under the lock: readers may be testing subjects.
    PatternList list;
    if (!text.empty()) {
        if (auto error = list.compile(text)) return error;
    }
    {
        std::lock_guard lock(m_killMutex);
        killList = std::move(list);
    }
    killPattern = std::string(text);
    return std::nullopt;
}

std::optional<std::string> AppSettings::compileKillPattern() {
    PatternList list;
    std::optional<std::string> error;
    if (!killPattern.empty()) error = list.compile(killPattern);
    std::lock_guard lock(m_killMutex);
    killList = std::move(list);
    return error;
}

bool AppSettings::killTest(std::string_view subject) const {
    // An empty or failed pattern list matches nothing.
    std::lock_guard lock(m_killMutex);
    return killList.matches(subject);
}

bool AppSettings::killActive() const {
    std::lock_guard lock(m_killMutex);
    return killList.compiled() && killList.count() > 0;
}

void AppSettings::forgetFolderState() {
    std::lock_guard pictures(PictureListLock);
    std::lock_guard pool(m_groupPoolMutex);
    for (const auto& group : m_groupPool) {
        if (GroupStats* stats = group->stats()) stats->reset();
        group->clear(Finished);
    }
}

bool AppSettings::freeSpaceCheck(bool offerDialog) {
    std::int64_t freeMB = (freeSpaceProbe ? freeSpaceProbe(dataDirectory) : 0) / 1024;
    if (freeMB >= freeAlert) return false;
    // The message box runs a modal loop in which the timer's check may come again.
    if (m_freeAlertOpen.exchange(true)) return false;
    m_frontend.messageBox("Free disk space is below low water mark!", MessageIcon::Warning);
    m_freeAlertOpen.store(false);
    if (offerDialog) m_frontend.openConfiguration();
    return true;
}

std::string AppSettings::groupListDirectory() const {
    if (server.empty()) return programDirectory();
    // The server text is the user's: as a folder name it must stay below programDirectory().
    return joinPath(programDirectory(), safeFolderName(server));
}

GroupFolder groupFolder(const AppSettings& settings, const GroupEntry& group) {
    return GroupFolder(settings.dataDirectory, group.name());
}

std::string groupDirectory(const AppSettings& settings, const GroupEntry& group) {
    return groupFolder(settings, group).path();
}

std::string filesDirectory(const AppSettings& settings, const GroupEntry& group) {
    return groupFolder(settings, group).filesFolder();
}

}  // namespace qm
