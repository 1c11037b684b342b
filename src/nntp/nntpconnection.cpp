// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/nntpconnection.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <mutex>

#include "config/serverentry.h"
#include "config/threadcontext.h"
#include "decode/savedarticle.h"
#include "model/groupentry.h"
#include "model/locks.h"
#include "nntp/connectionevents.h"
#include "nntp/nntpquitexception.h"
#include "nntp/overviewline.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

// The authentication lines were built in a buffer of 256 bytes.
constexpr std::size_t MaxAuthLine = 255;

std::string_view nextToken(std::string_view& text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    std::size_t end = 0;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    std::string_view token = text.substr(0, end);
    text.remove_prefix(end);
    return token;
}

template <typename T>
bool parseDecimal(std::string_view token, T& value) {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    return ec == std::errc() && end == token.data() + token.size();
}

// "code number message-id": what the reply says, with only a token in angle brackets taken
// as an id ("220 5 article" gives none).
ArticleReply parseReplyReference(std::string_view line) {
    ArticleReply reply;
    nextToken(line);
    std::int64_t number = 0;
    if (parseDecimal(nextToken(line), number) && number >= 0) reply.number = number;
    const std::string_view id = nextToken(line);
    if (isMessageId(id)) reply.messageId = std::string(id);
    return reply;
}

bool startsWithNoCase(std::string_view line, std::string_view prefix) {
    if (line.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
    return true;
}

// The value of a Lines header as strtol reads it; 0 when it is not a number.
int linesValue(std::string_view rest) {
    while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front())))
        rest.remove_prefix(1);
    int value = 0;
    std::from_chars(rest.data(), rest.data() + rest.size(), value);
    return value;
}

// A credential may not end the command line early or add another one.
std::string authLine(std::string_view command, std::string_view value) {
    value = value.substr(0, value.find_first_of("\r\n"));
    std::string line = std::string(command) + " " + std::string(value);
    if (line.size() > MaxAuthLine) line.resize(MaxAuthLine);
    return line;
}

std::string withArgument(std::string_view command, std::string_view argument) {
    if (argument.empty()) return std::string(command);
    return std::string(command) + " " + std::string(argument);
}

}  // namespace

std::optional<ArticleReference> parseNextReply(const NntpReply& reply) {
    const NntpCommand command = reply.command();
    if (!reply.ok() || (command != NntpCommand::Next && command != NntpCommand::Last &&
                        command != NntpCommand::Stat))
        return std::nullopt;
    const ArticleReply named = parseReplyReference(reply.text());
    if (named.number < 0) return std::nullopt;
    return ArticleReference{named.number, named.messageId};
}

NNTPConnection::NNTPConnection(ConnectionEvents& events, RunLogin& login)
    : m_events(events), m_login(login) {
    m_stream.setStopPredicate([this] { return stopRequested(); });
}

void NNTPConnection::log(std::string_view line) const {
    m_events.log(line);
}

bool NNTPConnection::stopRequested() const {
    if (ProgramExiting.load()) return true;
    WorkerRecord* worker = ThreadContext::current().worker;
    return worker && worker->abortRequested();
}

void NNTPConnection::stopChecks() {
    ++m_lineCounter;
    throwIfStopped();
}

void NNTPConnection::throwIfStopped() const {
    if (ProgramExiting.load()) throw NNTPQuitException("Program exit", "");
    WorkerRecord* worker = ThreadContext::current().worker;
    if (worker && worker->abortRequested()) throw NNTPQuitException("Abort action.", "");
}

