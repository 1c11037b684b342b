// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The fill servers of a run: asked by message-id, lowest level first, for the articles the
// main server lacks (or sent damaged). Each is asked with ARTICLE <id>, all of a batch in one
// write, on connections of its own that stay open for the run, at most its connection cap
// of them over all readers at once. What the first server lacks goes to the next one.
//
// A fill server that cannot be reached, greets with a refusal or refuses the login is logged
// once and left out for the rest of the run; the main server's run goes on.
//
// One per reader pool, shared by its readers: fetch() is called on a reader's thread, whose
// stop checks (ThreadContext) apply to the connections it uses meanwhile. startRun and
// closeAll come from the thread that drives the pool while no reader runs; cancel from any
// thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nntp/nntpconnection.h"
#include "nntp/readerevents.h"
#include "nntp/readerrunstate.h"

namespace qm {

class AppSettings;
class GroupEntry;
class SavedArticle;
class ServerEntry;

class FillServers {
  public:
    explicit FillServers(AppSettings& settings);
    ~FillServers();
    FillServers(const FillServers&) = delete;
    FillServers& operator=(const FillServers&) = delete;

    // For a new run: the servers of role fill in level order (the main server left out), the
    // connections of an earlier run closed. readers: the cap of a server that names none.
    void startRun(int readers);
    bool empty() const { return m_servers.empty(); }
    // The servers a run asks, in that order.
    std::vector<ServerEntry*> servers() const;
    // The hosts of the servers a run asks ("HOST" or "HOST:PORT"), in the order asked.
    std::vector<std::string> names() const;

    // Asks for ids (message-ids with their brackets) server after server until each is found
    // or every server was asked. For each article found, onFound(index into ids) runs on the
    // caller's thread with the article's text and header in article; its number is left as it
    // was. found[i] tells which were. Throws NNTPQuitException on a stop of the calling worker;
    // a connection lost or refused costs that server only.
    // What is read counts for group (its bytes, the article in progress), when one is given.
    std::vector<bool> fetch(GroupEntry* group, std::span<const std::string> ids,
                            SavedArticle& article, const std::function<void(std::size_t)>& onFound);

    // From any thread: makes every blocked read of a fill connection fail at once.
    void cancel();
    // Closes every idle connection (QUIT). Only while no fetch runs.
    void closeAll();

  private:
    struct Server;
    // A connection of server (idle, or newly opened below the cap); null when the server is
    // out for this run.
    std::unique_ptr<NNTPConnection> acquire(Server& server);
    void release(Server& server, std::unique_ptr<NNTPConnection> connection);
    // The server is out for the rest of the run: logged once with why.
    void markDown(Server& server, const std::string& why);
    // Asks server for the ids not found yet; marks those it gives. Why the connection was
    // lost on the way, when it was.
    std::optional<std::string> fetchFrom(Server& server, GroupEntry* group,
                                         std::span<const std::string> ids, std::vector<bool>& found,
                                         SavedArticle& article,
                                         const std::function<void(std::size_t)>& onFound);
    void log(std::string_view line) const;

    AppSettings& m_settings;
    ReaderRunState m_run;  // the fill connections' own: no prompt, no message box
    ReaderEvents m_events;
    std::vector<std::unique_ptr<Server>> m_servers;
};

// What the closing line of a run adds about fill servers: ", 4 from fill servers" and
// ", 1 on no server", each only when not zero (a run without them reads as before).
std::string fillSummary(std::int64_t filled, std::int64_t lacking);

// Whether text (an article) holds a yEnc part whose data does not match its "=yend" (CRC or
// size): a damaged copy. A text without yEnc, or without a CRC to check, is not.
bool isDamagedYenc(std::string_view text);

}  // namespace qm
