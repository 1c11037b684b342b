// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/fillservers.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "config/appsettings.h"
#include "config/serverentry.h"
#include "config/threadcontext.h"
#include "decode/savedarticle.h"
#include "decode/yenc.h"
#include "model/locks.h"
#include "nntp/nntpquitexception.h"
#include "platform/socket.h"

namespace qm {

struct FillServers::Server {
    ServerEntry* entry = nullptr;
    std::string name;
    int cap = 1;
    std::mutex mutex;
    std::condition_variable freed;
    std::vector<std::unique_ptr<NNTPConnection>> idle;  // guarded by mutex
    std::vector<NNTPConnection*> busy;                  // guarded by mutex: in use
    int open = 0;                                       // guarded by mutex: idle and in use
    bool down = false;                                  // guarded by mutex
};

namespace {

std::string nameOf(const ServerEntry& entry) {
    return entry.port == ServerEntry::DefaultPort ? entry.host
                                                  : entry.host + ":" + std::to_string(entry.port);
}

// Commands of one batch sent in one write; the rest follow as replies are read.
constexpr std::size_t Window = 64;

}  // namespace

FillServers::FillServers(AppSettings& settings) : m_settings(settings), m_events(settings, m_run) {}

FillServers::~FillServers() {
    cancel();
}

void FillServers::log(std::string_view line) const {
    m_settings.frontend().appendLog(line);
}

void FillServers::startRun(int readers) {
    closeAll();
    m_servers.clear();
    {
        std::lock_guard lock(DecodeLock);
        // A fill server that cannot be reached is a log line, never a message box.
        m_run.ConnectFailureReported = 1;
    }
    {
        // Stored credentials are used when the server asks; nobody is prompted for them.
        std::lock_guard lock(AuthLock);
        m_run.login.state = RunLogin::State::Given;
    }
    const ServerEntry* main = m_settings.currentServer();
    std::vector<ServerEntry*> fill;
    for (const auto& [key, entry] : m_settings.servers)
        if (entry && entry.get() != main && entry->role == ServerRole::Fill && !entry->host.empty())
            fill.push_back(entry.get());
    std::stable_sort(fill.begin(), fill.end(), [](const ServerEntry* a, const ServerEntry* b) {
        return a->level < b->level;
    });
    for (ServerEntry* entry : fill) {
        auto server = std::make_unique<Server>();
        server->entry = entry;
        server->name = nameOf(*entry);
        server->cap = std::max(entry->connectionCap(readers), 1);
        m_servers.push_back(std::move(server));
    }
}

std::vector<ServerEntry*> FillServers::servers() const {
    std::vector<ServerEntry*> entries;
    for (const auto& server : m_servers) entries.push_back(server->entry);
    return entries;
}

std::vector<std::string> FillServers::names() const {
    std::vector<std::string> names;
    for (const auto& server : m_servers) names.push_back(server->name);
    return names;
}

void FillServers::markDown(Server& server, const std::string& why) {
    bool first = false;
    {
        std::lock_guard lock(server.mutex);
        first = !server.down;
        server.down = true;
    }
    server.freed.notify_all();
    if (first) log("Fill server " + server.name + ": " + why + "; not asked again this run");
}

std::unique_ptr<NNTPConnection> FillServers::acquire(Server& server) {
    {
        std::unique_lock lock(server.mutex);
        for (;;) {
            if (server.down) return nullptr;
            if (!server.idle.empty()) {
                std::unique_ptr<NNTPConnection> connection = std::move(server.idle.back());
                server.idle.pop_back();
                server.busy.push_back(connection.get());
                return connection;
            }
            if (server.open < server.cap) break;
            // Every connection the account allows is in use by another reader.
            server.freed.wait_for(lock, std::chrono::milliseconds(100));
            const WorkerRecord* worker = ThreadContext::current().worker;
            if (ProgramExiting || (worker && worker->state == WorkerRecord::AbortRequested))
                throw NNTPQuitException("Abort action.", "");
        }
        ++server.open;
    }
    auto connection = std::make_unique<NNTPConnection>(m_events, m_run.login);
    connection->setServer(server.entry);
    connection->setCompression(m_settings.compress != 0);
    connection->setReporting(NNTPConnection::Reporting::Quiet);
    {
        // Busy from the start: a stop cancels a connect that hangs, too.
        std::lock_guard lock(server.mutex);
        server.busy.push_back(connection.get());
    }
    std::string why;
    try {
        const int error = connection->connect();
        if (connection->state() == NNTPConnection::Ready && connection->loginRefused())
            why = "login refused";
        else if (connection->state() != NNTPConnection::Ready)
            why = !connection->connectFailure().empty() ? connection->connectFailure()
                  : error > 0                           ? std::string(std::strerror(error))
                                                        : "cannot connect";
    } catch (const SocketError& error) {
        why = error.what();
    } catch (...) {
        (void)connection->abortClose();
        release(server, std::move(connection));
        throw;
    }
    if (why.empty()) return connection;
    (void)connection->abortClose();
    release(server, std::move(connection));
    markDown(server, why);
    return nullptr;
}

void FillServers::release(Server& server, std::unique_ptr<NNTPConnection> connection) {
    {
        std::lock_guard lock(server.mutex);
        std::erase(server.busy, connection.get());
        if (connection && connection->state() == NNTPConnection::Ready &&
            connection->commandsAhead() == 0)
            server.idle.push_back(std::move(connection));
        else
            --server.open;
    }
    server.freed.notify_one();
}

std::vector<bool> FillServers::fetch(GroupEntry* group, std::span<const std::string> ids,
                                     SavedArticle& article,
                                     const std::function<void(std::size_t)>& onFound) {
    std::vector<bool> found(ids.size(), false);
    for (const auto& server : m_servers) {
        if (std::find(found.begin(), found.end(), false) == found.end()) break;
        // A connection that lay idle may have been closed by the server meanwhile: one new
        // one is tried before the server counts as lost.
        if (auto lost = fetchFrom(*server, group, ids, found, article, onFound))
            if ((lost = fetchFrom(*server, group, ids, found, article, onFound)))
                markDown(*server, *lost);
    }
    return found;
}

std::optional<std::string> FillServers::fetchFrom(Server& server, GroupEntry* group,
                                                  std::span<const std::string> ids,
                                                  std::vector<bool>& found, SavedArticle& article,
                                                  const std::function<void(std::size_t)>& onFound) {
    std::unique_ptr<NNTPConnection> connection = acquire(server);
    if (!connection) return std::nullopt;
    // Returned to the others however this ends; a connection left mid-reply is closed.
    struct Return {
        FillServers& fill;
        Server& server;
        std::unique_ptr<NNTPConnection>& connection;
        ~Return() { fill.release(server, std::move(connection)); }
    } giveBack{*this, server, connection};
    connection->countFor(group);

    const std::int64_t number = article.number;
    std::optional<std::string> lost;
    std::deque<std::size_t> inFlight;
    std::size_t next = 0;
    auto advance = [&] {
        while (next < ids.size() && found[next]) ++next;
    };
    advance();
    try {
        while (next < ids.size() || !inFlight.empty()) {
            std::vector<std::string> commands;
            for (; next < ids.size() && inFlight.size() < Window; ++next, advance()) {
                commands.push_back("ARTICLE " + ids[next]);
                inFlight.push_back(next);
            }
            if (!commands.empty() && !connection->sendAhead(commands)) break;
            const std::size_t index = inFlight.front();
            article.reset();
            article.number = number;
            const NntpReply reply = connection->fetchArticle(ids[index], article);
            article.number = number;
            inFlight.pop_front();
            if (reply.ok()) {
                // Taken only when it is the article asked for.
                const ArticleReply& reply = connection->lastArticle();
                const std::string& id = !reply.headerId.empty() ? reply.headerId : reply.messageId;
                if (id.empty() || id == ids[index]) {
                    article.messageId = ids[index];
                    found[index] = true;
                    onFound(index);
                    continue;
                }
                article.discard();
                continue;
            }
            if (connection->state() != NNTPConnection::Ready) {
                lost = "connection lost";
                break;
            }
            if (reply.is(ReplyOutcome::NoSuchArticle)) continue;
            // Not an answer about the article: a login wanted and refused, a server fault.
            markDown(server, reply.text());
            connection->abortClose();
            break;
        }
    } catch (const SocketError& error) {
        // A time-out or reset costs this server, not the run.
        article.discard();
        connection->abortClose();
        lost = error.what();
    } catch (...) {
        // A stop in the middle of a reply: the connection cannot be used again.
        article.discard();
        connection->abortClose();
        throw;
    }
    article.number = number;
    return lost;
}

void FillServers::cancel() {
    for (const auto& server : m_servers) {
        std::lock_guard lock(server->mutex);
        for (const auto& connection : server->idle) connection->cancel();
        for (NNTPConnection* connection : server->busy) connection->cancel();
    }
}

void FillServers::closeAll() {
    for (const auto& server : m_servers) {
        std::vector<std::unique_ptr<NNTPConnection>> idle;
        {
            std::lock_guard lock(server->mutex);
            idle.swap(server->idle);
            server->open -= static_cast<int>(idle.size());
        }
        for (const auto& connection : idle) {
            try {
                (void)connection->quit();
            } catch (const std::exception&) {
                // Closing anyway: a server gone meanwhile is no failure of the run.
            }
        }
    }
}

std::string fillSummary(std::int64_t filled, std::int64_t lacking) {
    std::string text;
    if (filled > 0) text += ", " + std::to_string(filled) + " from fill servers";
    if (lacking > 0) text += ", " + std::to_string(lacking) + " on no server";
    return text;
}

bool isDamagedYenc(std::string_view text) {
    const std::size_t begin = text.starts_with("=ybegin ") ? 0 : text.find("\n=ybegin ");
    if (begin == std::string_view::npos) return false;
    text.remove_prefix(begin == 0 ? 0 : begin + 1);
    // The data starts after "=ybegin" and, in a multi-part post, "=ypart".
    bool part = false;
    for (int keyword = 0; keyword < 2; ++keyword) {
        if (keyword == 1 && !(part = text.starts_with("=ypart "))) break;
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return false;
        text.remove_prefix(end + 1);
    }
    std::string decoded(text.size(), '\0');
    YencDecoder decoder;
    const YencDecoder::Result result = decoder.decode(text, decoded.data(), false);
    if (result.stop != YencDecoder::Stop::KeywordLine) return false;  // no "=yend": cut, not ours
    std::string_view rest = text.substr(result.consumed);
    const std::optional<YencEnd> end = parseYencEnd(rest.substr(0, rest.find('\n')));
    if (!end) return false;
    const std::span<const char> data(decoded.data(), result.produced);
    if (end->size && *end->size != result.produced) return true;
    // A part's "crc32=" is the whole file's: only its "pcrc32=" checks the part.
    const std::optional<std::uint32_t> crc = part           ? end->partCrc
                                             : end->partCrc ? end->partCrc
                                                            : end->crc;
    return crc && *crc != crc32Update(0, data);
}

}  // namespace qm