int NNTPConnection::connect() {
    m_busyRefused = false;
    if (!m_server) {
        log("Server not initialized");
        return -1;
    }
    const std::string host = m_server->host;
    const int port = m_server->port;
    TlsOptions tls;
    tls.enabled = m_server->secure();
    tls.pinnedSha256 = m_server->fingerprint;
    int error = m_stream.connect(host, port, tls);
    m_connectFailure.clear();
    m_greeting.clear();
    if (error == ECANCELED) stopChecks();
    if (error != 0) {
        // A TLS failure's box says it in words already; "failed (e=111)" does not.
        if (error != EPROTO && !m_stream.certificateRefusal())
            m_connectFailure = m_stream.lastReason();
        if (tls.enabled) log(m_stream.lastError());
        if (m_reporting != Reporting::Quiet)
            m_events.connectFailed(connectFailureText(host, port, error));
        else if (m_connectFailure.empty())
            m_connectFailure = connectFailureText(host, port, error);
        return error;
    }
    if (!m_stream.tlsDescription().empty()) log(m_stream.tlsDescription());
    m_roundTrip = 0us;
    m_loginRefused = false;
    m_state = Connected;
    m_currentGroup = nullptr;
    stopChecks();
    readReply(NntpCommand::Greeting);
    m_greeting = m_reply.text();
    if (m_reply.ok()) {
        m_state = Ready;
    } else {
        // What a server says to a connection beyond what the account allows.
        m_busyRefused = m_reply.is(ReplyOutcome::Unavailable) || m_reply.is(ReplyOutcome::Refused);
        const std::string said = m_reply.text();
        if (m_reporting == Reporting::Quiet)
            m_connectFailure = "the server said: " + said;
        else if (!m_busyRefused || m_reporting == Reporting::Loud)
            m_events.greetingRefused(said);
        abortClose();
    }
    if (m_state != Ready) return 0;
    readCapabilities();
    if (m_capabilities.modeReader && !m_capabilities.reader) {
        // A server that starts in transit mode reads news only after MODE READER, and may
        // list other capabilities then.
        if (exchange("MODE READER").ok()) readCapabilities();
    }
    // Only a server that said hello can refuse the login; a busy one must not clear the flag.
    if (m_state == Ready && m_server->authFlag() == 1 && !authenticate().ok()) {
        m_server->setAuthFlag(0);
        m_loginRefused = true;  // what a later 480 says, unless another login is accepted
    }
    startCompression();
    return 0;
}

void NNTPConnection::readCapabilities() {
    m_capabilities = Capabilities{};
    m_overview = Overview::Unknown;
    m_listGroupRefused = false;
    // Without the 480 handling: a server that wants a login before it lists anything is
    // asked again after the login, and no prompt comes up only to connect.
    if (!exchange("CAPABILITIES").ok()) return;
    m_capabilities.listed = true;
    m_truncated = false;
    std::string_view line;
    while (readDataLine(line)) m_capabilities.addLine(line);
    // A server that lists what it can do and no OVER has no overview.
    m_overview = m_capabilities.over ? Overview::Over : Overview::None;
}

void NNTPConnection::startCompression() {
    if (m_state != Ready || !m_compressionWanted || !m_capabilities.compressDeflate ||
        m_stream.compressing())
        return;
    if (exchange("COMPRESS DEFLATE").ok()) m_stream.startCompression();
}

std::string NNTPConnection::connectFailureText(const std::string& host, int port, int error) const {
    if (const auto& refusal = m_stream.certificateRefusal()) {
        std::string text = "The certificate of server " + host + "(" + std::to_string(port) +
                           ") was refused: " + refusal->reason + ".";
        if (!refusal->fingerprint.empty())
            text += "\r\nIts SHA-256 fingerprint is " + refusal->fingerprint +
                    ".\r\nIf you know this to be the server's own certificate, store this "
                    "fingerprint with the server to trust it for this server only.";
        return text;
    }
    // A TLS failure has no useful errno; the stream says what went wrong.
    if (error == EPROTO) return m_stream.lastError();
    char text[512];
    std::snprintf(text, sizeof text, "Connection to server %s(%d) failed (e=%d)", host.c_str(),
                  port, error);
    // The number alone tells a user nothing: the reason follows in words.
    std::string reason = m_stream.lastReason();
    if (reason.empty()) return text;
    reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
    return std::string(text) + "\r\n" + reason + ".";
}

bool NNTPConnection::readLine(std::string_view& line) {
    if (m_state == Closed) return false;
    bool got = false;
    try {
        got = m_stream.readLine(line);
    } catch (const SocketError& e) {
        streamFailed(e);
    }
    if (!got) {
        // The server went away: nothing more can come on this connection.
        closeStream();
        return false;
    }
    // Counted here, published in blocks: two shared counters touched for every line of a
    // body would cost more than reading it.
    m_unpublishedBytes += line.size();
    if (m_unpublishedBytes >= PublishBytes) publishBytes();
    return true;
}

void NNTPConnection::publishBytes() {
    const auto bytes = static_cast<std::int64_t>(m_unpublishedBytes);
    m_unpublishedBytes = 0;
    if (bytes == 0) return;
    bytesReceived += bytes;
    m_events.bytesReceived(m_currentGroup, bytes);
}

