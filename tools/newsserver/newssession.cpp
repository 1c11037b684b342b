// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/newssession.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <iterator>
#include <limits>

namespace qm::newsd {
namespace {

constexpr std::size_t OutputChunk = 64 * 1024;

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Splits "WORD rest" into the word and the trimmed rest.
std::pair<std::string_view, std::string_view> splitWord(std::string_view line) {
    line = trimBlanks(line);
    auto blank = line.find_first_of(" \t");
    if (blank == std::string_view::npos) return {line, {}};
    return {line.substr(0, blank), trimBlanks(line.substr(blank))};
}

std::optional<std::uint64_t> parseArticleNumber(std::string_view s) {
    std::uint64_t n = 0;
    if (s.empty() || s.size() > 20 || !std::isdigit(static_cast<unsigned char>(s[0])))
        return std::nullopt;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return n;
}

std::string n2s(std::uint64_t n) {
    return std::to_string(n);
}

// The index-th made-up group: a hierarchy and a few words of varied length from a generator
// seeded by the index (names of one shape would all land in one bucket of a byte-sum hash),
// then the index itself, so that every name is distinct and the list the same every time.
std::string syntheticGroupName(std::uint64_t index) {
    static const char* const Tops[] = {"alt", "comp", "rec", "sci", "news", "misc"};
    std::uint64_t state = index * 6364136223846793005u + 1442695040888963407u;
    auto next = [&state] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<unsigned>(state >> 33);
    };
    std::string name = Tops[next() % std::size(Tops)];
    for (unsigned w = 0, words = 2 + next() % 3; w < words; ++w) {
        name += '.';
        for (unsigned c = 0, length = 2 + next() % 9; c < length; ++c)
            name += static_cast<char>('a' + next() % 26);
    }
    return name + "." + n2s(index);
}

}  // namespace

NewsSession::NewsSession(int fd, int connection, const NewsServerOptions& options,
                         const Spool& spool, SessionHost& host)
    : m_connection(connection), m_options(options), m_spool(spool), m_host(host), m_wire(fd) {}

void NewsSession::run() {
    const int code = m_options.greetingCode;
    reply(n2s(code) +
          (code == 200 || code == 201 ? " qmere-newsd ready" : " qmere-newsd unavailable"));
    if (!m_wire.flush()) return;
    std::string line;
    bool tooLong = false;
    while (m_wire.readLine(line, tooLong, MaxCommandLength)) {
        m_host.recordCommand(m_connection, line);
        ++m_commands;
        // Silent: keep reading so the client's writes succeed, but never answer.
        if (m_options.silentAfter && m_commands > *m_options.silentAfter) continue;
        Next next = tooLong ? (reply("501 Line too long"), Next::Continue) : handle(line);
        if (!m_wire.flush() || next == Next::Close) break;
    }
}

bool NewsSession::authorised(std::string_view command) const {
    if (!m_options.authUser || m_authenticated) return true;
    if (m_options.loginAfter && m_commands <= *m_options.loginAfter) return true;
    return command == "AUTHINFO" || command == "QUIT" || command == "MODE" ||
           command == "CAPABILITIES";
}

NewsSession::Next NewsSession::handle(std::string_view line) {
    auto [word, args] = splitWord(line);
    const std::string command = upper(word);
    if (!authorised(command)) {
        reply("480 Authentication required");
        return Next::Continue;
    }
    if (Handler handler = extension(command)) return (this->*handler)(args);
    if (command == "GROUP") return group(args);
    if (command == "LISTGROUP") return listGroup(args);
    if (command == "ARTICLE") return retrieve(Retrieve::Article, args);
    if (command == "HEAD") return retrieve(Retrieve::Head, args);
    if (command == "BODY") return retrieve(Retrieve::Body, args);
    if (command == "STAT") return retrieve(Retrieve::Stat, args);
    if (command == "NEXT") return step(true);
    if (command == "LAST") return step(false);
    if (command == "LIST") return list(args);
    if (command == "AUTHINFO") return authinfo(args);
    if (command == "MODE") {
        reply(upper(args) == "READER" ? "200 Reader mode" : "501 Unknown MODE variant");
        return Next::Continue;
    }
    if (command == "QUIT") {
        reply("205 Bye");
        return Next::Close;
    }
    reply("500 Unknown command");
    return Next::Continue;
}

