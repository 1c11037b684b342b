// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's core: the settings record (the profile's "Config" values, the group tables,
// the servers, the message-id index, the kill pattern and the "Log" file), the decoder with
// its catalogue hook, the reader pool and the group-list worker, and the operations both
// front ends (the windows and qmere-cli) carry out on them. The front ends are thin callers:
// they show what the session reports and pass on what the user asks.
//
// One per program, created by the front end with its Frontend and Profile (borrowed; they
// outlive it). Every member function runs on the one thread that drives the program (the
// window thread, or the command's main thread). Readers and the group-list worker reach the
// settings through the references the session hands them, under the rules stated in
// config/appsettings.h; the session itself never changes what they read while they run.
//
// The session works in its data directory alone (session/datafolder.h): load takes the
// folder's lock, recovers what a killed run left (the article journal) and opens the journal
// that every decoded article is committed to; a run's end and save fold it. A session whose
// folder is in use by another program writes nothing there.
//
// Lock order (program-wide, model/locks.h): DecodeLock may be held while PictureListLock is
// taken, never the other way round; DecodeLock and AuthLock are never held together. The
// session takes DecodeLock for manual decoding and for swapping the message-id index, and
// holds no lock while it waits for workers. The picture catalogue's lock comes after
// DecodeLock (catalog/picturecatalog.h).
//
// The session owns the thumbnail worker of the data directory (through its PictureCatalog):
// started on the first picture a run decodes, stopped when a run ends with nothing left for
// it (else when it is idle at the end of a later run), when the data directory changes and
// at the end.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/cataloghook.h"
#include "catalog/picturecatalog.h"
#include "config/appsettings.h"
#include "config/configvalues.h"
#include "decode/decoder.h"
#include "nntp/retrievalsteps.h"
#include "nntp/serverprobe.h"
#include "platform/file.h"
#include "platform/lockfile.h"
#include "session/datafolder.h"

namespace qm {

class Frontend;
class GroupEntry;
class GroupFetchThread;
class GroupTable;
class Profile;
class ReaderPool;

class Session {
  public:
    Session(Frontend& frontend, Profile& profile);
    // Stops a run and the group-list worker, waiting for them.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // ---- state
    // The settings record, to read. The front ends change it only through the operations
    // below: the group tables through the group operations (window thread, see
    // config/appsettings.h), the servers through the server operations, the "Config" values
    // through applyConfiguration, the server in use through switchServer.
    const AppSettings& settings() const { return *m_settings; }
    Frontend& frontend() const { return m_frontend; }
    Profile& profile() const { return m_profile; }

    // ---- load and save
    struct LoadOptions {
        bool makeDataDirectory = true;  // decoding and the log write below it
        bool openLog = true;            // "Log" in the data directory, truncated
        // Work in the data directory: take its lock (refused when another program holds
        // it), recover what a killed run left, and commit decoded articles to its journal.
        // Without it the session only reads there ("MSGLIST" is never written).
        bool lockDataDirectory = true;
    };
    struct LoadResult {
        // Why the data directory or the log could not be made ("Fail to create data
        // directory X", "Fail create file X"), or that another program works in the data
        // directory (naming its process); empty when all is well.
        std::string error;
        // Another program holds the data directory, or its lock cannot be taken at all (a
        // folder in the lock file's place, a file system without locks): this session writes
        // nothing there (its save does nothing); the front end says error and ends.
        bool dataDirectoryInUse = false;
        // The compiler's message when the stored kill pattern does not compile.
        std::optional<std::string> killPatternError;
    };
    // Loads the settings and lists as at start-up and compiles the kill pattern; then, when
    // asked to, takes the data directory and recovers it (a line in the log tells what was
    // recovered).
    LoadResult load(LoadOptions options);
    // Saves the settings, the lists and "server.lst", as at exit, after folding the journal.
    // False when a file could not be written (the front end has been shown which, and why).
    bool save();
    // True when the session works in its data directory (it holds its lock). False for one
    // loaded without the lock, refused, or, not asked to make it, whose folder is not there.
    bool ownsDataDirectory() const { return m_dataFolder.started(); }
    // The end of the program's work (after save, no reader running): the thumbnail worker
    // stopped (what it had not done recorded as pending), the journal folded and the data
    // folder's lock released, so a program started next takes the folder at once.
    void leaveDataFolder();

