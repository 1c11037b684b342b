// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/readerpool.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "config/threadcontext.h"
#include "decode/incompletesets.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "model/grouptable.h"
#include "model/locks.h"
#include "nntp/nntpquitexception.h"
#include "nntp/retrieval.h"
#include "platform/paths.h"

namespace qm {
namespace {

constexpr std::chrono::milliseconds PollInterval{10};
constexpr std::size_t MaxErrorText = 255;

}  // namespace

std::string errorText(std::string_view text) {
    return std::string(text.substr(0, MaxErrorText));
}

ReaderPool::ReaderPool(AppSettings& settings, Decoder& decoder, int readers)
    : m_settings(settings), m_decoder(decoder), m_fill(settings) {
    for (int i = 0; i < readers; ++i)
        m_readers.push_back(std::make_unique<ReaderThread>(settings, m_run));
}

ReaderPool::~ReaderPool() {
    requestStop();
    for (auto& reader : m_readers) reader->join();
}

int ReaderPool::runningReaders() const {
    std::lock_guard lock(DecodeLock);
    return m_run.runningReaders;
}

void ReaderPool::distribute(const GroupTable& table) {
    const std::size_t n = m_readers.size();
    if (n == 0 || table.empty()) return;
    const std::size_t quota = (totalAssigned() + table.size() - 1) / n + 1;
    auto cursor = table.entries().begin();
    const auto end = table.entries().end();
    for (auto& record : m_readers) {
        ReaderThread& reader = *record;
        std::size_t own = 0;
        {
            std::lock_guard lock(DecodeLock);
            own = reader.groups().size();
        }
        // A group that some reader already has still uses up its place.
        for (std::size_t place = own; place < quota && cursor != end; ++place, ++cursor) {
            GroupEntry& group = **cursor;
            if (isAssigned(group)) continue;
            assign(reader, group);
            if (!m_stopped && reader.state != WorkerRecord::Running)
                startReader(reader, ReaderThread::DefaultBatch);
        }
    }
}

void ReaderPool::assign(ReaderThread& reader, GroupEntry& group) {
    std::lock_guard lock(DecodeLock);
    reader.pending().add(group);
    if (reader.state != WorkerRecord::Running) reader.mergePending();
}

void ReaderPool::merge(ReaderThread& reader) {
    std::lock_guard lock(DecodeLock);
    reader.mergePending();
}

bool ReaderPool::isAssigned(const GroupEntry& group) const {
    std::lock_guard lock(DecodeLock);
    for (const auto& reader : m_readers)
        if (reader->groups().contains(group) || reader->pending().contains(group)) return true;
    return false;
}

std::size_t ReaderPool::totalAssigned() const {
    std::lock_guard lock(DecodeLock);
    std::size_t total = 0;
    for (const auto& reader : m_readers)
        total += reader->groups().size() + reader->pending().size();
    return total;
}

void ReaderPool::setServer(ServerEntry* server) {
    for (auto& reader : m_readers) reader->connection().setServer(server);
}

void ReaderPool::startRun() {
    m_stopped = 0;
    {
        std::lock_guard lock(DecodeLock);
        m_run.ConnectFailureReported = 0;
        m_run.stopped = false;
        m_failures.clear();
    }
    m_run.newLogin();  // one prompt per run
    ServerEntry* server = m_settings.currentServer();
    if (!server) return;
    if (runningReaders() == 0) m_cap.reset(server->connectionCap(static_cast<int>(size())));
    bool idle = false;
    {
        std::lock_guard lock(DecodeLock);
        idle = m_run.runningReaders == 0;
    }
    // Readers still at work keep using the fill servers they have.
    if (idle) {
        m_fill.startRun(static_cast<int>(m_readers.size()));
        m_backupSaid = false;
        m_runStarted = std::time(nullptr);
    }
    {
        std::lock_guard lock(DecodeLock);
        m_run.fill = m_fill.empty() ? nullptr : &m_fill;
    }
    // Every reader of the run is counted before the first one starts: one that fails at once
    // must not find the count at zero and end the run while the others are still to come.
    // What the last run's turns learnt is stale: the next run asks again.
    if (runningReaders() == 0) m_turns.clear();
    std::vector<ReaderThread*> starting;
    {
        std::lock_guard lock(DecodeLock);
        bool work = false;
        for (auto& record : m_readers) {
            ReaderThread& reader = *record;
            if (reader.state == WorkerRecord::Running) continue;  // already at work
            if (reader.groups().empty() && reader.pending().empty()) continue;
            for (GroupEntry* group : reader.groups().entries()) group->set(Active);
            starting.push_back(&reader);
            work = true;
        }
        // The readers without groups of their own help the others.
        for (auto& record : m_readers) {
            ReaderThread& reader = *record;
            if (!work || reader.state == WorkerRecord::Running) continue;
            if (std::find(starting.begin(), starting.end(), &reader) == starting.end())
                starting.push_back(&reader);
        }
        m_run.runningReaders += static_cast<int>(starting.size());
    }
    if (runningReaders() == static_cast<int>(starting.size()))
        m_turns.setRunReaders(std::min(static_cast<int>(starting.size()), m_cap.cap()));
    for (ReaderThread* reader : starting) {
        reader->connection().setServer(server);
        launchReader(*reader, ReaderThread::DefaultBatch);
    }
}

int ReaderPool::startReader(ReaderThread& reader, int batch) {
    // Counted before the thread runs, so that a stop right after the start waits for it.
    {
        std::lock_guard lock(DecodeLock);
        ++m_run.runningReaders;
    }
    return launchReader(reader, batch);
}

int ReaderPool::launchReader(ReaderThread& reader, int batch) {
    reader.state = WorkerRecord::Running;
    NNTPConnection& connection = reader.connection();
    connection.sampleStart = static_cast<std::int64_t>(std::time(nullptr));
    connection.bytesReceived = 0;
    if (!reader.start([this, &reader] { readerProcedure(reader); }, batch)) {
        std::lock_guard lock(DecodeLock);
        --m_run.runningReaders;
        reader.state = WorkerRecord::Idle;
        return -1;
    }
    return 0;
}

void ReaderPool::requestStop() {
    for (auto& reader : m_readers) reader->requestStop();
    m_fill.cancel();
}

void ReaderPool::stopAll(const std::function<void()>& whileWaiting) {
    requestStop();
    std::this_thread::sleep_for(PollInterval);
    while (runningReaders() > 0) {
        if (whileWaiting) whileWaiting();
        std::this_thread::sleep_for(PollInterval);
    }
    for (auto& reader : m_readers) reader->join();
    m_stopped = 1;
    std::lock_guard lock(DecodeLock);
    if (m_settings.messageIds.save() != 0)
        m_settings.frontend().appendLog("Fail create file " + m_settings.messageIds.path());
}

bool ReaderPool::waitStopped(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (runningReaders() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(PollInterval);
    }
    return true;
}

bool ReaderPool::terminate(ReaderThread& reader, std::chrono::milliseconds timeout) {
    reader.requestStop();
    if (!reader.waitFinished(timeout)) return false;
    reader.join();
    return true;
}

int ReaderPool::sampleRate() {
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    int total = 0;
    for (auto& reader : m_readers) {
        NNTPConnection& connection = reader->connection();
        const std::int64_t elapsed = now - connection.sampleStart.load();
        // Taken and zeroed in one step: a line counted meanwhile goes to the next sample.
        const std::int64_t bytes = std::max<std::int64_t>(connection.takeBytesReceived(), 0);
        const auto instant = static_cast<int>(elapsed > 0 ? bytes / elapsed : 0);
        int average = connection.averageRate.load();
        if (average < 0) average = instant;
        average = (instant + average) / 2;
        connection.averageRate = average;
        connection.sampleStart = now;
        total += average;
    }
    return total;
}

void ReaderPool::readerProcedure(ReaderThread& reader) {
    ThreadContext& context = ThreadContext::current();
    context = ThreadContext{};
    context.worker = &reader;
    Frontend& frontend = m_settings.frontend();
    SavedArticle& article = reader.article();
    for (;;) {
        article.reset();
        bool completed = false;
        bool placed = false;
        RetrievalLoop loop(m_settings, m_decoder, reader, article, m_run, m_options, m_turns, m_cap,
                           [this] { return groupsToCome(); });
        bool beyondCap = false;
        bool helperOnly = false;
        try {
            NNTPConnection& connection = reader.connection();
            {
                std::lock_guard lock(DecodeLock);
                helperOnly = reader.groups().empty() && reader.pending().empty();
            }
            placed = helperOnly ? placeHelper(reader) : m_cap.acquire([&] {
                return reader.abortRequested() || m_run.stopped.load();
            });
            std::string failure;
            if (placed && connection.state() != NNTPConnection::Ready) {
                beyondCap = !connectReader(reader);
                failure = connection.connectFailure();
                // The main server down, refusing the greeting or the login: the backup.
                if (!beyondCap &&
                    (connection.state() != NNTPConnection::Ready || connection.loginRefused()))
                    (void)connectToBackup(connection);
            }
            if (!placed || beyondCap) {
                completed = true;
            } else if (connection.state() != NNTPConnection::Ready) {
                // Its reason in words, once however many readers fail alike.
                if (failure.empty()) failure = connection.connectFailure();
                if (!failure.empty()) recordFailures({failure});
                throw NNTPQuitException("NNTP connection failure ", m_settings.server);
            } else {
                loop.run();
                completed = true;
            }
        } catch (const NNTPQuitException& e) {
            frontend.appendLog(e.message());
        } catch (const std::exception& e) {
            frontend.appendLog(errorText(e.what()));
        }
        if (placed) {
            if (!beyondCap) {
                recordFailures(loop.failures());
                cleanUp(reader);
            }
            m_cap.release();
        }
        // Refused beyond the cap with groups of its own: it waits for a place again.
        if (beyondCap && !helperOnly && !reader.abortRequested()) continue;

        bool last = false;
        {
            std::lock_guard lock(DecodeLock);
            // A group assigned after the last pass looked: serve it rather than leave it
            // waiting in pending with nobody to take it over.
            if (completed && reader.state == WorkerRecord::Running && !reader.pending().empty() &&
                !ProgramExiting)
                continue;
            const int state = reader.state;
            --m_run.runningReaders;
            last = m_run.runningReaders == 0 && state != WorkerRecord::AbortRequested;
            reader.state = WorkerRecord::Idle;
        }
        context = ThreadContext{};
        if (last) {
            m_fill.closeAll();
            // A set that still lacks parts (none of the servers had them) is said by name.
            for (const IncompleteSet& set :
                 incompleteSets(joinPath(m_settings.dataDirectory, "tmp"), m_runStarted))
                frontend.appendLog("Still incomplete after this run: " +
                                   describeIncompleteSet(set));
            frontend.runFinished();
        }
        return;
    }
}

bool ReaderPool::placeHelper(ReaderThread& reader) {
    // Only once there is a group to help: the readers with groups of their own take their
    // places first. One that would only help never waits for a place: it is not needed.
    for (;;) {
        if (reader.abortRequested() || m_run.stopped.load() || !m_options.overview) return false;
        if (m_turns.helpable()) return m_cap.tryAcquire();
        if (!groupsToCome()) return false;
        m_turns.wait(std::chrono::milliseconds(50));
    }
}

bool ReaderPool::connectReader(ReaderThread& reader) {
    NNTPConnection& connection = reader.connection();
    // A server lets a closed connection go with a lag: a refusal just after one of ours was
    // closed is asked again before it is called a failure.
    constexpr auto CloseLag = std::chrono::seconds(2);
    for (;;) {
        // With other connections open, a refusal in the greeting is the account's limit.
        const bool othersOpen = m_cap.held() > 1;
        const bool justClosed = m_cap.releasedWithin(CloseLag);
        connection.setReporting(othersOpen || justClosed
                                    ? NNTPConnection::Reporting::BusyRefusalQuiet
                                    : NNTPConnection::Reporting::Loud);
        connection.setCompression(m_settings.compress != 0);
        (void)connection.connect();  // a failure is reported by connect itself
        if (connection.state() == NNTPConnection::Ready || !connection.busyRefused()) return true;
        if (othersOpen) break;
        if (!justClosed) return true;  // refused alone: connect has said so
        for (int i = 0; i < 5; ++i) {
            if (reader.abortRequested() || m_run.stopped.load()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (const int cap = m_cap.refusedBeyond(); cap > 0) {
        const ServerEntry* server = connection.server();
        m_settings.frontend().appendLog((server ? server->host : m_settings.server) +
                                        " refused a connection beyond " + std::to_string(cap) +
                                        ": this run uses " + std::to_string(cap) + " connections");
    }
    return false;
}

bool ReaderPool::groupsToCome() const {
    std::vector<const GroupEntry*> groups;
    {
        std::lock_guard lock(DecodeLock);
        for (const auto& reader : m_readers)
            if (reader->state == WorkerRecord::Running)
                for (const GroupEntry* group : reader->groups().entries())
                    if (isEligible(*group)) groups.push_back(group);
    }
    // The turns' registry is never taken with DecodeLock held.
    return std::any_of(groups.begin(), groups.end(),
                       [&](const GroupEntry* group) { return !m_turns.hasTurn(*group); });
}

bool ReaderPool::connectToBackup(NNTPConnection& connection) {
    if (m_settings.fillWhenMainDown == 0 || m_fill.empty()) return false;
    ServerEntry* main = connection.server();
    const bool refusedLogin = connection.state() == NNTPConnection::Ready;
    const std::string why = refusedLogin                          ? "login refused"
                            : connection.connectFailure().empty() ? "cannot connect"
                                                                  : connection.connectFailure();
    for (ServerEntry* fill : m_fill.servers()) {
        connection.abortClose();
        connection.setServer(fill);
        (void)connection.connect();
        if (connection.state() == NNTPConnection::Ready && !connection.loginRefused()) {
            if (!m_backupSaid.exchange(true))
                m_settings.frontend().appendLog(
                    "The main server " + (main ? main->addressText() : m_settings.server) +
                    " cannot be used (" + why + "); reading the groups from the fill server " +
                    fill->addressText());
            return true;
        }
        connection.abortClose();
    }
    // Nothing better: the main server's failure is the run's. A server that was up but refused
    // the login is taken again, for that refusal to be met as without fill servers.
    connection.setServer(main);
    if (refusedLogin) (void)connection.connect();
    return false;
}

std::vector<std::string> ReaderPool::runFailures() const {
    std::lock_guard lock(DecodeLock);
    return m_failures;
}

void ReaderPool::recordFailures(const std::vector<std::string>& failures) {
    std::lock_guard lock(DecodeLock);
    for (const std::string& failure : failures)
        if (std::find(m_failures.begin(), m_failures.end(), failure) == m_failures.end())
            m_failures.push_back(failure);
}

void ReaderPool::cleanUp(ReaderThread& reader) {
    if (GroupEntry* group = reader.currentGroup()) {
        RetrievalSteps::endTurn(m_settings, *group);
        if (GroupStats* stats = group->stats()) stats->articleInProgress = nullptr;
        reader.enterGroup(nullptr);
    }
    // A body cut off by a stop is never kept; a finished one only with "Keep Text".
    SavedArticle& article = reader.article();
    if (article.file || m_settings.keepText == 0)
        article.discard();
    else
        article.closeFile();
    reader.connection().abortClose();
    m_settings.frontend().appendLog("Connection to NNTP server closed...");
}

}  // namespace qm