NewsSession::Handler NewsSession::extension(std::string_view command) const {
    if (command == "CAPABILITIES" && !m_options.noCapabilities) return &NewsSession::capabilities;
    if (command == "COMPRESS" && !m_options.noCompress) return &NewsSession::compress;
    if (m_options.noOverview) return nullptr;
    if (command == "OVER" || command == "XOVER") return &NewsSession::over;
    if (command == "HDR") return &NewsSession::hdr;
    if (command == "XHDR") return &NewsSession::xhdr;
    return nullptr;
}

bool NewsSession::enterGroup(std::string_view name) {
    auto numbers = m_spool.scanGroup(name);
    if (!numbers) {
        reply("411 No such newsgroup");
        return false;
    }
    if (m_options.hideAbove)
        std::erase_if(*numbers, [&](std::uint64_t n) { return n > *m_options.hideAbove; });
    m_group = std::string(name);
    m_numbers = std::move(*numbers);
    m_current.reset();
    if (!m_numbers.empty()) m_current = m_numbers.front();
    return true;
}

std::string NewsSession::groupSummary() const {
    const std::uint64_t first = m_numbers.empty() ? 1 : m_numbers.front();
    const std::uint64_t last = m_numbers.empty() ? 0 : m_numbers.back();
    return "211 " + n2s(m_numbers.size()) + " " + n2s(first) + " " + n2s(last);
}

NewsSession::Next NewsSession::group(std::string_view args) {
    if (!enterGroup(args)) return Next::Continue;
    std::string line = groupSummary();
    if (!m_options.threeNumberGroup) line += " " + m_group;
    reply(line);
    return Next::Continue;
}

NewsSession::Next NewsSession::listGroup(std::string_view args) {
    if (m_options.noListGroup) {
        reply("500 Unknown command");
        return Next::Continue;
    }
    auto [name, range] = splitWord(args);
    if (!name.empty() && !enterGroup(name)) return Next::Continue;
    if (m_group.empty()) {
        reply("412 No newsgroup selected");
        return Next::Continue;
    }
    std::uint64_t first = 0, last = std::numeric_limits<std::uint64_t>::max();
    if (!range.empty()) {
        const auto dash = range.find('-');
        const auto from = parseArticleNumber(range.substr(0, dash));
        auto to = from;
        if (dash != std::string_view::npos)
            to = dash + 1 == range.size() ? last : parseArticleNumber(range.substr(dash + 1));
        if (!from || !to) {
            reply("501 Syntax error");
            return Next::Continue;
        }
        first = *from;
        last = *to;
    }
    reply(groupSummary() + " " + m_group + " list follows");
    // A server that lists from its overview does not know the lagging articles either.
    const std::size_t shown =
        m_numbers.size() - std::min<std::size_t>(m_numbers.size(), m_options.overLag);
    for (std::size_t i = 0; i < shown; ++i)
        if (m_numbers[i] >= first && m_numbers[i] <= last && !dataLine(n2s(m_numbers[i])))
            return Next::Close;
    return endData() ? Next::Continue : Next::Close;
}

std::optional<NewsSession::Target> NewsSession::resolve(std::string_view args) {
    if (!args.empty() && args.front() == '<') {
        auto found = args.back() == '>' ? m_spool.findMessageId(args, m_group) : std::nullopt;
        if (!found) {
            reply(args.back() == '>' ? "430 No article with that message-id" : "501 Syntax error");
            return std::nullopt;
        }
        return Target{found->group, found->number, true};
    }
    std::optional<std::uint64_t> number;
    if (!args.empty()) {
        number = parseArticleNumber(args);
        if (!number) {
            reply("501 Syntax error");
            return std::nullopt;
        }
    }
    if (m_group.empty()) {
        reply("412 No newsgroup selected");
        return std::nullopt;
    }
    if (!number && !m_current) {
        reply("420 Current article number is invalid");
        return std::nullopt;
    }
    return Target{m_group, number ? *number : *m_current, false};
}