    // ---- configuration
    // The values a configuration dialog starts from: those in force, or those waiting for
    // the end of the run.
    ConfigValues configuration() const;
    struct Applied {
        // True when nothing was changed: the data directory could not be made, or another
        // program works in it.
        bool refused = false;
        // What to show the user: "Fail make direcotry X", the data directory in use, or the
        // kill pattern's error (the old pattern stays; the other values are taken).
        std::optional<std::string> message;
        // The data directory changed and the lists were loaded again (the front end refills
        // its views).
        bool dataDirectoryChanged = false;
        // A run (or the group-list worker) is on: the values are kept and applied when it
        // has ended. The kill pattern takes effect at once.
        bool deferred = false;
    };
    // What OK in the configuration dialog does (the server is not part of it: switchServer).
    // A relative data directory is taken from the working folder and kept absolute; an empty
    // one is the default. A new data directory brings its own state, as a start there would:
    // the lists and "server.lst" are saved first, the groups' positions, picture lists and
    // counters of the old folder are forgotten, its "server.lst" is read (the server in use
    // is kept where it lacks it), and the lists are loaded again. It keeps its own duplicate
    // history: the old folder's index is saved there and the new folder's "MSGLIST" loaded. A
    // session that works in its data directory moves there: the new folder's lock is taken first
    // (refused when in use), then the old folder is folded and released, and the new one recovered.
    Applied applyConfiguration(const ConfigValues& values);

    // ---- server
    // Makes text ("HOST", "HOST PORT" or "HOST:PORT") the server in use. A new host saves the
    // settings and loads that server's lists (true: the front end refills its views); the same host
    // may change its port. A text that serverTextProblem refuses changes nothing (false).
    bool switchServer(std::string_view text);
    // Empties the subscribed, selected and visited tables (clearing their flags) and loads
    // them again from the current server's folder.
    void reloadLists();

    // The entry of the server in use, or null, for the workers a front end starts with it (an
    // NZB fetch): their connections record its login state there.
    ServerEntry* serverInUse() { return m_settings->currentServer(); }
    // What a change of a server entry sets; what is not given stays.
    struct ServerChange {
        std::optional<bool> secure;
        std::optional<ServerRole> role;
        std::optional<int> level;
        std::optional<int> connections;
        // Stored with the entry, with its flag (1: log in with it) unless authFlag says other.
        std::optional<Credentials> login;
        std::optional<int> authFlag;
    };
    // Adds (or, listed already, updates) the entry of host and port (AppSettings::
    // addServerPort); returns its key.
    std::string addServer(std::string_view host, int port);
    // Changes the listed entry of that key; nothing when there is none. Saved by saveServers.
    void changeServer(const std::string& key, const ServerChange& change);
    // Removes the entry of that key (its line goes at the next saveServers); a worker still
    // holding it keeps it until the session ends.
    void removeServer(const std::string& key);
    // The servers as the servers dialog leaves them: entries missing there (or null) are
    // removed, the others take the values given (new ones are added), and "server.lst" is
    // saved, a failure reported as saveServers reports it.
    bool replaceServers(const ServerMap& servers);
    // What "Test" in the servers dialog finds: connects to entry with its stored login.
    ServerProbe probeServer(const ServerEntry& entry) const;

    // ---- saving what the front ends changed
    // Each file not written is said in one message box ("Fail create file" with its path and
    // the reason); false then.
    bool saveConfiguration();
    // The "Config" values, the message-id index and the subscribed, selected and visited lists.
    bool saveSettings();
    // The subscribed and selected lists.
    bool saveGroupLists();
    // "server.lst".
    bool saveServers();
    // "server.lst" unreported: 0, or -1 when it could not be written.
    int saveServerList();

    // ---- settings the front ends look up
    // The browser a page is opened with (see AppSettings::resolveBrowser).
    const std::string& resolveBrowser();
    // Below "Free Alert": the warning, then with offerDialog the configuration (see
    // AppSettings::freeSpaceCheck).
    bool freeSpaceCheck(bool offerDialog);

    // ---- folders
    // The folder of a group below the data directory (GroupFolder), for the catalogue and
    // the file manager.
    GroupFolder groupFolder(std::string_view groupName) const;
    GroupFolder groupFolder(const GroupEntry& group) const;

    // ---- groups (window or command thread)
    // The group of that name in the list of all groups, added when it is not there.
    GroupEntry& groupNamed(std::string_view name);
    // Adds the group to the subscribed list and marks it; false when it was listed already.
    bool subscribe(GroupEntry& group);
    void unsubscribe(GroupEntry& group);
    // Adds the group to the groups to retrieve and marks it.
    void select(GroupEntry& group);
    // Takes it out of them (said in the log when it was there) and off their view.
    void unselect(GroupEntry& group);
    // The groups to retrieve become groups, front first, as the window lists them.
    void setSelection(std::span<GroupEntry* const> groups);

    // The visited-groups table, front first, and one of its entries: readers add to the
    // table during a run, so these read it under DecodeLock.
    std::vector<GroupEntry*> visitedGroups() const;
    GroupEntry* findVisited(std::string_view name) const;

