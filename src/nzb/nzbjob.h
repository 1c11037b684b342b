// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One NZB fetched into its folder of the data directory ("nzb/<NZB name>/"): its files
// fetched and assembled (nzbfetcher.h), their pictures catalogued as a group's are
// (thumbnail, gallery, duplicate check, picture database), then each par2 set verified and,
// when blocks are missing, repaired with as few recovery volumes fetched as the verify says
// are needed, the smallest first.
//
// One per NZB, on the thread that drives the program (the command's main thread); the
// session must work in its data directory. Its fetcher's workers catalogue finished files
// with DecodeLock held, as reader threads do.
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "nzb/nzbdocument.h"
#include "nzb/nzbfetcher.h"

namespace qm {

class ServerEntry;
class Session;

struct NzbOutcome {
    std::string folder;
    std::vector<std::string> failures;  // why segments were left unfetched
    // Per par2 set: "<index file>: complete", "repaired (N blocks)" or "short: N blocks
    // missing, M available".
    std::vector<std::string> sets;
    bool shortSet = false;  // a set could not be repaired
    bool stopped = false;   // keepGoing said stop
    int files = 0;          // finished (this run and before)
};

class NzbJob {
  public:
    NzbJob(Session& session, ServerEntry& server) : m_session(session), m_server(server) {}

    // The folder of the NZB at nzbPath: "nzb/" and its file name without ".nzb", made safe.
    static std::string folderFor(const std::string& dataDirectory, const std::string& nzbPath);
    // The group name its pictures are recorded under in the picture database.
    static std::string groupFor(const std::string& folder);

    // Fetches document (read from nzbPath) over connections connections; keepGoing is asked
    // every few milliseconds (false stops: what is in flight is fetched again next time) and
    // may draw progress from figures().
    NzbOutcome run(const std::string& nzbPath, const NzbDocument& document, int connections,
                   const std::function<bool()>& keepGoing);

    // The figures of the fetch going on (the files, then each set's volumes).
    const NzbFetchFigures* figures() const { return m_figures; }

  private:
    void fileDone(const FetchedFile& file);
    void catalogue(const std::string& path, const std::string& subject,
                   const std::string& messageId);
    // Verifies and repairs the set of index; fetches its volumes as needed.
    void repairSet(int index, const std::string& indexName, NzbOutcome& outcome,
                   const std::function<bool()>& keepGoing);
    std::vector<std::string> fetch(const std::vector<int>& files,
                                   const std::function<bool()>& keepGoing, bool& stopped);

    Session& m_session;
    ServerEntry& m_server;
    const NzbDocument* m_document = nullptr;
    std::string m_folder;
    std::string m_group;
    int m_connections = 1;
    NzbProgressFile m_progress;
    const NzbFetchFigures* m_figures = nullptr;
    bool m_toolMissingSaid = false;
    std::mutex m_mutex;
    std::map<int, std::string> m_done;  // guarded by m_mutex: file -> name in the folder
    // guarded by m_mutex: files that came short or damaged, catalogued once repaired
    std::map<int, FetchedFile> m_damaged;
};

}  // namespace qm