NewsSession::Next NewsSession::retrieve(Retrieve kind, std::string_view args) {
    auto target = resolve(args);
    if (!target) return Next::Continue;
    // The header is refused with the article: HEAD and ARTICLE alike.
    bool refused = (kind == Retrieve::Head || kind == Retrieve::Article) &&
                   m_options.refuseHead == target->number;
    refused = refused || (!target->byMessageId && m_options.hideAbove &&
                          target->number > *m_options.hideAbove);
    refused =
        refused || std::ranges::find(m_options.missing, target->number) != m_options.missing.end();
    auto article = refused ? nullptr : m_spool.readArticle(target->group, target->number);
    if (!article) {
        reply(target->byMessageId ? "430 No article with that message-id"
                                  : "423 No article with that number");
        return Next::Continue;
    }
    if (target->byMessageId) return sendArticle(kind, 0, article->messageId, *article);
    m_current = target->number;
    return answerFor(kind, *target, *article);
}

NewsSession::Next NewsSession::answerFor(Retrieve kind, const Target& target,
                                         const SpoolArticle& article) {
    const std::uint64_t n = target.number;
    const bool wrongNumber = m_options.wrongNumber == n;
    const bool wrongId = m_options.wrongId == n;
    const bool wrongHeader = m_options.wrongHeader == n;
    if (!wrongNumber && !wrongId && !wrongHeader)
        return sendArticle(kind, n, article.messageId, article);
    // The next article of the group stands in for this one.
    const auto after = std::upper_bound(m_numbers.begin(), m_numbers.end(), n);
    auto other = after == m_numbers.end() ? nullptr : m_spool.readArticle(target.group, *after);
    if (!other) return sendArticle(kind, n, article.messageId, article);
    if (wrongNumber) return sendArticle(kind, *after, other->messageId, *other);
    return sendArticle(kind, n, wrongId ? other->messageId : article.messageId, *other);
}

NewsSession::Next NewsSession::sendArticle(Retrieve kind, std::uint64_t shown, std::string_view id,
                                           const SpoolArticle& article) {
    static constexpr const char* Codes[] = {"220 ", "221 ", "222 ", "223 "};
    reply(Codes[static_cast<int>(kind)] + n2s(shown) + " " +
          std::string(m_options.bareIds ? "article" : id));
    if (kind == Retrieve::Stat) return Next::Continue;
    const bool header = kind != Retrieve::Body;
    const bool body = kind != Retrieve::Head;
    // Faults that act between lines need the reply line by line.
    if (m_options.lineDelayMs > 0 || (body && m_options.cutBodyAfter)) {
        if (header && sendLines(article.header, false) == Next::Close) return Next::Close;
        if (kind == Retrieve::Article && !dataLine("")) return Next::Close;
        m_bodyLinesSent = 0;
        if (body && sendLines(article.body, true) == Next::Close) return Next::Close;
        return endData() ? Next::Continue : Next::Close;
    }
    // No fault acts between lines: the reply leaves in as few sends as the socket takes.
    std::string_view blocks[4];
    std::size_t count = 0;
    if (header) blocks[count++] = article.header;
    if (kind == Retrieve::Article) blocks[count++] = "\r\n";
    if (body) blocks[count++] = article.body;
    blocks[count++] = ".\r\n";
    return m_wire.send(std::span(blocks, count)) ? Next::Continue : Next::Close;
}

NewsSession::Next NewsSession::sendLines(std::string_view lines, bool countsAsBody) {
    while (!lines.empty()) {
        if (countsAsBody && m_options.cutBodyAfter && m_bodyLinesSent >= *m_options.cutBodyAfter) {
            m_wire.flush();
            return Next::Close;
        }
        // Every prepared line ends with "\r\n" and holds no other "\n".
        const std::size_t end = lines.find('\n');
        const std::size_t length = end == std::string_view::npos ? lines.size() : end + 1;
        if (!preparedLine(lines.substr(0, length))) return Next::Close;
        lines.remove_prefix(length);
        if (countsAsBody) ++m_bodyLinesSent;
    }
    return Next::Continue;
}