    // ---- runs
    // Makes the folder of the current server's group lists, where a run records the groups it
    // visits: empty, or what to tell the user ("Fail to create data directory X").
    std::string makeGroupListFolder() const;
    // Makes the readers, unless made: readers of them, or "Max Threads" (in its range). A run
    // makes them itself when needed; the number holds for the session's life.
    void prepareReaders(std::optional<int> readers = {});
    // The group-list worker, created on first use.
    GroupFetchThread& groupFetch();
    // Hands groups to the readers and starts them with the server in use, with what the run
    // asks beyond the settings (the command line's --newest, --since, --no-overview). -1
    // when there is no such server, or (said in a message box) when the data folder's
    // journal cannot be opened: nothing starts.
    int startRun(const GroupTable& groups, const RunOptions& options = {});
    bool runActive() const { return m_runActive; }
    // Readers of the run still at work (under DecodeLock); 0 when none was made.
    int runningReaders() const;
    // Whether every reader has left after a stop or the run's end; never waits.
    bool readersStopped();
    // A group selected while a run is on: an idle reader takes it up.
    void addToRun(GroupEntry& group);
    // Bytes the readers' connections have received as they came off the wire (compressed,
    // where the server compresses), over the session's runs.
    std::uint64_t wireBytesReceived() const;
    // Why groups of the last run were left unread (see ReaderPool::runFailures).
    std::vector<std::string> runFailures() const;
    // Asks every reader to stop; never waits.
    void requestStop();
    // Stops the readers, waiting for them (whileWaiting about every 10 ms; nothing to wait
    // for once waitStopped has said so), saves the message-id index and folds the journal,
    // then applies a configuration given during the run (a data directory in use by another
    // program is refused then with a message box; the other values are taken).
    // True when that configuration changed the data directory (the front end refills its
    // views, as after applyConfiguration).
    bool finishRun(const std::function<void()>& whileWaiting = {});
    // The group-list worker has ended: applies a configuration given meanwhile; true as above.
    bool groupListFinished();

    // ---- pictures
    // The thumbnail worker and the picture database of the data directory.
    PictureCatalog& pictures() { return m_pictures; }
    // The message-id history of the data directory, with the articles of each decoded file
    // (open while the session works there).
    MessageHistory& history() { return m_dataFolder.history(); }
    // Waits until every thumbnail of the run is made and the galleries written, asking
    // keepWaiting every 100 ms whether to go on (the command line's Ctrl-C); false when it
    // gave up (the rest is done at the worker's next start).
    bool finishPictures(const std::function<bool()>& keepWaiting = {});
    // The gallery page of a group (written from the database when missing); empty when the
    // group has no picture with a thumbnail.
    std::string galleryPage(const GroupEntry& group);
    // The file manager deleted files of a group: their records, thumbnails and gallery cells
    // go too.
    void forgetPictures(const GroupEntry& group, std::span<const std::string> names);

    // ---- manual decoding
    // Decodes a file into the data directory's "news.dat", as "Decode files" does. Takes
    // DecodeLock. The result says whether every file could be written (see DecodeResult).
    [[nodiscard]] DecodeResult decodeFile(FilePtr in, bool keepText = false);

  private:
    ReaderPool& readerPool(std::optional<int> readers = {});
    bool busy() const;
    // Claims directory when the session would move there from the folder it works in; false
    // (applied refused, with the message) when another program holds it or it cannot be
    // locked.
    bool claimFor(const std::string& directory, LockFile& lock, Applied& applied);
    void applyNow(const ConfigValues& values, Applied& applied, LockFile lock);
    // Reads "server.lst" of the data directory just taken.
    void loadServersOfFolder();
    // Folds the journal; logged when it cannot be emptied.
    void foldJournal();
    // Starts work in the data directory with lock and logs what was recovered; why the
    // journal cannot be opened, else empty.
    std::string startDataFolder(LockFile lock);

    Frontend& m_frontend;
    Profile& m_profile;
    std::unique_ptr<AppSettings> m_settings;
    Decoder m_decoder;
    PictureCatalog m_pictures;  // the readers use it through the hook: destroyed after them
    DataFolder m_dataFolder;
    CatalogHook m_hook;
    bool m_worksInFolder = false;  // loaded to work in the data directory (it takes locks)
    bool m_refused = false;        // another program holds the data directory: nothing is written
    std::optional<ConfigValues> m_pending;  // given during a run
    bool m_runActive = false;
    // Removed server entries: a worker may still hold one, so they live as long as the session.
    std::vector<std::unique_ptr<ServerEntry>> m_retiredServers;
    // Destroyed first: their threads use everything above.
    std::unique_ptr<GroupFetchThread> m_groupFetch;
    std::unique_ptr<ReaderPool> m_readers;

    // The NZB fetch is a worker of the core: its connections and commits write the record
    // (the message-id index, the servers' login state) as the readers do.
    friend class NzbJob;
    friend struct SessionTestAccess;
};

// Tests set up a state by writing the settings record directly.
struct SessionTestAccess {
    static AppSettings& settings(Session& session) { return *session.m_settings; }
};

}  // namespace qm
