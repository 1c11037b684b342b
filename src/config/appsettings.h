// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program-wide settings record: the values of the profile section "Config"
// (ConfigValues), the four group tables, the server map and the message-id index, with their
// loading and saving.
//
// One per program, owned by the Session (src/session), which is its only writer outside the
// readers' own entries below; tests make their own. Who may write what:
// - the ConfigValues fields, servers, killPattern: the session, on the window (or command)
//   thread, and never while a run is on (a configuration given during a run waits for its
//   end), so readers read them without a lock;
// - subscribedGroups, selectedGroups: the window thread;
// - visitedGroups: readers add (markVisited) under DecodeLock; others read it under DecodeLock
//   while a run may be on;
// - allGroups: the group-list worker while it runs, else the window thread;
// - messageIds: under DecodeLock; killList: under its own lock (killTest, setKillPattern).
//
// Other programs share the files (qmere-cli config and groups may run beside a fetch or the
// window): every save reads the file again under the settings lock (Profile::lockPath) and
// writes back only what this record changed since it read it, the keys of the profile and
// the lines of "server.lst" and of the subscribed, selected and visited lists; what another
// program changed meanwhile stays as that program left it.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/configvalues.h"
#include "config/frontend.h"
#include "config/patternlist.h"
#include "config/serverentry.h"
#include "model/groupentry.h"
#include "model/groupfolder.h"
#include "model/grouptable.h"
#include "model/messageidindex.h"
#include "platform/logfile.h"
#include "platform/profile.h"

namespace qm {

// Host (or "HOST PORT") -> entry; a null entry is a removed host that every reader skips.
using ServerMap = std::map<std::string, std::unique_ptr<ServerEntry>>;

// The key in servers that a server text ("HOST", "HOST PORT", "HOST:PORT") names: the entry of
// that host and port when one is listed besides the host's own, else the host's own.
std::string serverKeyOf(const ServerMap& servers, std::string_view text);
// Adds (or, listed already, updates) the entry of host and port: the host's own when the host
// is not listed yet or is on that port, else one under AppSettings::portKey. Returns its key.
std::string addServerPort(ServerMap& servers, std::string_view host, int port);

class AppSettings : public ConfigValues {
  public:
    AppSettings(Frontend& frontend, Profile& profile);
    AppSettings(const AppSettings&) = delete;
    AppSettings& operator=(const AppSettings&) = delete;

    Frontend& frontend() const { return m_frontend; }
    Profile& profile() const { return m_profile; }

    // The fields of the "Config" section are those of ConfigValues; server is the key of
    // servers; an empty browser is looked up when a page is opened (resolveBrowser).

    // ---- lists
    GroupTable allGroups;         // "Groups"
    GroupTable subscribedGroups;  // "Groups.sub"
    GroupTable selectedGroups;    // "Groups.fet"
    GroupTable visitedGroups;     // "Groups.vis"; always holds "My-Collection"
    ServerMap servers;
    MessageIdIndex messageIds{10000};

    // The compiled kill pattern; guarded by m_killMutex, since readers test subjects against
    // it while the window thread may replace it. Use killTest and setKillPattern.
    PatternList killList;

    // The default-browser lookup of resolveBrowser: the program's full path, or empty when
    // none is found. findDefaultBrowser() unless a test replaces it.
    std::function<std::string()> browserLookup;
    // Free space, in 1024-byte units, of the volume holding a path (volumeFreeKB unless a test
    // replaces it).
    std::function<std::int64_t(const std::string&)> freeSpaceProbe;
    LogFile logFile;  // "Log" in the data directory; opened by the front end

    // ---- operations
    // Loads the "Config" values (a number out of its range is clamped and the correction
    // logged), the message-id index and the lists. A "Server" that names no port keeps the
    // port its entry in "server.lst" has. A relative "Data" (stored by an older version) is
    // taken below the home folder, logged, and saved absolute.
    void loadSettings();
    // Saves the "Config" values, the message-id index and the subscribed, selected and
    // visited lists. A file that cannot be written is reported in one message box ("Fail
    // create file" with its path and the reason); false then.
    bool saveSettings();
    // The "Config" values alone, reported as saveSettings reports.
    bool saveConfiguration();
    // The subscribed and selected lists, and with visitedToo the visited list (which readers
    // add to: not while they run), reported as saveSettings reports.
    bool saveGroupLists(bool visitedToo);
    // saveServers, with a failure reported as saveSettings reports its own.
    bool saveServersReported();

    // The browser as a page is opened or the setting shown: "Browser" when set, else the
    // default browser, which then becomes "Browser". The lookup runs a program (xdg-mime), so
    // it is made when first needed rather than at every load, and at most once per load; when
    // it fails it says "Unable to find default Web Browser" and browser stays empty (pages go
    // to xdg-open). Window thread only.
    const std::string& resolveBrowser();

    // A new shared group record that lives as long as the settings.
    GroupEntry& newGroup(std::string_view name, int flags = Active);