NewsSession::Next NewsSession::step(bool forward) {
    if (m_group.empty()) {
        reply("412 No newsgroup selected");
        return Next::Continue;
    }
    if (!m_current) {
        reply("420 Current article number is invalid");
        return Next::Continue;
    }
    std::optional<std::uint64_t> found;
    if (forward) {
        auto it = std::upper_bound(m_numbers.begin(), m_numbers.end(), *m_current);
        if (it != m_numbers.end()) found = *it;
    } else {
        auto it = std::lower_bound(m_numbers.begin(), m_numbers.end(), *m_current);
        if (it != m_numbers.begin()) found = *std::prev(it);
    }
    auto article = found ? m_spool.readArticle(m_group, *found) : nullptr;
    if (!article) {
        reply(forward ? "421 No next article" : "422 No previous article");
        return Next::Continue;
    }
    m_current = found;
    reply("223 " + n2s(*found) + " " + (m_options.bareIds ? "article" : article->messageId));
    return Next::Continue;
}

NewsSession::Next NewsSession::list(std::string_view args) {
    auto [keyword, pattern] = splitWord(args);
    const std::string which = upper(keyword);
    if (!m_options.noOverview && which == "OVERVIEW.FMT") return listOverviewFormat();
    if (!m_options.noOverview && which == "HEADERS") return listHeaders();
    if (!which.empty() && which != "ACTIVE") {
        reply("501 Unknown LIST keyword");
        return Next::Continue;
    }
    if (m_options.refuseList) {
        reply(std::to_string(*m_options.refuseList) + " LIST refused");
        return Next::Continue;
    }
    reply("215 List of newsgroups follows");
    const std::string wildmat(pattern);
    std::uint64_t sent = 0;
    for (const std::string& name : m_spool.groupNames()) {
        if (m_options.cutListAfter && sent++ >= *m_options.cutListAfter) {
            m_wire.flush();
            return Next::Close;
        }
        if (!wildmat.empty() && fnmatch(wildmat.c_str(), name.c_str(), 0) != 0) continue;
        auto numbers = m_spool.scanGroup(name);
        if (!numbers) continue;
        std::uint64_t first = numbers->empty() ? 1 : numbers->front();
        std::uint64_t last = numbers->empty() ? 0 : numbers->back();
        if (!dataLine(name + " " + n2s(last) + " " + n2s(first) + " y")) return Next::Close;
    }
    for (std::uint64_t i = 0; i < m_options.syntheticGroups; ++i) {
        const std::string name = syntheticGroupName(i);
        if (!wildmat.empty() && fnmatch(wildmat.c_str(), name.c_str(), 0) != 0) continue;
        if (!dataLine(name + " 0 1 y")) return Next::Close;
    }
    return endData() ? Next::Continue : Next::Close;
}

NewsSession::Next NewsSession::authinfo(std::string_view args) {
    auto [sub, value] = splitWord(args);
    const std::string which = upper(sub);
    if ((which != "USER" && which != "PASS") || value.empty()) {
        reply("501 Syntax error");
    } else if (m_authenticated) {
        reply("502 Command unavailable");
    } else if (which == "USER") {
        // Without --auth any user is welcome at once.
        m_authenticated = !m_options.authUser;
        m_pendingUser = std::string(value);
        reply(m_authenticated ? "281 Authentication accepted" : "381 Password required");
    } else if (!m_pendingUser) {
        reply("482 Authentication commands issued out of sequence");
    } else {
        m_authenticated = m_options.authUser == *m_pendingUser && value == m_options.authPassword;
        m_pendingUser.reset();
        reply(m_authenticated ? "281 Authentication accepted" : "481 Authentication failed");
    }
    return Next::Continue;
}

NewsSession::Next NewsSession::capabilities(std::string_view) {
    reply("101 Capability list:");
    std::vector<std::string_view> lines = {"VERSION 2", "READER"};
    if (!m_options.noOverview) {
        lines.insert(lines.end(), {"OVER MSGID", "HDR", "LIST ACTIVE OVERVIEW.FMT HEADERS"});
    } else {
        lines.push_back("LIST ACTIVE");
    }
    const bool loginPending = m_options.authUser && !m_authenticated;
    if (loginPending) lines.push_back("AUTHINFO USER");
    // Offered once the client may use it, and only until it does.
    if (!m_options.noCompress && !loginPending && !m_wire.compressing())
        lines.push_back("COMPRESS DEFLATE");
    for (std::string_view line : lines)
        if (!dataLine(line)) return Next::Close;
    return endData() ? Next::Continue : Next::Close;
}

