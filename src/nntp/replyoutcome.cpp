// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/replyoutcome.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <utility>

#include "nntp/nntpreply.h"

namespace qm {
namespace {

// The code that says the command succeeded (0 for none: Quit is answered, never checked).
int successCode(NntpCommand command) {
    switch (command) {
        case NntpCommand::Greeting:
            return 200;  // 201 too, below
        case NntpCommand::Capabilities:
            return 101;
        case NntpCommand::ModeReader:
            return 200;  // 201 too
        case NntpCommand::AuthinfoUser:
        case NntpCommand::AuthinfoPass:
            return 281;
        case NntpCommand::Group:
        case NntpCommand::ListGroup:
            return 211;
        case NntpCommand::Article:
            return 220;
        case NntpCommand::Head:
            return 221;
        case NntpCommand::Body:
            return 222;
        case NntpCommand::Stat:
        case NntpCommand::Next:
        case NntpCommand::Last:
            return 223;
        case NntpCommand::Over:
            return 224;
        case NntpCommand::Hdr:
            return 225;
        case NntpCommand::Xhdr:
            return 221;
        case NntpCommand::List:
            return 215;
        case NntpCommand::Compress:
            return 206;
        case NntpCommand::Quit:
            return 205;
        case NntpCommand::Other:
            return 0;
    }
    return 0;
}

bool refersToArticles(NntpCommand command) {
    switch (command) {
        case NntpCommand::ListGroup:
        case NntpCommand::Article:
        case NntpCommand::Head:
        case NntpCommand::Body:
        case NntpCommand::Stat:
        case NntpCommand::Next:
        case NntpCommand::Last:
        case NntpCommand::Over:
        case NntpCommand::Hdr:
        case NntpCommand::Xhdr:
            return true;
        default:
            return false;
    }
}

// Commands a server may not know without being at fault: asked only where offered, or tried.
bool optional(NntpCommand command) {
    switch (command) {
        case NntpCommand::Capabilities:
        case NntpCommand::ModeReader:
        case NntpCommand::Over:
        case NntpCommand::Hdr:
        case NntpCommand::Xhdr:
        case NntpCommand::Compress:
        case NntpCommand::ListGroup:
        case NntpCommand::AuthinfoUser:
        case NntpCommand::AuthinfoPass:
            return true;
        default:
            return false;
    }
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

// The leading decimal number of a line, as atoi reads it.
std::optional<int> leadingCode(std::string_view line) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())))
        line.remove_prefix(1);
    int code = 0;
    auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), code);
    if (ec != std::errc()) return std::nullopt;
    return code;
}

bool readsArticle(NntpCommand command) {
    return command == NntpCommand::Article || command == NntpCommand::Head ||
           command == NntpCommand::Body;
}

}  // namespace

NntpReply classifyReply(NntpCommand command, std::string line) {
    NntpReply reply;
    reply.m_command = command;
    const std::optional<int> code = leadingCode(line);
    reply.m_code = code.value_or(0);
    reply.m_outcome = code ? classifyReply(command, *code) : ReplyOutcome::ConnectionLost;
    reply.m_text = std::move(line);
    return reply;
}

NntpReply NntpReply::cutShort() const {
    NntpReply reply = *this;
    reply.m_outcome = ReplyOutcome::ConnectionLost;
    return reply;
}

NntpReply NntpReply::malformed() const {
    NntpReply reply = *this;
    reply.m_outcome = ReplyOutcome::ProtocolError;
    return reply;
}

