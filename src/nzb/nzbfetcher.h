// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Fetches the segments of an NZB's files by message-id over several connections at once,
// each keeping a window of ARTICLE commands in flight, and assembles each file in its folder:
// yEnc parts are written where their header places them whatever order they arrive in; other
// segments are kept until the file is complete, then joined in segment order and uudecoded
// (or decoded as the program decodes an article: MIME and the rest).
// A finished file gets its safe name (numbered when taken) and is handed to onFileDone.
// Everything stored is recorded in the NZB's progress file as it happens (nzbprogressfile.h),
// so a kill costs the segments in flight only.
//
// One per NZB and run, owned by the caller, who calls run() on its thread; the workers are
// threads of their own, each with its own NNTPConnection, and are joined before run()
// returns. onFileDone runs on the worker that finished the file, one call at a time.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "nntp/nntpconnection.h"
#include "nntp/readerrunstate.h"
#include "nzb/nzbdocument.h"
#include "nzb/nzbprogressfile.h"
#include "platform/file.h"

namespace qm {

class AppSettings;
class ServerEntry;

// A file of the NZB that is complete (as far as the server had it) and named.
struct FetchedFile {
    int file = 0;      // its position in the NZB
    std::string path;  // where it is now
    std::string subject;
    std::string messageId;    // of its first segment
    int missingSegments = 0;  // not on the server or not in the NZB: their bytes are zeros
    int damagedSegments = 0;  // decoded with a wrong size or CRC
};

// The figures of a fetch, read by the progress line while workers write them.
struct NzbFetchFigures {
    std::atomic<std::int64_t> segments{0}, segmentsDone{0};
    std::atomic<std::int64_t> bytes{0}, bytesDone{0};  // as the NZB gives the segments' sizes
    std::atomic<int> files{0}, filesDone{0}, segmentsMissing{0};
};

class NzbFetcher {
  public:
    using FileDone = std::function<void(const FetchedFile&)>;
    NzbFetcher(AppSettings& settings, ServerEntry& server, const NzbDocument& document,
               std::string folder, NzbProgressFile& progress, FileDone onFileDone);
    ~NzbFetcher();
    NzbFetcher(const NzbFetcher&) = delete;
    NzbFetcher& operator=(const NzbFetcher&) = delete;

    // Fetches what is not stored yet of files (positions in the NZB) over at most connections
    // connections; the files finished before are left alone. keepGoing is asked every 100 ms
    // on the caller's thread: false stops the workers (what is in flight is fetched again next
    // time). The failures that left segments unfetched (connections refused or lost), one
    // line each; empty when every segment was dealt with.
    std::vector<std::string> run(std::span<const int> files, int connections,
                                 const std::function<bool()>& keepGoing);
    const NzbFetchFigures& figures() const { return m_figures; }
    bool stopped() const { return m_stopped.load(); }

    // Commands sent ahead on each connection before the first reply is read (fewer when
    // there are not enough segments to keep every connection busy).
    static constexpr std::size_t Window = 16;

  private:
    struct Assembly;
    struct Item {
        int file;
        int segment;  // index into the file's segments
    };
    struct Worker {
        WorkerRecord record;
        std::mutex mutex;
        NNTPConnection* connection = nullptr;  // guarded by mutex: while it is open
    };

    // Sets up the assembly of file index and queues its segments not stored yet.
    Assembly* plan(int index);
    // Runs count workers until the queue is done or keepGoing says stop.
    void runWorkers(std::size_t count, const std::function<bool()>& keepGoing);
    void work(Worker& worker);
    // Fetches items in a window over connection until none is left; the items not dealt with
    // when it fails go back to the queue. What arrives is stored by a thread of its own
    // (Storer), so the connection is read on while a segment is decoded and written.
    void fetchOn(NNTPConnection& connection);
    class Storer;
    // Stores one received segment (missing: the server does not have it).
    void dealWith(const Item& item, std::string_view body, bool missing);
    // The segments the server lacks, asked of the fill servers once the workers are done;
    // what none of them has is missing.
    void fillLacking(int connections);
    void segmentMissing(const Item& item);
    bool take(Item& item);
    void putBack(std::deque<Item>& items);
    void store(const Item& item, std::string_view body);
    void segmentDealt(const Item& item, std::int64_t bytes);
    void finish(Assembly& file);
    bool finishYenc(Assembly& file, std::string& path);
    bool finishOther(Assembly& file, std::string& path);
    // Decodes text (the segments joined) as the program decodes an article; path: the first
    // file it made, named in the NZB's folder.
    bool decodeArticle(const Assembly& file, std::string& text, std::string& path);
    std::string namedPath(std::string_view wanted, int file) const;
    std::string segmentPath(int file, int number) const;
    void fail(std::string text);
    // A fetched file that could not be written: the run failed even with nothing left to ask.
    void failFile(std::string text);
    void log(std::string_view line) const;

    AppSettings& m_settings;
    ServerEntry& m_server;
    const NzbDocument& m_document;
    std::string m_folder;
    NzbProgressFile& m_progress;
    FileDone m_onFileDone;
    ReaderRunState m_run;
    NzbFetchFigures m_figures;
    std::atomic<bool> m_stopped{false};
    std::size_t m_window = Window;

    std::mutex m_mutex;
    std::deque<Item> m_queue;     // guarded by m_mutex
    std::vector<Item> m_lacking;  // guarded by m_mutex: for the fill servers
    bool m_fill = false;          // there are fill servers to ask (set before the workers)
    std::map<int, std::unique_ptr<Assembly>> m_assemblies;  // guarded by m_mutex
    std::vector<std::string> m_failures;                    // guarded by m_mutex
    std::vector<std::string> m_fileFailures;                // guarded by m_mutex
    std::mutex m_doneMutex;                                 // one onFileDone at a time
    Decoder m_decoder;  // with DecodeLock held, for what is neither yEnc nor uuencoded
};

}  // namespace qm