NewsSession::Next NewsSession::compress(std::string_view args) {
    if (upper(args) != "DEFLATE") {
        reply(args.empty() ? "501 Syntax error" : "503 Compression algorithm not supported");
        return Next::Continue;
    }
    if (m_wire.compressing()) {
        reply("502 Compression already active");
        return Next::Continue;
    }
    // The reply itself leaves uncompressed; everything after it, both ways, is deflated.
    reply("206 Compression active");
    if (!m_wire.flush()) return Next::Close;
    m_wire.startCompression(m_options.compressLevel);
    return Next::Continue;
}

std::optional<NewsSession::Selection> NewsSession::select(std::string_view args) {
    if (!args.empty() && args.front() == '<') {
        auto found = args.back() == '>' ? m_spool.findMessageId(args, m_group) : std::nullopt;
        if (!found) {
            reply(args.back() == '>' ? "430 No article with that message-id" : "501 Syntax error");
            return std::nullopt;
        }
        return Selection{found->group, found->number, found->number, true};
    }
    std::optional<std::uint64_t> first, last;
    if (!args.empty()) {
        const auto dash = args.find('-');
        first = parseArticleNumber(args.substr(0, dash));
        if (dash == std::string_view::npos)
            last = first;
        else if (dash + 1 == args.size())
            last = std::numeric_limits<std::uint64_t>::max();
        else
            last = parseArticleNumber(args.substr(dash + 1));
        if (!first || !last) {
            reply("501 Syntax error");
            return std::nullopt;
        }
    }
    if (m_group.empty()) {
        reply("412 No newsgroup selected");
        return std::nullopt;
    }
    if (!first && !m_current) {
        reply("420 Current article number is invalid");
        return std::nullopt;
    }
    if (!first) first = last = m_current;
    return Selection{m_group, *first, *last, false};
}

NewsSession::Next NewsSession::over(std::string_view args) {
    auto selection = select(args);
    if (!selection) return Next::Continue;
    auto overview = m_spool.overview(selection->group);
    std::vector<const GroupOverview::Entry*> entries;
    if (overview) entries = shownEntries(*overview, *selection);
    if (entries.empty()) {
        reply(selection->byMessageId ? "430 No article with that message-id"
                                     : "423 No articles in that range");
        return Next::Continue;
    }
    reply("224 Overview information follows");
    if (m_options.overEmpty) return endData() ? Next::Continue : Next::Close;
    using Order = NewsServerOptions::OverOrder;
    if (m_options.overOrder == Order::Descending) std::reverse(entries.begin(), entries.end());
    if (m_options.overOrder == Order::Swapped)
        for (std::size_t i = 0; i + 1 < entries.size(); i += 2)
            std::swap(entries[i], entries[i + 1]);
    std::string line;
    for (const GroupOverview::Entry* entry : entries) {
        const std::string_view fields = overview->fields(*entry);
        line.assign(n2s(selection->byMessageId ? 0 : entry->number)).push_back('\t');
        const std::size_t subjectEnd = line.size() + fields.find('\t');
        line.append(fields);
        if (line.size() < m_options.overLineBytes)
            line.insert(std::min(subjectEnd, line.size()), m_options.overLineBytes - line.size(),
                        'x');
        for (int copy = m_options.overRepeat ? 2 : 1; copy > 0; --copy)
            if (!dataLine(line)) return Next::Close;
    }
    return endData() ? Next::Continue : Next::Close;
}