void NNTPConnection::readReply(NntpCommand command) {
    std::string_view line;
    const bool got = m_state != Closed && readLine(line);
    publishBytes();
    m_reply = classifyReply(command, got ? std::string(line) : std::string());
}

bool NNTPConnection::readDataLine(std::string_view& line) {
    stopChecks();
    if (!readLine(line)) {
        m_truncated = true;
        publishBytes();
        return false;
    }
    if (line == ".") {
        publishBytes();
        return false;
    }
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.remove_prefix(1);
    return true;
}

int NNTPConnection::takeReceivedLines(SavedArticle& article) {
    const std::string_view data = m_stream.buffered();
    if (data.empty()) return 0;
    throwIfStopped();
    std::size_t used = 0;
    std::size_t bytes = 0;
    int lines = 0;
    std::string_view line;
    while (const std::size_t taken = TcpStream::takePlainLine(data.substr(used), line)) {
        if (line == ".") break;  // the end of the data: readDataLine takes it
        bytes += line.size();    // as received, a stuffed dot included
        if (line.starts_with("..")) line.remove_prefix(1);
        article.appendLine(line);
        ++lines;
        used += taken;
    }
    m_stream.consume(used);
    m_lineCounter += lines;
    m_unpublishedBytes += bytes;
    if (m_unpublishedBytes >= PublishBytes) publishBytes();
    return lines;
}

const NntpReply& NNTPConnection::exchange(std::string_view text) {
    if (m_state != Ready) {
        m_reply = NntpReply();
        return m_reply;
    }
    try {
        m_stream.writeLine(text);
        m_stream.flush();
    } catch (const SocketError& e) {
        streamFailed(e);
    }
    ++m_lineCounter;
    stopChecks();
    const auto sent = std::chrono::steady_clock::now();
    readReply(commandOf(text));
    if (!m_reply.is(ReplyOutcome::ConnectionLost) && m_ahead.empty()) {
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - sent);
        if (m_roundTrip.count() == 0 || took < m_roundTrip) m_roundTrip = std::max(took, 1us);
    }
    return m_reply;
}

template <typename Commands>
bool NNTPConnection::sendAll(const Commands& commands) {
    if (m_state != Ready) return false;
    try {
        for (std::string_view command : commands) m_stream.writeLine(command);
        m_stream.flush();
    } catch (const SocketError& e) {
        streamFailed(e);
    }
    for (std::string_view command : commands)
        m_ahead.push_back({std::string(command), std::nullopt});
    return true;
}

bool NNTPConnection::sendAhead(std::initializer_list<std::string_view> commands) {
    return sendAll(commands);
}

bool NNTPConnection::sendAhead(std::span<const std::string> commands) {
    return sendAll(commands);
}

bool NNTPConnection::nextAhead() const {
    for (const Ahead& ahead : m_ahead)
        if (ahead.command == "NEXT") return true;
    return false;
}

const NntpReply* NNTPConnection::answerNextAhead() {
    if (m_ahead.empty() || m_ahead.front().command != "NEXT") return nullptr;
    Ahead& next = m_ahead.front();
    if (!next.reply) {
        stopChecks();
        readReply(NntpCommand::Next);
        // The connection is gone (and m_ahead with it).
        if (m_reply.is(ReplyOutcome::ConnectionLost)) return nullptr;
        next.reply = m_reply;
    }
    return &*next.reply;
}

void NNTPConnection::dropAhead() {
    Ahead dropped = std::move(m_ahead.front());
    m_ahead.pop_front();
    if (dropped.reply) return;
    stopChecks();
    readReply(commandOf(dropped.command));
    if (!m_reply.hasData()) return;
    m_truncated = false;
    std::string_view line;
    while (readDataLine(line)) {
    }
}

bool NNTPConnection::takeAhead(std::string_view text) {
    while (!m_ahead.empty() && m_ahead.front().command != text) dropAhead();
    if (m_ahead.empty()) return false;
    Ahead taken = std::move(m_ahead.front());
    m_ahead.pop_front();
    ++m_lineCounter;
    if (taken.reply) {
        m_reply = std::move(*taken.reply);
    } else {
        stopChecks();
        readReply(commandOf(text));
    }
    return true;
}

