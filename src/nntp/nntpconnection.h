// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One client connection to an NNTP news server: the protocol and nothing of the retrieval
// policy. Sends command lines (one at a time, or many ahead of their replies), reads the reply
// lines and their codes and the data lines of multi-line replies, learns what the server can
// do (CAPABILITIES, RFC 3977; XOVER tried once on a server that lists nothing) and switches
// on COMPRESS DEFLATE (RFC 8054) where offered and wanted. What a reply means for the caller
// is classifyReply's (nntpreply.h); what the program makes of it (log lines, failure boxes,
// the login prompt, group flags and counters, where an article's text goes) is its
// ConnectionEvents'; where to read, what to skip and when to write the reading position is
// the retrieval loop's.
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
#include <deque>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nntp/capabilities.h"
#include "nntp/nntpreply.h"
#include "nntp/runlogin.h"
#include "platform/socket.h"

namespace qm {

class ConnectionEvents;
class GroupEntry;
class SavedArticle;
class ServerEntry;

// Number and message-id of the article a "223" reply to NEXT names.
struct ArticleReference {
    std::int64_t number = -1;
    std::string messageId;
};
// Nothing unless reply is a successful NEXT, LAST or STAT with a number.
std::optional<ArticleReference> parseNextReply(const NntpReply& reply);

// What the last reply to ARTICLE, HEAD, BODY, STAT or NEXT named, for the callers' check that
// it is the article they asked for: a server that answers with another one would otherwise
// have that article recorded under the wrong number or id.
struct ArticleReply {
    std::int64_t number = -1;  // -1 when the reply gave none
    std::string messageId;     // of the reply line; empty unless it was "<...>"
    std::string headerId;      // of the Message-ID header (HEAD, ARTICLE); empty likewise
};

class NNTPConnection {
  public:
    enum State : int { Ready = 0, Connected = 1, Closed = 2, Stopping = 3 };
    // Overview lines longer than this are cut (the rest is read and dropped).
    static constexpr std::size_t LongLineLimit = 64 * 1024;

    // How the server gives the overview of a range of articles.
    enum class Overview { Unknown, Over, Xover, None };

    // events: what the program makes of what happens; login: the run's, shared by its
    // connections.
    NNTPConnection(ConnectionEvents& events, RunLogin& login);
    NNTPConnection(const NNTPConnection&) = delete;
    NNTPConnection& operator=(const NNTPConnection&) = delete;

    void setServer(ServerEntry* server) { m_server = server; }
    ServerEntry* server() const { return m_server; }
    // How long a connect or the wait for one line may take (120 s by default).
    void setTimeout(std::chrono::milliseconds timeout) { m_stream.setTimeout(timeout); }
    // Whether COMPRESS DEFLATE is asked for where offered (from the next connect or login).
    void setCompression(bool wanted) { m_compressionWanted = wanted; }

    // 0 when a connection was opened (even if the greeting was refused), -1 without a
    // server, otherwise the errno of the failed connect. After the greeting: CAPABILITIES
    // (and MODE READER where the list asks for it), AUTHINFO when the server's flag says so
    // (then CAPABILITIES again), and COMPRESS DEFLATE when offered and the "Compress" setting
    // is on.
    [[nodiscard]] int connect();
    // Why the last connect failed, in words ("cannot resolve HOST: ...", "cannot connect to
    // HOST port N: connection refused"), where the message box gives only the number
    // ("failed (e=111)"); empty after a connect that succeeded or failed in TLS (that box
    // says why itself).
    const std::string& connectFailure() const { return m_connectFailure; }
    // Whether the last connect was refused in the greeting as a server does to a connection
    // beyond what the account allows (400, 403, 502, ...).
    bool busyRefused() const { return m_busyRefused; }
    // What a failed connect tells the user itself. Loud: a failed connect or a refused
    // greeting shows its box. BusyRefusalQuiet: as loud, but a busy refusal shows none (other
    // connections of the run are open, so it is the cap, not a failure). Quiet: no box, and a
    // refused ARTICLE is not logged; connectFailure then says why in every case, for a caller
    // that reports it its own way.
    enum class Reporting { Loud, BusyRefusalQuiet, Quiet };
    void setReporting(Reporting reporting) { m_reporting = reporting; }
    // The server's greeting line of the last connect; empty when none came.
    const std::string& greeting() const { return m_greeting; }
    // Sends text and returns its reply (Abandoned when not Ready: nothing sent). A 480 is
    // answered with the run's login and the command sent once more; the 480 stands when no
    // login was given or accepted. When text was sent ahead (sendAhead), its reply is read
    // instead; replies of commands sent ahead of it are read and dropped first.
    NntpReply sendCommand(std::string_view text);
    // Sends commands in one write without waiting for their replies (pipelining), so the
    // server works on them while this side is busy. Their replies are taken, in order, by the
    // sendCommand calls with the same texts (through fetchHead, fetchBody, nextArticle). A
    // command sent ahead that moves the article pointer (NEXT) is only ever dropped on the
    // way to one that sets it again (GROUP, or HEAD or BODY with a number). False when not
    // Ready.
    bool sendAhead(std::initializer_list<std::string_view> commands);
    bool sendAhead(std::span<const std::string> commands);
    // Commands sent ahead whose replies have not been taken yet.
    std::size_t commandsAhead() const { return m_ahead.size(); }
    // Whether a NEXT is among them: the server's article pointer then moves past the
    // article that is being read.
    bool nextAhead() const;
    // When the oldest command sent ahead is NEXT: reads its reply now (it is still taken by
    // the next nextArticle) and returns it; otherwise nothing.
    const NntpReply* answerNextAhead();
    // AUTHINFO USER (and PASS when asked) with the server's credentials; the last reply. On
    // success the capabilities are read again: a login may change them.
    NntpReply authenticate();
    // The last 480 stands because the server refused the login given (not because none was
    // given); cleared by connect().
    bool loginRefused() const { return m_loginRefused; }
    // GROUP: count, first and last go to the group's GroupStats, the group becomes current
    // (Active, InProgress). A "211" without count, first and last is a ProtocolError.
    NntpReply selectGroup(GroupEntry& group);
    // argument: an article number (or message-id); empty sends the command alone. Data that
    // ended without "." make the reply ConnectionLost.
    NntpReply fetchHead(std::string_view argument, SavedArticle& article);
    NntpReply fetchBody(std::string_view argument, SavedArticle& article);
    // ARTICLE: header (subject and lines read from it) and body into the article's text, as
    // HEAD and BODY together would.
    NntpReply fetchArticle(std::string_view argument, SavedArticle& article);
    NntpReply nextArticle(SavedArticle& article);
    // STAT: number and message-id into article; the server's article pointer moves there.
    NntpReply statArticle(std::string_view argument, SavedArticle& article);
    // What the last article reply (and the header it came with) named.
    const ArticleReply& lastArticle() const { return m_article; }

