// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/session.h"

#include <algorithm>
#include <mutex>

#include "config/frontend.h"
#include "config/serverentry.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "nntp/groupfetchthread.h"
#include "nntp/readerpool.h"
#include "platform/paths.h"
#include "platform/profile.h"

namespace qm {
namespace {

constexpr auto GroupListStopWait = std::chrono::milliseconds(3000);

}  // namespace

Session::Session(Frontend& frontend, Profile& profile)
    : m_frontend(frontend),
      m_profile(profile),
      m_settings(std::make_unique<AppSettings>(frontend, profile)),
      m_pictures([&frontend](std::string_view line) { frontend.appendLog(line); }),
      m_dataFolder(*m_settings),
      m_hook(*m_settings, &m_pictures) {
    m_decoder.setSink(&m_hook);
    m_hook.setJournal(&m_dataFolder.journal());
    m_hook.setHistory(&m_dataFolder.history());
}

Session::~Session() {
    if (m_groupFetch) (void)m_groupFetch->terminate(GroupListStopWait);
    m_readers.reset();  // stops and joins every reader
    // Its last writes (the pending pictures, the galleries) while the folder is still held:
    // the lock goes with m_dataFolder, before m_pictures.
    m_pictures.stop();
}

Session::LoadResult Session::load(LoadOptions options) {
    AppSettings& s = *m_settings;
    LoadResult result;
    {
        // Loaded again: the folder held so far is given up first, while its settings stand.
        std::lock_guard guard(DecodeLock);
        m_dataFolder.stop();
    }
    m_refused = false;
    s.loadSettings();
    result.killPatternError = s.compileKillPattern();
    // Read only until the folder is known to be this session's.
    s.messageIds.setReadOnly(true);
    // A folder that is not there and is not to be made holds nothing to recover or guard.
    m_worksInFolder =
        options.lockDataDirectory && (options.makeDataDirectory || isDirectory(s.dataDirectory));
    if (options.makeDataDirectory && makeDirectories(s.dataDirectory) != 0) {
        result.error = "Fail to create data directory " + s.dataDirectory;
        return result;
    }
    LockFile lock;
    if (m_worksInFolder) {
        // Before anything is written there, the log included. A lock that cannot be taken at
        // all refuses the folder as one held by another does: unlocked, two programs would
        // both work in it.
        const LockFile::Status status = DataFolder::claim(s.dataDirectory, lock);
        if (status != LockFile::Status::Held) {
            m_refused = true;
            result.dataDirectoryInUse = true;
            result.error = DataFolder::refusal(s.dataDirectory, status, lock);
            return result;
        }
    }
    const std::string log = joinPath(s.dataDirectory, "Log");
    if (options.openLog && !s.logFile.open(log)) result.error = "Fail create file " + log;
    if (m_worksInFolder) {
        std::string journal = startDataFolder(std::move(lock));
        if (result.error.empty()) result.error = std::move(journal);
    }
    return result;
}

namespace {

std::string journalRefusal(const std::string& reason) {
    return "Fail create file " + reason + ": nothing is fetched or decoded without the article " +
           "journal";
}

}  // namespace

std::string Session::startDataFolder(LockFile lock) {
    DataFolder::Recovery recovery;
    {
        std::lock_guard guard(DecodeLock);
        m_settings->messageIds.setReadOnly(false);
        recovery = m_dataFolder.start(std::move(lock));
    }
    // Shown by the caller (the load's error, the configuration's message).
    std::string refusal;
    if (!recovery.journalError.empty()) refusal = journalRefusal(recovery.journalError);
    const JournalFold& fold = recovery.fold;
    if (fold.records == 0 && recovery.leftovers == 0 && !fold.damaged) return refusal;
    // What an interrupted run left, said once: its files are in place now, or gone when
    // their articles are to be fetched again.
    std::string line = "Recovered an interrupted run in " + m_settings->dataDirectory + ": " +
                       std::to_string(fold.records) + " articles recorded (" +
                       std::to_string(fold.renamed) + " files named, " +
                       std::to_string(fold.catalogued) + " catalogued), " +
                       std::to_string(recovery.leftovers) + " unfinished files removed";
    if (fold.skipped > 0)
        line += "; " + std::to_string(fold.skipped) +
                (fold.skipped == 1 ? " damaged record" : " damaged records") + " skipped";
    if (fold.damaged && fold.skipped == 0) line += "; the last record was cut off and dropped";
    m_frontend.appendLog(line);
    return refusal;
}

void Session::foldJournal() {
    std::lock_guard guard(DecodeLock);
    if (!m_dataFolder.fold())
        m_frontend.appendLog("Fail create file " + m_dataFolder.journal().path() +
                             ": it is kept and replayed at the next start");
}

bool Session::save() {
    if (m_refused) return true;  // the folder is another program's: nothing to write
    foldJournal();
    const bool settings = m_settings->saveSettings();
    return m_settings->saveServersReported() && settings;
}

void Session::leaveDataFolder() {
    m_pictures.stop();  // it writes in the folder: done before another program may take it
    std::lock_guard guard(DecodeLock);
    m_dataFolder.stop();
}

ConfigValues Session::configuration() const {
    if (m_pending) return *m_pending;
    return *m_settings;
}

Session::Applied Session::applyConfiguration(const ConfigValues& given) {
    Applied applied;
    ConfigValues values = given;
    // Taken from the working folder at every start, a relative folder would be another one
    // for each program started elsewhere: it is stored absolute, as it means now.
    if (values.dataDirectory.empty()) {
        values.dataDirectory = programDirectory();
    } else if (values.dataDirectory.front() != '/') {
        const std::string here = currentDirectory();
        if (!here.empty()) values.dataDirectory = absolutePath(values.dataDirectory, here);
    }
    if (values.dataDirectory.front() != '/' || makeDirectories(values.dataDirectory) != 0) {
        applied.refused = true;
        applied.message = "Fail make direcotry " + values.dataDirectory;
        return applied;
    }
    LockFile lock;
    if (!busy() && !claimFor(values.dataDirectory, lock, applied)) return applied;
    // The kill pattern has a lock of its own: readers see the new one at their next article.
    if (auto error = m_settings->setKillPattern(values.killPattern)) applied.message = *error;
    if (busy()) {
        // Readers read the other values without a lock; they change when the run is over.
        ConfigValues pending = values;
        pending.killPattern = m_settings->killPattern;
        pending.server = m_settings->server;
        m_pending = std::move(pending);
        applied.deferred = true;
        m_frontend.appendLog("The settings take effect when the run has ended");
        return applied;
    }
    applyNow(values, applied, std::move(lock));
    return applied;
}

bool Session::claimFor(const std::string& directory, LockFile& lock, Applied& applied) {
    if (directory == m_settings->dataDirectory || !m_worksInFolder) return true;
    const LockFile::Status status = DataFolder::claim(directory, lock);
    if (status == LockFile::Status::Held) return true;
    applied.refused = true;
    applied.message = DataFolder::refusal(directory, status, lock);
    return false;
}

void Session::applyNow(const ConfigValues& values, Applied& applied, LockFile lock) {
    AppSettings& s = *m_settings;
    // Every value but three, so that a new setting needs nothing here: the kill pattern took
    // effect already (under its own lock), the server changes only through switchServer, and
    // a new data directory moves the session (below).
    ConfigValues taken = values;
    taken.killPattern = s.killPattern;
    taken.server = s.server;
    taken.dataDirectory = s.dataDirectory;
    static_cast<ConfigValues&>(s) = std::move(taken);
    if (values.dataDirectory == s.dataDirectory) return;
    m_pictures.stop();  // its database and galleries are the old folder's
    // The lists and servers as the user left them go to their files first: read again below,
    // they would otherwise come back as they were last saved.
    (void)s.saveGroupLists(true);
    (void)s.saveServersReported();
    {
        // The duplicate history belongs to its data directory: the old one keeps it, the new
        // one brings its own.
        std::lock_guard guard(DecodeLock);
        m_dataFolder.stop();  // the old folder's journal folded, its lock released
        if (s.messageIds.save() != 0)
            m_frontend.appendLog("Fail create file " + s.messageIds.path());
        s.dataDirectory = values.dataDirectory;
        s.messageIds.setDirectory(s.dataDirectory);
        (void)s.messageIds.load();  // a folder without "MSGLIST" has no history yet
    }
    // Positions, picture lists and counters are the old folder's too: the new folder's are
    // read as each group is next used, before the journal's replay records into them.
    s.forgetFolderState();
    loadServersOfFolder();
    if (m_worksInFolder) {
        // The log belongs to the folder too; the old one is another program's to write now.
        if (s.logFile.isOpen()) (void)s.logFile.openAppend(joinPath(s.dataDirectory, "Log"));
        if (std::string refusal = startDataFolder(std::move(lock));
            !refusal.empty() && !applied.message)
            applied.message = std::move(refusal);
    }
    reloadLists();
    applied.dataDirectoryChanged = true;
}

void Session::loadServersOfFolder() {
    AppSettings& s = *m_settings;
    std::optional<ServerEntry> inUse;
    if (const ServerEntry* entry = s.currentServer()) inUse = *entry;
    // A folder without a list of its own gets this one at the next save.
    if (s.loadServers() != 0 || !inUse || s.currentServer()) return;
    // The server in use stays as it was, port and login, where the folder's list lacks it.
    s.servers[s.server] = std::make_unique<ServerEntry>(*inUse);
}

bool Session::switchServer(std::string_view text) {
    if (serverTextProblem(text)) return false;
    AppSettings& s = *m_settings;
    const std::string line = serverLine(text);
    if (s.serverKeyOf(line) == s.server) {
        s.useServerText(line);  // the port may have changed
        return false;
    }
    // Each server has its own group lists: save this one's, load the other's.
    (void)s.saveSettings();  // a failure has been reported
    s.useServerText(line);
    reloadLists();
    // Saved now: a program that changes "Server" later (qmere-cli groups --server beside this
    // one's run) must find this change written, or this one's save at its end would undo it.
    (void)s.saveConfiguration();
    return true;
}

void Session::reloadLists() {
    AppSettings& s = *m_settings;
    for (GroupEntry* g : s.subscribedGroups.entries()) g->clear(Subscribed);
    for (GroupEntry* g : s.selectedGroups.entries()) g->clear(Selected);
    s.subscribedGroups.clear();
    s.selectedGroups.clear();
    {
        std::lock_guard lock(DecodeLock);  // readers may still be marking groups visited
        s.visitedGroups.clear();
    }
    s.loadSubscribed();
    s.loadSelected();
    std::lock_guard lock(DecodeLock);
    s.loadVisited();
}

std::string Session::addServer(std::string_view host, int port) {
    return m_settings->addServerPort(host, port);
}

void Session::changeServer(const std::string& key, const ServerChange& change) {
    const auto found = m_settings->servers.find(key);
    if (found == m_settings->servers.end() || !found->second) return;
    ServerEntry& entry = *found->second;
    if (change.secure) entry.setSecure(*change.secure);
    if (change.role) entry.role = *change.role;
    if (change.level) entry.level = *change.level;
    if (change.connections) entry.connections = *change.connections;
    if (change.login) entry.setCredentials(*change.login);
    if (change.login || change.authFlag) entry.setAuthFlag(change.authFlag.value_or(1));
}

void Session::removeServer(const std::string& key) {
    const auto found = m_settings->servers.find(key);
    // A null entry is a removed one: saving drops its line.
    if (found != m_settings->servers.end() && found->second)
        m_retiredServers.push_back(std::move(found->second));
}

bool Session::replaceServers(const ServerMap& edited) {
    ServerMap& live = m_settings->servers;
    for (auto& [key, entry] : live) {
        const auto kept = edited.find(key);
        if (entry && (kept == edited.end() || !kept->second))
            m_retiredServers.push_back(std::move(entry));
    }
    // Entries stay where they are: readers and workers may hold them.
    for (const auto& [key, entry] : edited) {
        if (!entry) continue;
        std::unique_ptr<ServerEntry>& slot = live[key];
        if (slot)
            *slot = *entry;
        else
            slot = std::make_unique<ServerEntry>(*entry);
    }
    return saveServers();
}

ServerProbe Session::probeServer(const ServerEntry& entry) const {
    return qm::probeServer(*m_settings, entry);
}

bool Session::saveConfiguration() {
    return m_settings->saveConfiguration();
}

bool Session::saveSettings() {
    return m_settings->saveSettings();
}

bool Session::saveGroupLists() {
    return m_settings->saveGroupLists(false);
}

bool Session::saveServers() {
    return m_settings->saveServersReported();
}

int Session::saveServerList() {
    return m_settings->saveServers();
}

const std::string& Session::resolveBrowser() {
    return m_settings->resolveBrowser();
}

bool Session::freeSpaceCheck(bool offerDialog) {
    return m_settings->freeSpaceCheck(offerDialog);
}

GroupEntry& Session::groupNamed(std::string_view name) {
    AppSettings& s = *m_settings;
    if (GroupEntry* entry = s.allGroups.find(name)) return *entry;
    GroupEntry& entry = s.newGroup(name, Active);
    s.allGroups.add(entry);
    return entry;
}

bool Session::subscribe(GroupEntry& group) {
    const bool added = m_settings->subscribedGroups.add(group);
    group.set(Subscribed);
    return added;
}

void Session::unsubscribe(GroupEntry& group) {
    m_settings->unsubscribe(group);
    group.clear(Subscribed);
}

void Session::select(GroupEntry& group) {
    m_settings->select(group);
    group.set(Selected);
}

void Session::unselect(GroupEntry& group) {
    m_settings->deselect(group);
    group.clear(Selected | ShownSelected);
}

void Session::setSelection(std::span<GroupEntry* const> groups) {
    GroupTable& selected = m_settings->selectedGroups;
    selected.clear();
    // The table adds at its front: the last given goes in first.
    for (auto it = groups.rbegin(); it != groups.rend(); ++it) selected.add(**it);
}

GroupFolder Session::groupFolder(std::string_view groupName) const {
    return GroupFolder(m_settings->dataDirectory, groupName);
}

GroupFolder Session::groupFolder(const GroupEntry& group) const {
    return groupFolder(group.name());
}

std::vector<GroupEntry*> Session::visitedGroups() const {
    std::lock_guard lock(DecodeLock);  // readers mark groups visited under it
    const auto& entries = m_settings->visitedGroups.entries();
    return {entries.begin(), entries.end()};
}

GroupEntry* Session::findVisited(std::string_view name) const {
    std::lock_guard lock(DecodeLock);
    return m_settings->visitedGroups.find(name);
}

ReaderPool& Session::readerPool(std::optional<int> readers) {
    if (!m_readers) {
        const ConfigKey& range = configKey(&ConfigValues::maxThreads);
        const int count =
            std::clamp(readers.value_or(m_settings->maxThreads), *range.minimum, *range.maximum);
        m_readers = std::make_unique<ReaderPool>(*m_settings, m_decoder, count);
    }
    return *m_readers;
}

void Session::prepareReaders(std::optional<int> readers) {
    (void)readerPool(readers);
}

int Session::runningReaders() const {
    return m_readers ? m_readers->runningReaders() : 0;
}

bool Session::readersStopped() {
    return !m_readers || m_readers->waitStopped(std::chrono::milliseconds(0));
}

void Session::addToRun(GroupEntry& group) {
    GroupTable one;
    one.add(group);
    readerPool().distribute(one);
}

std::uint64_t Session::wireBytesReceived() const {
    std::uint64_t bytes = 0;
    if (m_readers)
        for (std::size_t i = 0; i < m_readers->size(); ++i)
            bytes += m_readers->reader(i).connection().wireBytesReceived();
    return bytes;
}

std::vector<std::string> Session::runFailures() const {
    return m_readers ? m_readers->runFailures() : std::vector<std::string>{};
}

GroupFetchThread& Session::groupFetch() {
    if (!m_groupFetch) m_groupFetch = std::make_unique<GroupFetchThread>(*m_settings);
    return *m_groupFetch;
}

std::string Session::makeGroupListFolder() const {
    const std::string directory = m_settings->groupListDirectory();
    if (makeDirectories(directory) == 0) return {};
    return "Fail to create data directory " + directory;
}

int Session::startRun(const GroupTable& groups, const RunOptions& options) {
    ServerEntry* server = m_settings->currentServer();
    if (!server) return -1;
    if (m_worksInFolder) {
        // Every article is committed through the journal: without it a kill would lose or
        // repeat work that the run reports done.
        std::string reason;
        {
            std::lock_guard guard(DecodeLock);
            reason = m_dataFolder.reopenJournal();
        }
        if (!reason.empty()) {
            m_frontend.messageBox(journalRefusal(reason), MessageIcon::Stop);
            return -1;
        }
    }
    // "Finished" means no more articles in this run: a group that ran out in an earlier run
    // (or on another server) is asked again, or every later run would leave it unread.
    for (GroupEntry* group : groups.entries()) group->clear(Finished);
    ReaderPool& pool = readerPool();
    pool.setRunOptions(options);
    pool.distribute(groups);
    pool.setServer(server);
    // Not on the first picture, under DecodeLock.
    if (m_settings->thumbnails != 0) m_pictures.start(m_settings->dataDirectory);
    pool.startRun();
    m_runActive = true;
    return 0;
}

void Session::requestStop() {
    if (m_readers) m_readers->requestStop();
}

bool Session::finishRun(const std::function<void()>& whileWaiting) {
    if (m_readers) m_readers->stopAll(whileWaiting);
    m_runActive = false;
    m_pictures.finishRun();
    foldJournal();
    return groupListFinished();
}

bool Session::groupListFinished() {
    if (!m_pending || busy()) return false;
    ConfigValues values = std::move(*m_pending);
    m_pending.reset();
    Applied applied;
    LockFile lock;
    if (!claimFor(values.dataDirectory, lock, applied)) {
        // Given during the run; the folder was taken since: the rest still applies.
        m_frontend.messageBox(*applied.message, MessageIcon::Stop);
        values.dataDirectory = m_settings->dataDirectory;
    }
    applyNow(values, applied, std::move(lock));
    return applied.dataDirectoryChanged;
}

bool Session::busy() const {
    return m_runActive || (m_groupFetch && m_groupFetch->running());
}

bool Session::finishPictures(const std::function<bool()>& keepWaiting) {
    return m_pictures.finish(keepWaiting);
}

std::string Session::galleryPage(const GroupEntry& group) {
    return m_pictures.galleryPage(m_settings->dataDirectory, group.name(),
                                  groupFolder(group).path());
}

void Session::forgetPictures(const GroupEntry& group, std::span<const std::string> names) {
    m_pictures.forget(m_settings->dataDirectory, group.name(), groupFolder(group).path(), names);
}

DecodeResult Session::decodeFile(FilePtr in, bool keepText) {
    const AppSettings& s = *m_settings;
    DecodeInputs inputs;
    inputs.dataDirectory = s.dataDirectory;
    inputs.outputDirectory = s.dataDirectory;
    inputs.log = &m_settings->logFile;
    std::lock_guard lock(DecodeLock);
    return m_decoder.decodeArticle(std::move(in), inputs, false, false, keepText);
}

}  // namespace qm
