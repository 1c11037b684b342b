#pragma once
// One client connection to an NNTP news server: sends one command line at a time, reads the
// reply line and its code, and reads the data lines of multi-line replies (HEAD, BODY).
//
// Owned by one worker record (a reader or the group-list worker) and used only on that
// worker's thread. From other threads only setStopping(), cancel() and the rate fields may be
// touched. Every wait for a reply or data line checks ProgramExiting and the calling thread's
// worker record (ThreadContext) and throws NNTPQuitException when either asks to stop; a
// failure of the socket itself (a time-out, a reset) closes the connection and is thrown on
// as SocketError for the worker to log. A secure server gets TLS right after the TCP
// connect, before the greeting is read, so nothing (no AUTHINFO) ever leaves in clear.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace qm {

class AppSettings;
class Frontend;
class GroupEntry;
class GroupTable;
class SavedArticle;
class ServerEntry;

// What the readers of one retrieval run share about connecting. Guarded by DecodeLock.
struct ReaderRunState {
    int ConnectFailureReported = 0;  // the connection failure box was shown this run
    int runningReaders = 0;
};

class NNTPConnection {
  public:
    enum State : int { Ready = 0, Connected = 1, Closed = 2, Stopping = 3 };
    // Result of selectGroup for a "211" reply without count, first and last.
    static constexpr int MalformedReply = -9;
    // replyCode when no reply came (the stream ended) or the reply had no leading number.
    static constexpr int NoReply = -1;

    NNTPConnection(AppSettings& settings, ReaderRunState& run);
    NNTPConnection(const NNTPConnection&) = delete;
    NNTPConnection& operator=(const NNTPConnection&) = delete;

    void setServer(ServerEntry* server) { m_server = server; }
    ServerEntry* server() const { return m_server; }
    // How long a connect or the wait for one line may take (120 s by default).
    void setTimeout(std::chrono::milliseconds timeout) { m_stream.setTimeout(timeout); }

    // 0 when a connection was opened (even if the greeting was refused), -1 without a
    // server, otherwise the errno of the failed connect.
    [[nodiscard]] int connect();
    // Sends text; callers look at replyCode() and replyLine() afterwards. Returns the state
    // when not Ready (nothing sent), the result of the repeated command after a successful
    // authentication on 480, 0 for an unanswered 480, otherwise -1.
    int sendCommand(std::string_view text);
    // 0 on success, -1 otherwise.
    [[nodiscard]] int authenticate();
    // 0, MalformedReply, or the unexpected reply code.
    [[nodiscard]] int selectGroup(GroupEntry& group);
    // argument: an article number (or message-id); empty sends the command alone. 0 on
    // success, otherwise the reply code (NoReply when the data ended without ".").
    [[nodiscard]] int fetchHead(std::string_view argument, SavedArticle& article);
    [[nodiscard]] int fetchBody(std::string_view argument, SavedArticle& article);
    [[nodiscard]] int nextArticle(SavedArticle& article);
    // HEAD of number, then the short and kill filters, then BODY into the article's file.
    // 0 when saved, -1 when the header was not delivered, -3 skipped as short, -2 excluded,
    // otherwise fetchBody's result.
    [[nodiscard]] int retrieveArticle(std::string_view number, SavedArticle& article);
    // retrieveArticle for an article whose header has just been read.
    [[nodiscard]] int filterAndFetchBody(std::string_view number, SavedArticle& article);
    // "LIST" into table: every group not in it yet is added at the front and offered to the
    // available-groups list. -1 when not Ready, 0 after the listing, else the reply code.
    int listGroups(GroupTable& table);
    // True when the last successful selectGroup moved the reading position to the first
    // article because none was saved or the saved one lies outside the range: that first
    // article has not been dealt with yet.
    bool positionUnread() const { return m_positionUnread; }
    int quit();
    int abortClose();

    // From any thread: commands are refused from now on (a running data loop goes on until
    // its stop check throws).
    void setStopping() { m_state = Stopping; }
    // From any thread: makes a blocked connect or read fail at once.
    void cancel() { m_stream.cancel(); }

    int state() const { return m_state.load(); }
    const std::string& replyLine() const { return m_replyLine; }
    int replyCode() const { return m_replyCode; }
    GroupEntry* currentGroup() const { return m_currentGroup; }
    int lineCounter() const { return m_lineCounter; }

    // The rate fields of the group monitor's sampler (another thread).
    std::atomic<std::int64_t> bytesReceived{-1};  // line bytes since the last sample
    std::atomic<std::int64_t> sampleStart{-1};    // seconds
    std::atomic<int> averageRate{-1};             // bytes per second; -1: no sample yet
    // Reads bytesReceived and sets it to 0 in one step, so no line's bytes are lost.
    std::int64_t takeBytesReceived() { return bytesReceived.exchange(0); }

  private:
    // Sends text and reads the reply line, without the 480 handling.
    int exchange(std::string_view text);
    int handleAuthRequired(std::string_view text);
    // Throws NNTPQuitException when the program exits or the worker is told to stop.
    void stopChecks();
    bool stopRequested() const;
    // Reads one line, counts its bytes; false when the stream ended (the connection is then
    // closed). Socket failures close the connection and are thrown on.
    bool readLine(std::string& line);
    void readReply();
    // The next data line, un-stuffed; false at "." or when the stream ended (m_truncated).
    bool readDataLine(std::string& line);
    // Closes the connection after a socket failure and throws: NNTPQuitException for a
    // cancelled call (a stop request), the SocketError itself otherwise.
    [[noreturn]] void streamFailed(const SocketError& error);
    void closeStream();
    // The message box text for a failed connect: the certificate refusal, the TLS failure,
    // or the errno.
    std::string connectFailureText(const std::string& host, int port, int error) const;
    void log(std::string_view line) const;

    AppSettings& m_settings;
    Frontend& m_frontend;
    ReaderRunState& m_run;
    ServerEntry* m_server = nullptr;
    std::atomic<int> m_state{Closed};
    GroupEntry* m_currentGroup = nullptr;
    TcpStream m_stream;
    int m_lineCounter = 0;
    std::string m_replyLine;
    int m_replyCode = 0;
    bool m_truncated = false;  // the last data reply ended without its "." line
    bool m_positionUnread = false;
    std::string m_line;  // reused for data lines
};

}  // namespace qm