NntpReply NNTPConnection::sendCommand(std::string_view text) {
    // One login, then the command once more: a 480 after a login just accepted stands, or
    // the two would go round for ever.
    for (bool loggedIn = false;; loggedIn = true) {
        std::vector<std::string> behind;
        if (!takeAhead(text)) {
            exchange(text);
        } else if (m_reply.is(ReplyOutcome::AuthRequired)) {
            // The commands sent behind it were refused too: they go again after the login.
            while (!m_ahead.empty()) {
                behind.push_back(m_ahead.front().command);
                dropAhead();
            }
        }
        if (!m_reply.is(ReplyOutcome::AuthRequired) || loggedIn || !logIn()) return m_reply;
        if (!behind.empty()) {
            // Sent again together, as they were the first time: one by one, each would cost
            // a round trip of its own.
            behind.insert(behind.begin(), std::string(text));
            sendAhead(behind);
        }
    }
}

void RunLogin::reset() {
    std::lock_guard lock(AuthLock);
    state = State::NotAsked;
}

RunLogin::State NNTPConnection::awaitLogin() {
    using Login = RunLogin::State;
    std::unique_lock lock(AuthLock);
    // Another reader has the prompt up: its answer is this one's too. The wait releases the
    // lock, and looks at the stop flags now and then, as every wait of a reader does.
    while (m_login.state == Login::Asking) {
        m_login.settled.wait_for(lock, std::chrono::milliseconds(100));
        throwIfStopped();
    }
    if (m_login.state != Login::NotAsked) return m_login.state;
    m_login.state = Login::Asking;
    return Login::Asking;
}

bool NNTPConnection::loginWithGiven() {
    const NntpReply refusal = m_reply;
    if (authenticate().ok()) {
        m_loginRefused = false;
        return true;
    }
    // The caller sees the reply to its own command, not the login's.
    m_reply = refusal;
    m_loginRefused = true;
    return false;
}

bool NNTPConnection::logIn() {
    using Login = RunLogin::State;
    const Login login = awaitLogin();
    if (login == Login::Declined) return false;
    if (login == Login::Refused) {
        m_loginRefused = true;
        return false;
    }
    if (login == Login::Asking) {
        // This reader asks; the others wait for the answer (awaitLogin). Settled however
        // this ends, so that none of them waits for ever.
        Login outcome = Login::NotAsked;
        struct Settle {
            RunLogin& login;
            Login& outcome;
            ~Settle() {
                {
                    std::lock_guard lock(AuthLock);
                    login.state = outcome;
                }
                login.settled.notify_all();
            }
        } settle{m_login, outcome};
        m_server->setAuthFlag(0);
        // AuthLock is not held here: the window may take as long as the user does.
        auto answer = m_events.askCredentials(m_server->host, m_server->credentials());
        if (!answer) {
            outcome = Login::Declined;
            return false;
        }
        m_server->setCredentials(*answer);
        outcome = Login::Given;  // should this connection fail, the others still try it
        if (!loginWithGiven()) {
            outcome = Login::Refused;
            return false;
        }
        m_server->setAuthFlag(1);
        return true;
    }
    return loginWithGiven();  // Given: this connection logs in with another reader's answer
}

NntpReply NNTPConnection::authenticate() {
    // Without the 480 handling: a server that answered AUTHINFO with 480 would otherwise
    // make this thread wait for AuthLock, which it may already hold.
    Credentials credentials = m_server->credentials();
    exchange(authLine("AUTHINFO USER", credentials.user));
    if (m_reply.is(ReplyOutcome::MoreNeeded))
        exchange(authLine("AUTHINFO PASS", credentials.password));
    if (m_reply.ok()) loggedIn();
    return m_reply;
}

void NNTPConnection::loggedIn() {
    m_server->setLoginAccepted();
    // What a server offers may change with the login (RFC 4643 2.2): the reply is kept for
    // the caller.
    const NntpReply reply = m_reply;
    readCapabilities();
    startCompression();
    m_reply = reply;
}

NntpReply NNTPConnection::selectGroup(GroupEntry& group) {
    // Nothing can be asked (cut, stopping): the last command's reply is no refusal of this.
    if (m_state != Ready) return NntpReply();
    const NntpReply reply = sendCommand("GROUP " + group.name());
    log(reply.text());
    // No answer (cut or stopping) is no refusal.
    if (reply.is(ReplyOutcome::ConnectionLost)) return reply;
    if (!reply.ok()) {
        m_events.groupRefused(group);
        return reply;
    }
    std::string_view rest = reply.text();
    std::int64_t values[4] = {};
    for (std::int64_t& value : values)
        if (!parseDecimal(nextToken(rest), value)) return reply.malformed();
    m_currentGroup = &group;
    m_events.groupSelected(group, values[1], values[2], values[3]);
    return reply;
}

