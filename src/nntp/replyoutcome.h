// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What an NNTP reply means for the command it answers: the one place where reply codes
// (RFC 3977, RFC 4643 for AUTHINFO, RFC 8054 for COMPRESS, RFC 2980 for XOVER and XHDR) are
// turned into an outcome that callers act on (go on, skip the article, log in, give up).
// Pure functions; safe on any thread.
#include <string_view>

namespace qm {

enum class NntpCommand {
    Greeting,  // nothing sent: the server's first line
    Capabilities,
    ModeReader,
    AuthinfoUser,
    AuthinfoPass,
    Group,
    ListGroup,
    Article,
    Head,
    Body,
    Stat,
    Next,
    Last,
    Over,  // OVER and XOVER
    Hdr,   // HDR
    Xhdr,  // XHDR
    List,
    Compress,
    Quit,
    Other,
};

enum class ReplyOutcome {
    Ok,              // the command did what was asked
    MoreNeeded,      // AUTHINFO USER: the password is wanted (381)
    NoSuchArticle,   // no such article, no next one, an empty range (420-423, 430)
    NoSuchGroup,     // 411
    NoGroup,         // 412: no group selected
    AuthRequired,    // 480: a login is wanted first
    Refused,         // permanently refused: 502, a rejected login (481, 482), 483
    Unavailable,     // the service is unavailable for now (400, 403)
    Unsupported,     // the server does not know the command or the argument (500, 501, 503)
    Damaged,         // ARTICLE, HEAD, BODY: the article is held back damaged (451)
    ProtocolError,   // a code that does not belong to this command
    ConnectionLost,  // no reply came: the stream ended or the connection was cut
    Abandoned,       // nothing was sent: the connection was closed or told to stop
};

ReplyOutcome classifyReply(NntpCommand command, int code);

// The command a command line sends, by its first word ("ARTICLE 5" -> Article).
NntpCommand commandOf(std::string_view line);

// Whether a reply of this code to this command is followed by data lines up to ".".
bool replyHasData(NntpCommand command, int code);

std::string_view outcomeName(ReplyOutcome outcome);

}  // namespace qm