    // ---- overview and headers
    const Capabilities& capabilities() const { return m_capabilities; }
    Overview overview() const { return m_overview; }
    // The command that asks for the overview of first..last ("OVER", or "XOVER" where that
    // is the server's); empty when the server has none.
    std::string overviewCommand(std::int64_t first, std::int64_t last) const;
    // Asks for the overview of first..last; on a server that listed no capabilities XOVER is
    // tried once and what it answered remembered. Ok: the lines follow (readLongDataLine).
    [[nodiscard]] ReplyOutcome requestOverview(std::int64_t first, std::int64_t last);
    // The command that asks which articles of first..last exist ("LISTGROUP group range",
    // RFC 3977); empty where the server is not known to take a range.
    std::string listGroupCommand(std::string_view group, std::int64_t first,
                                 std::int64_t last) const;
    // Sends it (or takes its reply when it was sent ahead). Ok: the numbers follow
    // (readLongDataLine). A server that refuses it is not asked again on this connection.
    [[nodiscard]] ReplyOutcome requestListGroup(std::string_view group, std::int64_t first,
                                                std::int64_t last);
    // HDR name first-last where the server lists HDR. Ok: "number value" lines follow.
    [[nodiscard]] ReplyOutcome requestHeader(std::string_view name, std::int64_t first,
                                             std::int64_t last);
    // The next data line of the reply being read, whole however long (the first
    // LongLineLimit characters kept), un-stuffed; false at "." or at the end of the stream.
    [[nodiscard]] bool readLongDataLine(std::string& line);
    // Whether the last data reply ended without its "." (the connection is then closed).
    bool dataTruncated() const { return m_truncated; }
    // "LIST": hands each data line (un-stuffed) to onLine as it comes; ConnectionLost when
    // the listing was cut off.
    NntpReply listGroups(const std::function<void(std::string_view line)>& onLine);
    void quit();
    void abortClose();

    // From any thread: commands are refused from now on (a running data loop goes on until
    // its stop check throws).
    void setStopping() { m_state = Stopping; }
    // From any thread: makes a blocked connect or read fail at once.
    void cancel() { m_stream.cancel(); }

    int state() const { return m_state.load(); }
    // The reply to the last command (Abandoned when it was not sent).
    const NntpReply& lastReply() const { return m_reply; }
    GroupEntry* currentGroup() const { return m_currentGroup; }
    // For a connection that asks by message-id only (no GROUP): the group whose counters
    // (bytes, the article in progress) and log lines what it reads goes to.
    void countFor(GroupEntry* group) { m_currentGroup = group; }
    std::int64_t lineCounter() const { return m_lineCounter; }
    bool compressing() const { return m_stream.compressing(); }
    // The shortest time a command sent alone took to be answered on this connection (the
    // round trip plus the server's least work); 0 before the first.
    std::chrono::microseconds roundTrip() const { return m_roundTrip; }
    // Bytes received on the wire since the connect (compressed ones while compressing).
    std::uint64_t wireBytesReceived() const { return m_stream.wireBytesReceived(); }

