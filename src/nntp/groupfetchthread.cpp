#include "nntp/groupfetchthread.h"

#include <exception>
#include <system_error>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "config/serverentry.h"
#include "nntp/nntpquitexception.h"
#include "nntp/readerpool.h"
#include "platform/paths.h"

namespace qm {

GroupFetchThread::GroupFetchThread(AppSettings& settings)
    : m_settings(settings), m_connection(settings, m_run) {}

GroupFetchThread::~GroupFetchThread() {
    stop();
    if (m_thread.joinable()) m_thread.join();
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
    if (m_thread.joinable()) {
        if (running()) return -1;  // the last worker has not ended yet
        m_thread.join();
    }
    m_connection.setServer(server);
    state = Running;
    {
        std::lock_guard lock(m_mutex);
        m_running = true;
    }
    try {
        m_thread = std::thread([this] {
            procedure();
            std::lock_guard lock(m_mutex);
            m_running = false;
            m_finished.notify_all();
        });
    } catch (const std::system_error&) {
        std::lock_guard lock(m_mutex);
        m_running = false;
        state = Idle;
        return -1;
    }
    return 0;
}

void GroupFetchThread::stop() {
    state = AbortRequested;
    m_connection.setStopping();
    m_connection.cancel();
}

bool GroupFetchThread::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_finished.wait_for(lock, timeout, [this] { return !m_running; });
}

bool GroupFetchThread::terminate(std::chrono::milliseconds timeout) {
    stop();
    if (!wait(timeout)) return false;
    if (m_thread.joinable()) m_thread.join();
    return true;
}

bool GroupFetchThread::running() const {
    std::lock_guard lock(m_mutex);
    return m_running;
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
    try {
        ServerEntry* server = m_connection.server();
        frontend.appendLog("Trying connect to " + (server ? server->host : std::string()) +
                           "...Please wait");
        if (m_connection.state() != NNTPConnection::Ready) {
            (void)m_connection.connect();  // a failure is reported by connect itself
            if (m_connection.state() != NNTPConnection::Ready)
                throw NNTPQuitException("Fail NNTP connection", m_settings.server);
        }
        m_connection.listGroups(m_settings.allGroups);
        if (m_connection.state() == NNTPConnection::Ready) {
            m_connection.quit();
            if (m_settings.saveList(m_settings.allGroups, "Groups") != 0)
                frontend.appendLog("Fail create file " +
                                   joinPath(m_settings.groupListDirectory(), "Groups"));
        }
    } catch (const NNTPQuitException& e) {
        frontend.appendLog(e.message());
    } catch (const std::exception& e) {
        frontend.appendLog(errorText(e.what()));
    }
    m_connection.abortClose();
    frontend.appendLog("Connection to NNTP server closed.");
}

}  // namespace qm