ReplyOutcome classifyReply(NntpCommand command, int code) {
    if (code < 100 || code > 599) return ReplyOutcome::ProtocolError;
    if (code == successCode(command)) return ReplyOutcome::Ok;
    switch (command) {
        case NntpCommand::Greeting:
        case NntpCommand::ModeReader:
            if (code == 201) return ReplyOutcome::Ok;
            break;
        case NntpCommand::AuthinfoUser:
            if (code == 381) return ReplyOutcome::MoreNeeded;
            break;
        case NntpCommand::Quit:
            return ReplyOutcome::Ok;
        default:
            break;
    }
    if (code == 451 && readsArticle(command)) return ReplyOutcome::Damaged;
    if (refersToArticles(command) &&
        (code == 420 || code == 421 || code == 422 || code == 423 || code == 430))
        return ReplyOutcome::NoSuchArticle;
    switch (code) {
        case 411:
            return command == NntpCommand::Group || command == NntpCommand::ListGroup
                       ? ReplyOutcome::NoSuchGroup
                       : ReplyOutcome::ProtocolError;
        case 412:
            return ReplyOutcome::NoGroup;
        case 480:
            return ReplyOutcome::AuthRequired;
        case 400:
        case 403:
            return ReplyOutcome::Unavailable;
        case 481:
        case 482:
        case 483:
        case 502:
            return ReplyOutcome::Refused;
        case 500:
        case 501:
        case 503:
            return optional(command) ? ReplyOutcome::Unsupported : ReplyOutcome::ProtocolError;
        default:
            return ReplyOutcome::ProtocolError;
    }
}

NntpCommand commandOf(std::string_view line) {
    const std::size_t end = line.find(' ');
    const std::string_view word = line.substr(0, end);
    std::string_view rest =
        end == std::string_view::npos ? std::string_view() : line.substr(end + 1);
    struct Name {
        std::string_view word;
        NntpCommand command;
    };
    static constexpr Name Names[] = {
        {"CAPABILITIES", NntpCommand::Capabilities},
        {"GROUP", NntpCommand::Group},
        {"LISTGROUP", NntpCommand::ListGroup},
        {"ARTICLE", NntpCommand::Article},
        {"HEAD", NntpCommand::Head},
        {"BODY", NntpCommand::Body},
        {"STAT", NntpCommand::Stat},
        {"NEXT", NntpCommand::Next},
        {"LAST", NntpCommand::Last},
        {"OVER", NntpCommand::Over},
        {"XOVER", NntpCommand::Over},
        {"HDR", NntpCommand::Hdr},
        {"XHDR", NntpCommand::Xhdr},
        {"LIST", NntpCommand::List},
        {"COMPRESS", NntpCommand::Compress},
        {"QUIT", NntpCommand::Quit},
    };
    for (const Name& name : Names)
        if (equalsNoCase(word, name.word)) return name.command;
    if (equalsNoCase(word, "MODE")) return NntpCommand::ModeReader;
    if (equalsNoCase(word, "AUTHINFO")) {
        const std::string_view sub = rest.substr(0, rest.find(' '));
        if (equalsNoCase(sub, "PASS")) return NntpCommand::AuthinfoPass;
        return NntpCommand::AuthinfoUser;
    }
    return NntpCommand::Other;
}

bool replyHasData(NntpCommand command, int code) {
    switch (command) {
        case NntpCommand::Capabilities:
            return code == 101;
        case NntpCommand::Article:
            return code == 220;
        case NntpCommand::Head:
            return code == 221;
        case NntpCommand::Body:
            return code == 222;
        case NntpCommand::Over:
            return code == 224;
        case NntpCommand::Hdr:
            return code == 225;
        case NntpCommand::Xhdr:
            return code == 221;
        case NntpCommand::List:
            return code == 215;
        case NntpCommand::ListGroup:
            return code == 211;
        default:
            return false;
    }
}

std::string_view outcomeName(ReplyOutcome outcome) {
    switch (outcome) {
        case ReplyOutcome::Ok:
            return "ok";
        case ReplyOutcome::MoreNeeded:
            return "more needed";
        case ReplyOutcome::NoSuchArticle:
            return "no such article";
        case ReplyOutcome::NoSuchGroup:
            return "no such group";
        case ReplyOutcome::NoGroup:
            return "no group selected";
        case ReplyOutcome::AuthRequired:
            return "authentication required";
        case ReplyOutcome::Refused:
            return "refused";
        case ReplyOutcome::Unavailable:
            return "unavailable";
        case ReplyOutcome::Unsupported:
            return "unsupported";
        case ReplyOutcome::Damaged:
            return "damaged";
        case ReplyOutcome::ProtocolError:
            return "protocol error";
        case ReplyOutcome::ConnectionLost:
            return "connection lost";
        case ReplyOutcome::Abandoned:
            return "abandoned";
    }
    return "?";
}

}  // namespace qm
