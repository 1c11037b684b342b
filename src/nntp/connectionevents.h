// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a connection tells its owner, and asks of it, beyond the replies it returns: the
// program's side of the protocol (log lines, the failure boxes, the login prompt, the group's
// flags and counters, where an article's text goes). Called on the connection's thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/frontend.h"

namespace qm {

class GroupEntry;
class NntpReply;
class SavedArticle;

class ConnectionEvents {
  public:
    virtual ~ConnectionEvents() = default;

    virtual void log(std::string_view line) = 0;
    // A connect failed; text says why, for the user.
    virtual void connectFailed(const std::string& text) = 0;
    // The server refused the greeting with line.
    virtual void greetingRefused(const std::string& line) = 0;
    // The user's login for host (stored: what the server entry holds); nothing when none
    // is given.
    virtual std::optional<Credentials> askCredentials(const std::string& host,
                                                      const Credentials& stored) = 0;

    // GROUP answered with the group's range, or refused it.
    virtual void groupSelected(GroupEntry&, std::int64_t /*count*/, std::int64_t /*first*/,
                               std::int64_t /*last*/) {}
    virtual void groupRefused(GroupEntry&) {}
    // NEXT answered (Abandoned: not sent) while group was current; when ok, article holds the
    // number and id it named.
    virtual void nextAnswered(GroupEntry&, const NntpReply&, SavedArticle&) {}
    // Line bytes received while group (null: none) was current.
    virtual void bytesReceived(GroupEntry*, std::int64_t /*bytes*/) {}
    // A body begins for group (null: none): whether article's text was opened to take it.
    virtual bool openArticle(GroupEntry* group, SavedArticle& article) = 0;
};

}  // namespace qm