std::vector<const GroupOverview::Entry*> NewsSession::shownEntries(
    const GroupOverview& overview, const Selection& selection) const {
    std::vector<const GroupOverview::Entry*> shown;
    const auto entries = overview.range(selection.first, selection.last);
    if (selection.byMessageId) {
        for (const auto& entry : entries) shown.push_back(&entry);
        return shown;
    }
    // The newest articles the overview holds, after those it leaves out.
    std::uint64_t newest = std::numeric_limits<std::uint64_t>::max();
    if (m_options.hideAbove) newest = *m_options.hideAbove;
    const std::size_t held = overview.range(0, newest).size();
    if (m_options.overLag > 0)
        newest = held > m_options.overLag ? overview.entry(held - 1 - m_options.overLag).number : 0;
    for (const auto& entry : entries) {
        const auto& omit = m_options.overOmit;
        if (entry.number <= newest &&
            std::find(omit.begin(), omit.end(), entry.number) == omit.end())
            shown.push_back(&entry);
    }
    return shown;
}

NewsSession::Next NewsSession::hdr(std::string_view args) {
    return headers(args, false);
}

NewsSession::Next NewsSession::xhdr(std::string_view args) {
    return headers(args, true);
}

// HDR (RFC 3977) and XHDR (RFC 2980) differ only in their reply code and in what stands for
// a missing header.
NewsSession::Next NewsSession::headers(std::string_view args, bool rfc2980) {
    auto [name, range] = splitWord(args);
    if (name.empty()) {
        reply("501 Syntax error");
        return Next::Continue;
    }
    const auto index = GroupOverview::fieldIndex(name);
    if (!index && name.front() == ':') {
        reply("503 Metadata item not supported");
        return Next::Continue;
    }
    auto selection = select(range);
    if (!selection) return Next::Continue;
    auto overview = m_spool.overview(selection->group);
    std::vector<const GroupOverview::Entry*> shown;
    if (overview) shown = shownEntries(*overview, *selection);
    if (shown.empty()) {
        reply(selection->byMessageId ? "430 No article with that message-id"
                                     : "423 No articles in that range");
        return Next::Continue;
    }
    reply(rfc2980 ? "221 Header follows" : "225 Headers follow");
    std::string line;
    for (const GroupOverview::Entry* shownEntry : shown) {
        const GroupOverview::Entry& entry = *shownEntry;
        std::optional<std::string> value;
        if (index) {
            value = std::string(GroupOverview::field(overview->fields(entry), *index));
        } else if (auto text = m_spool.readArticleText(selection->group, entry.number)) {
            value = headerValue(*text, name);
        }
        line.assign(n2s(selection->byMessageId ? 0 : entry.number)).push_back(' ');
        line.append(value ? *value : rfc2980 ? "(none)" : "");
        if (!dataLine(line)) return Next::Close;
    }
    return endData() ? Next::Continue : Next::Close;
}

NewsSession::Next NewsSession::listOverviewFormat() {
    reply("215 Order of fields in overview database");
    for (std::string_view field : GroupOverview::Format)
        if (!dataLine(field)) return Next::Close;
    return endData() ? Next::Continue : Next::Close;
}

NewsSession::Next NewsSession::listHeaders() {
    // ":" stands for any header: HDR reads those that are not in the overview from the
    // article files.
    reply("215 Headers and metadata items supported");
    for (std::string_view item : {":", ":bytes", ":lines"})
        if (!dataLine(item)) return Next::Close;
    return endData() ? Next::Continue : Next::Close;
}

void NewsSession::reply(std::string_view line) {
    m_wire.append(line);
    m_wire.append("\r\n");
}

bool NewsSession::beforeDataLine() {
    if (m_options.lineDelayMs <= 0) return true;
    // Each line leaves on its own, so the client really waits between lines.
    return m_wire.flush() && m_host.pause(std::chrono::milliseconds(m_options.lineDelayMs));
}

bool NewsSession::dataLine(std::string_view line) {
    if (!beforeDataLine()) return false;
    if (!line.empty() && line.front() == '.') m_wire.append('.');
    m_wire.append(line);
    m_wire.append("\r\n");
    return m_wire.pending() < OutputChunk || m_wire.flush(false);
}

bool NewsSession::preparedLine(std::string_view line) {
    if (!beforeDataLine()) return false;
    m_wire.append(line);
    return m_wire.pending() < OutputChunk || m_wire.flush(false);
}

bool NewsSession::endData() {
    m_wire.append(".\r\n");
    return m_wire.pending() < OutputChunk || m_wire.flush(false);
}

}  // namespace qm::newsd