    // The rate fields of the group monitor's sampler (another thread).
    std::atomic<std::int64_t> bytesReceived{-1};  // line bytes since the last sample
    std::atomic<std::int64_t> sampleStart{-1};    // seconds
    std::atomic<int> averageRate{-1};             // bytes per second; -1: no sample yet
    // Reads bytesReceived and sets it to 0 in one step, so no line's bytes are lost.
    std::int64_t takeBytesReceived() { return bytesReceived.exchange(0); }

  private:
    // A command sent ahead; its reply once it was read before the command was taken.
    struct Ahead {
        std::string command;
        std::optional<NntpReply> reply;
    };

    // sendAhead for either kind of list.
    template <typename Commands>
    bool sendAll(const Commands& commands);
    // Sends text and reads the reply, without the 480 handling.
    const NntpReply& exchange(std::string_view text);
    // Drops the replies of commands sent ahead of text; when text itself was sent ahead,
    // takes its reply and returns true.
    bool takeAhead(std::string_view text);
    // Reads and drops the reply (and its data lines) of the oldest command sent ahead.
    void dropAhead();
    // After 480: the run's login, asked of the user by the first reader to need it (without
    // holding AuthLock while the window is up). True when this connection is logged in.
    bool logIn();
    // The run's login as settled by another connection, or Asking for this one to ask.
    RunLogin::State awaitLogin();
    // Logs in with the server's credentials; on refusal the caller's 480 is put back.
    bool loginWithGiven();
    // Counts a line read and throws NNTPQuitException when the program exits or the worker
    // is told to stop (throwIfStopped, which counts nothing).
    void stopChecks();
    void throwIfStopped() const;
    bool stopRequested() const;
    // Reads one line, counts its bytes; false when the stream ended (the connection is then
    // closed). Socket failures close the connection and are thrown on.
    bool readLine(std::string_view& line);
    // Adds the bytes counted since the last call to the rate and group counters.
    void publishBytes();
    void readReply(NntpCommand command);
    // The reply of a data reply just read: ConnectionLost when its "." never came.
    NntpReply dataEnd();
    // CAPABILITIES into m_capabilities (nothing listed by a server that does not know it).
    void readCapabilities();
    // COMPRESS DEFLATE when offered, wanted and not on yet.
    void startCompression();
    // The part of fetchBody and fetchArticle after the header: the header saved, and the body
    // read when one follows.
    NntpReply readBody(SavedArticle& article, bool bodyFollows = true);
    // After a successful login: the capabilities read again, compression started if offered
    // now; the last reply stays the login's.
    void loggedIn();
    // The number and id of an article reply into m_article and article (the id only when
    // keepId).
    void takeArticleReply(SavedArticle& article, bool keepId);
    // A header line of HEAD or ARTICLE: subject, lines and Message-ID taken, the line kept.
    void takeHeaderLine(std::string_view line, SavedArticle& article);
    // The next data line, un-stuffed, viewing the stream's buffer until the next read; false
    // at "." or when the stream ended (m_truncated).
    bool readDataLine(std::string_view& line);
    // Appends to article, un-stuffed, the whole ordinary data lines already received (one
    // stop check for all of them, as none of them waits); stops before the "." line and
    // before any line the general reader must see (a bare CR, a line too long, one not
    // complete yet). Returns the number of lines taken.
    int takeReceivedLines(SavedArticle& article);
    // Closes the connection after a socket failure and throws: NNTPQuitException for a
    // cancelled call (a stop request), the SocketError itself otherwise.
    [[noreturn]] void streamFailed(const SocketError& error);
    void closeStream();
    // The message box text for a failed connect: the certificate refusal, the TLS failure,
    // or the errno.
    std::string connectFailureText(const std::string& host, int port, int error) const;
    void log(std::string_view line) const;

    ConnectionEvents& m_events;
    RunLogin& m_login;
    bool m_compressionWanted = false;
    ServerEntry* m_server = nullptr;
    bool m_loginRefused = false;
    std::atomic<int> m_state{Closed};
    GroupEntry* m_currentGroup = nullptr;
    TcpStream m_stream;
    std::int64_t m_lineCounter = 0;  // wide enough never to overflow
    NntpReply m_reply;
    std::string m_connectFailure;
    Reporting m_reporting = Reporting::Loud;
    std::string m_greeting;
    bool m_truncated = false;  // the last data reply ended without its "." line
    Capabilities m_capabilities;
    Overview m_overview = Overview::Unknown;
    bool m_listGroupRefused = false;  // LISTGROUP with a range was refused on this connection
    ArticleReply m_article;
    std::chrono::microseconds m_roundTrip{0};
    bool m_busyRefused = false;
    std::deque<Ahead> m_ahead;
    static constexpr std::size_t PublishBytes = 64 * 1024;
    std::size_t m_unpublishedBytes = 0;
};

}  // namespace qm