void NNTPConnection::takeArticleReply(SavedArticle& article, bool keepId) {
    m_article = parseReplyReference(m_reply.text());
    // An article asked for by message-id comes as number 0 (RFC 3977): the number the caller
    // gave it stays, and names its saved file.
    if (m_article.number > 0) article.number = m_article.number;
    // A reply without an id leaves none: the last article's would make this one a duplicate.
    if (keepId) article.messageId = m_article.messageId;
}

void NNTPConnection::takeHeaderLine(std::string_view line, SavedArticle& article) {
    if (startsWithNoCase(line, "subject:")) {
        article.setSubject(std::string(line.substr(8)));
    } else if (startsWithNoCase(line, "lines:")) {
        article.lines = linesValue(line.substr(6));
    } else if (startsWithNoCase(line, "message-id:") && m_article.headerId.empty()) {
        std::string_view rest = line.substr(11);
        const std::string_view id = nextToken(rest);
        if (isMessageId(id)) m_article.headerId = std::string(id);
    }
    article.header.append(line);
    article.header.push_back('\n');
}

NntpReply NNTPConnection::fetchHead(std::string_view argument, SavedArticle& article) {
    article.header.clear();
    if (!sendCommand(withArgument("HEAD", argument)).ok()) {
        log(m_reply.text());
        return m_reply;
    }
    takeArticleReply(article, true);
    m_truncated = false;
    std::string_view line;
    while (readDataLine(line)) takeHeaderLine(line, article);
    if (article.messageId.empty()) article.messageId = m_article.headerId;
    return dataEnd();
}

NntpReply NNTPConnection::fetchBody(std::string_view argument, SavedArticle& article) {
    if (!sendCommand(withArgument("BODY", argument)).ok()) {
        log(m_reply.text());
        return m_reply;
    }
    takeArticleReply(article, false);
    m_truncated = false;
    return readBody(article);
}

NntpReply NNTPConnection::fetchArticle(std::string_view argument, SavedArticle& article) {
    article.header.clear();
    if (!sendCommand(withArgument("ARTICLE", argument)).ok()) {
        if (m_reporting != Reporting::Quiet) log(m_reply.text());
        return m_reply;
    }
    takeArticleReply(article, true);
    m_truncated = false;
    std::string_view line;
    bool body = false;
    while (!body && readDataLine(line)) {
        body = line.empty();  // the line between header and body
        if (!body) takeHeaderLine(line, article);
    }
    if (m_truncated) return dataEnd();
    if (article.messageId.empty()) article.messageId = m_article.headerId;
    return readBody(article, body);
}

NntpReply NNTPConnection::dataEnd() {
    if (m_truncated) m_reply = m_reply.cutShort();
    return m_reply;
}

NntpReply NNTPConnection::readBody(SavedArticle& article, bool bodyFollows) {
    if (m_events.openArticle(m_currentGroup, article)) {
        article.append(article.header);
        article.append("\n");
        ++article.lineCount;
    }
    std::string_view line;
    while (bodyFollows) {
        // The monitor reads the count while the body arrives; a store per receive is
        // enough for it.
        article.lineCount += takeReceivedLines(article);
        if (!readDataLine(line)) break;
        article.appendLine(line);
        article.lineCount += 1;
    }
    if (m_truncated) {
        // Half a body decoded would be kept as a finished article and never fetched again.
        article.discard();
        return dataEnd();
    }
    article.finish();
    return m_reply;
}

NntpReply NNTPConnection::nextArticle(SavedArticle& article) {
    const NntpReply reply = m_state == Ready ? sendCommand("NEXT") : NntpReply();
    if (reply.ok()) takeArticleReply(article, true);
    if (m_currentGroup) m_events.nextAnswered(*m_currentGroup, reply, article);
    return reply;
}

NntpReply NNTPConnection::statArticle(std::string_view argument, SavedArticle& article) {
    const NntpReply reply = sendCommand(withArgument("STAT", argument));
    if (reply.ok()) takeArticleReply(article, true);
    return reply;
}

