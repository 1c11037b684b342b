// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One reply of the server to one command: what it means (the outcome), its code and its line.
// Made only by classifyReply, so whatever a caller tests it tests through the outcome; a
// default reply is one to a command that was never sent.
#include <string>

#include "nntp/replyoutcome.h"

namespace qm {

class NntpReply {
  public:
    NntpReply() = default;

    ReplyOutcome outcome() const { return m_outcome; }
    bool ok() const { return m_outcome == ReplyOutcome::Ok; }
    bool is(ReplyOutcome outcome) const { return m_outcome == outcome; }
    // 0 when no reply came or nothing was sent.
    int code() const { return m_code; }
    // The reply line; empty when none came.
    const std::string& text() const { return m_text; }
    NntpCommand command() const { return m_command; }
    // Whether data lines up to "." follow this reply.
    bool hasData() const { return replyHasData(m_command, m_code); }

    // The same reply, its data cut off before the "." (the connection is gone).
    NntpReply cutShort() const;
    // The same reply, without the fields its code promises.
    NntpReply malformed() const;

  private:
    friend NntpReply classifyReply(NntpCommand command, std::string line);

    NntpCommand m_command = NntpCommand::Other;
    ReplyOutcome m_outcome = ReplyOutcome::Abandoned;
    int m_code = 0;
    std::string m_text;
};

// The reply line to command, classified by its leading number: a line without one (an empty
// line: the stream ended) is ConnectionLost, as such a server cannot be followed further.
NntpReply classifyReply(NntpCommand command, std::string line);

}  // namespace qm
