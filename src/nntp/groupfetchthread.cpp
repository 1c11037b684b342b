// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/groupfetchthread.h"

#include <exception>
#include <mutex>
#include <optional>
#include <string>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "config/serverentry.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "nntp/nntpquitexception.h"
#include "nntp/readerpool.h"
#include "platform/paths.h"

namespace qm {

GroupFetchThread::GroupFetchThread(AppSettings& settings)
    : m_settings(settings),
      m_events(settings.frontend(), m_run),
      m_connection(m_events, m_run.login) {}

GroupFetchThread::~GroupFetchThread() {
    stop();
    (void)m_thread.join();
}

int GroupFetchThread::start() {
    Frontend& frontend = m_settings.frontend();
    ServerEntry* server = m_settings.currentServer();
    if (!server) {
        frontend.messageBox("Please supply the news server address!", MessageIcon::Stop);
        return -1;
    }
    const std::string directory = m_settings.groupListDirectory();
    if (makeDirectories(directory) != 0) {
        frontend.messageBox("Fail to create data directory " + directory, MessageIcon::Stop);
        return -1;
    }
    if (m_thread.running()) return -1;  // the last worker has not ended yet
    (void)m_thread.join();
    m_connection.setServer(server);
    {
        // Each request says once that the server cannot be reached, not once per program.
        std::lock_guard lock(DecodeLock);
        m_run.ConnectFailureReported = 0;
    }
    m_run.newLogin();  // and asks for a login once
    state = Running;
    if (m_thread.start([this] { procedure(); })) return 0;
    state = Idle;
    return -1;
}

void GroupFetchThread::stop() {
    state = AbortRequested;
    m_connection.setStopping();
    m_connection.cancel();
}

bool GroupFetchThread::wait(std::chrono::milliseconds timeout) {
    return m_thread.waitFinished(timeout);
}

bool GroupFetchThread::terminate(std::chrono::milliseconds timeout) {
    stop();
    if (!m_thread.waitFinished(timeout)) return false;
    (void)m_thread.join();
    return true;
}

bool GroupFetchThread::running() const {
    return m_thread.running();
}

void GroupFetchThread::procedure() {
    ThreadContext& context = ThreadContext::current();
    context = ThreadContext{};
    context.worker = this;
    Frontend& frontend = m_settings.frontend();
    const int loaded = m_settings.loadList(m_settings.allGroups, "Groups", true);
    if (loaded == -9999) {
        frontend.groupListFinished();
        frontend.appendLog("Fetching groups aborted!");
    } else {
        if (loaded != 0) fetchFromServer();
        frontend.groupListFinished();
    }
    context = ThreadContext{};
}

void GroupFetchThread::fetchFromServer() {
    Frontend& frontend = m_settings.frontend();
    ServerEntry* server = m_connection.server();
    const std::string host = server ? server->host : std::string();
    std::optional<std::string> failure;
    try {
        frontend.appendLog("Trying connect to " + host + "...Please wait");
        if (m_connection.state() != NNTPConnection::Ready) {
            m_connection.setCompression(m_settings.compress != 0);
            (void)m_connection.connect();  // a failure is reported by connect itself
            if (m_connection.state() != NNTPConnection::Ready)
                throw NNTPQuitException("Fail NNTP connection", m_settings.server);
        }
        std::size_t received = 0;
        const NntpReply listed = m_connection.listGroups([&](std::string_view line) {
            addListedGroup(line);
            ++received;
        });
        // Saved, a refused or partial list would count as complete from then on, and the
        // server would never be asked again.
        if (!listed.ok()) failure = listFailure(host, listed, received);
        if (m_connection.state() == NNTPConnection::Ready) m_connection.quit();
        if (listed.ok() && m_settings.saveList(m_settings.allGroups, "Groups") != 0)
            frontend.appendLog("Fail create file " +
                               joinPath(m_settings.groupListDirectory(), "Groups"));
    } catch (const NNTPQuitException& e) {
        frontend.appendLog(e.message());
    } catch (const std::exception& e) {
        frontend.appendLog(errorText(e.what()));
    }
    m_connection.abortClose();
    frontend.appendLog("Connection to NNTP server closed.");
    if (failure) frontend.messageBox(*failure, MessageIcon::Warning);
}

void GroupFetchThread::addListedGroup(std::string_view line) {
    // "name last first posting": only the name is kept.
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return;
    line.remove_prefix(start);
    const std::string_view name = line.substr(0, line.find_first_of(" \t"));
    GroupEntry* group = m_settings.allGroups.find(name);
    if (!group) {
        group = &m_settings.newGroup(name, Active);
        m_settings.allGroups.add(*group);
    }
    // A group known before (subscribed, added by hand, or read from an incomplete "Groups")
    // belongs in the server's list as much as a new one; the view shows each group once.
    m_settings.frontend().offerAvailableGroup(*group);
}

std::string GroupFetchThread::listFailure(const std::string& host, const NntpReply& listed,
                                          std::size_t received) const {
    const std::string start = "The list of groups of " + host;
    if (listed.is(ReplyOutcome::ConnectionLost))
        return start + " was cut off after " + std::to_string(received) +
               " groups; it is not saved, and the next request asks the server again.";
    if (listed.is(ReplyOutcome::AuthRequired) && m_connection.loginRefused())
        return start + " could not be read: login refused by " + host;
    if (listed.is(ReplyOutcome::AuthRequired))
        return start + " needs a login, and none was given or accepted: " + listed.text();
    return start + " was refused: " + listed.text();
}

}  // namespace qm