    // The folder of the current server's group lists: programDirectory()/server, or
    // programDirectory() itself without a server.
    std::string groupListDirectory() const;

    // Loads a group list file into table: 0 when complete, -1 when missing or without its
    // "." line (what was read stays), -9999 when the calling worker was told to stop.
    int loadList(GroupTable& table, std::string_view fileName, bool offerToView);
    // Writes table to a group list file, front to back, then "."; 0 or -1. The subscribed,
    // selected and visited lists are merged: a name this record added or removed since it
    // loaded the file is written so, the names another program added or removed meanwhile
    // stay so (added at the back).
    int saveList(const GroupTable& table, std::string_view fileName);

    void loadSubscribed();
    void loadSelected();
    void loadVisited();
    // Reads "server.lst" of the data directory: 0, or -1 when it cannot be opened (servers
    // stay as they are). A line whose port is no TCP port is refused with a message box.
    int loadServers();
    // Writes "server.lst": the entries this record added, changed or removed since it read
    // the file; the other lines as the file holds them now. 0 or -1.
    int saveServers();

    void subscribe(GroupEntry& entry);
    void unsubscribe(GroupEntry& entry);
    void select(GroupEntry& entry);
    void deselect(GroupEntry& entry);
    void markVisited(GroupEntry& entry);

    // The entry of the server in use, or null.
    ServerEntry* currentServer();
    const ServerEntry* currentServer() const;
    // Parses a server text ("HOST", "HOST PORT", "HOST:PORT", see serverLine) and makes its
    // entry the server in use: the entry of that host and port when one is listed besides the
    // host's own, else the host's own (created when missing), given the text's port (its flag
    // and credentials stay).
    ServerEntry& useServerText(std::string_view text);
    // The key in servers that useServerText(text) takes.
    std::string serverKeyOf(std::string_view text) const { return qm::serverKeyOf(servers, text); }

    // A host may be listed with several ports (119 and 563): its own entry is keyed by the
    // host, as older versions know it; every other port of it by "HOST PORT".
    static std::string portKey(std::string_view host, int port);
    std::string addServerPort(std::string_view host, int port) {
        return qm::addServerPort(servers, host, port);
    }

    // Compiles text as the kill pattern. Nothing on success or when text is empty (the filter
    // is off); else the error text, and the old pattern stays.
    std::optional<std::string> setKillPattern(std::string_view text);
    // Compiles the stored killPattern text into killList (at start-up); an empty text turns the
    // filter off. The error text when it does not compile (the filter then excludes nothing).
    std::optional<std::string> compileKillPattern();
    // True when the kill pattern is set and every pattern is found in subject.
    bool killTest(std::string_view subject) const;
    // True when killTest can match anything at all.
    bool killActive() const;

    // A new data directory: every group's state of the old one (reading position, picture
    // list, counters, pages, and having run out of articles) is forgotten, so that the new
    // folder's is read when the group is next used. Window thread, while no reader runs.
    void forgetFolderState();

    // Free-space check: below "Free Alert" shows "Free disk space is below low water mark!"
    // and then, with offerDialog, the configuration dialog. Does nothing while its own message
    // is still open. True when the space was low.
    bool freeSpaceCheck(bool offerDialog);

  private:
    // Shows lines (one per file not written) in one message box; true when there are none.
    bool reportUnsaved(const std::vector<std::string>& lines);
    // Adds the "Fail create file" line of path, with errno's reason, unless written.
    static void noteUnsaved(std::vector<std::string>& lines, bool written, const std::string& path);
    void saveListNoting(std::vector<std::string>& lines, const GroupTable& table,
                        std::string_view fileName);

    Frontend& m_frontend;
    Profile& m_profile;
    std::mutex m_groupPoolMutex;  // newGroup runs on the window thread and the list worker
    std::deque<std::unique_ptr<GroupEntry>> m_groupPool;  // guarded by m_groupPoolMutex
    std::atomic<bool> m_freeAlertOpen{false};
    bool m_browserLookedUp = false;  // since the last loadSettings
    mutable std::mutex m_killMutex;

    // What the files held when this record read them (or last wrote them), the base of the
    // merges; window (or command) thread only.
    ConfigSnapshot m_configSnapshot;
    // Merged list file path -> the names it held.
    std::map<std::string, std::set<std::string>> m_listBaselines;
    std::string m_serversPath;                             // the "server.lst" read
    std::map<std::string, std::string> m_serversBaseline;  // host -> text form
    std::set<std::string> m_refusedServers;                // hosts of refused lines of that file
};

// The group's folder in the settings' data directory.
GroupFolder groupFolder(const AppSettings& settings, const GroupEntry& group);
// Its path and its "news.dat", for the callers that hand strings on.
std::string groupDirectory(const AppSettings& settings, const GroupEntry& group);
std::string filesDirectory(const AppSettings& settings, const GroupEntry& group);

}  // namespace qm