std::string NNTPConnection::overviewCommand(std::int64_t first, std::int64_t last) const {
    const char* command = m_overview == Overview::Over ? "OVER " : "XOVER ";
    if (m_overview == Overview::None) return {};
    return command + std::to_string(first) + "-" + std::to_string(last);
}

ReplyOutcome NNTPConnection::requestOverview(std::int64_t first, std::int64_t last) {
    if (m_overview == Overview::None) return ReplyOutcome::Unsupported;
    const ReplyOutcome result = sendCommand(overviewCommand(first, last)).outcome();
    if (m_overview == Overview::Unknown) {
        // XOVER tried once: a server that does not know it answers 500 (or 501).
        if (result == ReplyOutcome::Unsupported || result == ReplyOutcome::ProtocolError)
            m_overview = Overview::None;
        else if (result == ReplyOutcome::Ok || result == ReplyOutcome::NoSuchArticle)
            m_overview = Overview::Xover;
    }
    m_truncated = false;
    return result;
}

std::string NNTPConnection::listGroupCommand(std::string_view group, std::int64_t first,
                                             std::int64_t last) const {
    // Only an RFC 3977 reader takes a range: an older LISTGROUP would list the whole group.
    if (m_listGroupRefused || !m_capabilities.listed || !m_capabilities.reader) return {};
    return "LISTGROUP " + std::string(group) + " " + std::to_string(first) + "-" +
           std::to_string(last);
}

ReplyOutcome NNTPConnection::requestListGroup(std::string_view group, std::int64_t first,
                                              std::int64_t last) {
    const std::string command = listGroupCommand(group, first, last);
    if (command.empty()) return ReplyOutcome::Unsupported;
    const ReplyOutcome result = sendCommand(command).outcome();
    m_truncated = false;
    if (result == ReplyOutcome::Unsupported) m_listGroupRefused = true;
    return result;
}

ReplyOutcome NNTPConnection::requestHeader(std::string_view name, std::int64_t first,
                                           std::int64_t last) {
    if (!m_capabilities.hdr) return ReplyOutcome::Unsupported;
    const ReplyOutcome result = sendCommand("HDR " + std::string(name) + " " +
                                            std::to_string(first) + "-" + std::to_string(last))
                                    .outcome();
    m_truncated = false;
    return result;
}

bool NNTPConnection::readLongDataLine(std::string& line) {
    stopChecks();
    bool got = false;
    if (m_state != Closed) {
        try {
            got = m_stream.readLongLine(line, LongLineLimit);
        } catch (const SocketError& e) {
            streamFailed(e);
        }
    }
    if (!got) {
        closeStream();
        m_truncated = true;
        publishBytes();
        return false;
    }
    m_unpublishedBytes += line.size();
    if (line == ".") {
        publishBytes();
        return false;
    }
    if (line.starts_with("..")) line.erase(0, 1);
    if (m_unpublishedBytes >= PublishBytes) publishBytes();
    return true;
}

NntpReply NNTPConnection::listGroups(const std::function<void(std::string_view line)>& onLine) {
    if (m_state != Ready) return NntpReply();
    sendCommand("LIST");
    const std::string host = m_server ? m_server->host : std::string();
    log("Sent LIST command to " + host);
    if (!m_reply.ok()) {
        log(m_reply.text());
        return m_reply;
    }
    log("....retrieving LIST of groups...");
    m_truncated = false;
    std::string_view line;
    while (readDataLine(line)) onLine(line);
    return dataEnd();
}

void NNTPConnection::quit() {
    m_ahead.clear();  // the connection ends: nothing sent ahead is wanted any more
    sendCommand("QUIT");
    m_stream.close();
    m_state = Closed;
    m_currentGroup = nullptr;
}

void NNTPConnection::abortClose() {
    closeStream();
    bytesReceived = -1;
    sampleStart = -1;
    averageRate = -1;
    m_reply = NntpReply();
}

void NNTPConnection::streamFailed(const SocketError& error) {
    closeStream();
    // A cancelled read or write is a stop request; say so the way every stop is said.
    if (error.code() == ECANCELED) {
        stopChecks();
        throw NNTPQuitException("Abort action.", "");
    }
    throw error;
}

void NNTPConnection::closeStream() {
    m_ahead.clear();
    m_stream.close();
    m_state = Closed;
    m_currentGroup = nullptr;
}

}  // namespace qm
