#include "config/appsettings.h"

#include "config/threadcontext.h"
#include "platform/browser.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr std::string_view Section = "Config";

}  // namespace

AppSettings::AppSettings(Frontend& frontend, Profile& profile)
    : browserLookup(findDefaultBrowser),
      freeSpaceProbe(volumeFreeKB),
      m_frontend(frontend),
      m_profile(profile) {}

void AppSettings::loadSettings() {
    const Profile& p = m_profile;
    dataDirectory = p.getString(Section, "Data", programDirectory());
    // An empty "Data" would put every group folder at the file-system root.
    if (dataDirectory.empty()) dataDirectory = programDirectory();
    server = p.getString(Section, "Server");

    std::string found = browserLookup ? browserLookup() : std::string();
    if (found.empty()) m_frontend.messageBox("Unable to find default Web Browser");
    browser = p.getString(Section, "Browser", found);
    if (browser.empty()) browser = found;

    killPattern = p.getString(Section, "Kill pattern");
    maxThreads = p.getInt(Section, "Max Threads", 4);
    keepText = p.getInt(Section, "Keep Text", 0);
    keepDesc = p.getInt(Section, "Keep Desc", 0);
    keepDup = p.getInt(Section, "Keep Dup", 1);
    keepHeader = p.getInt(Section, "Keep Header", 0);
    freeAlert = p.getInt(Section, "Free Alert", 500);
    skipShort = p.getInt(Section, "Skip short", 0);
    skipLimit = p.getInt(Section, "Skip limit", 500);

    messageIds.setDirectory(dataDirectory);
    (void)messageIds.load();  // a missing "MSGLIST" is an empty index

    loadSubscribed();
    loadSelected();
    loadVisited();
    (void)loadServers();  // a missing "server.lst" leaves the map as it is

    // Without a server there is no host to give an entry to; an empty host would be saved as
    // an empty line of "server.lst".
    if (!ServerEntry::parse(server).host.empty()) useServerText(server);
    ThreadContext::current().directory = dataDirectory;
}

void AppSettings::saveSettings() {
    // Profile write failures are not reported: the settings stay in memory for this run.
    (void)m_profile.setMany(Section, {
                                         {"Data", dataDirectory},
                                         {"Server", server},
                                         {"Browser", browser},
                                         {"Max Threads", std::to_string(maxThreads)},
                                         {"Kill pattern", killPattern},
                                         {"Keep Text", std::to_string(keepText)},
                                         {"Keep Desc", std::to_string(keepDesc)},
                                         {"Keep Dup", std::to_string(keepDup)},
                                         {"Keep Header", std::to_string(keepHeader)},
                                         {"Free Alert", std::to_string(freeAlert)},
                                         {"Skip short", std::to_string(skipShort)},
                                         {"Skip limit", std::to_string(skipLimit)},
                                     });
    (void)messageIds.save();
    (void)saveList(subscribedGroups, "Groups.sub");
    (void)saveList(selectedGroups, "Groups.fet");
    (void)saveList(visitedGroups, "Groups.vis");
}

GroupEntry& AppSettings::newGroup(std::string_view name, int flags) {
    auto entry = std::make_unique<GroupEntry>(std::string(name), flags);
    std::lock_guard lock(m_groupPoolMutex);
    m_groupPool.push_back(std::move(entry));
    return *m_groupPool.back();
}

ServerEntry* AppSettings::currentServer() const {
    auto it = servers.find(server);
    return it == servers.end() ? nullptr : it->second.get();
}

ServerEntry& AppSettings::useServerText(std::string_view text) {
    ServerEntry parsed = ServerEntry::parse(text);
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

std::string groupDirectory(const AppSettings& settings, const GroupEntry& group) {
    // Group names come from the server: as a folder they must stay in the data directory.
    return joinPath(settings.dataDirectory, safeFolderName(group.name()));
}

std::string filesDirectory(const AppSettings& settings, const GroupEntry& group) {
    return joinPath(groupDirectory(settings, group), "news.dat");
}

std::string safeFolderName(std::string_view name) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    auto encode = [](std::string& out, unsigned char c) {
        out += '%';
        out += Hex[c >> 4];
        out += Hex[c & 15];
    };
    std::string out;
    if (name.empty()) return "%";  // no encoded name is a lone "%"
    if (name == "." || name == "..") {
        for (char c : name) encode(out, static_cast<unsigned char>(c));
        return out;
    }
    out.reserve(name.size());
    for (char ch : name) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '/' || c == '%' || c < 0x20 || c == 0x7f) {
            encode(out, c);
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace qm
