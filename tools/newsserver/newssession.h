// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One client connection of the fixture news server: reads command lines, answers them from
// the spool with RFC 3977 reply codes (and the overview, header and compression extensions of
// RFC 3977, RFC 2980 and RFC 8054, unless told to act as an older server), and shows the
// faults its options ask for.
//
// Created and run by the connection thread of NewsServer, which owns the descriptor and may
// shut it down from another thread to end the session; nothing else touches the session.
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "newsserver/newsserveroptions.h"
#include "newsserver/sessionwire.h"
#include "newsserver/spool.h"

namespace qm::newsd {

// What a session needs from its server. Called on the session's thread.
class SessionHost {
  public:
    virtual void recordCommand(int connection, std::string_view line) = 0;
    // Waits for the given time; false when the server is stopping meanwhile.
    virtual bool pause(std::chrono::milliseconds time) = 0;

  protected:
    ~SessionHost() = default;
};

class NewsSession {
  public:
    static constexpr std::size_t MaxCommandLength = 4096;

    NewsSession(int fd, int connection, const NewsServerOptions& options, const Spool& spool,
                SessionHost& host);
    NewsSession(const NewsSession&) = delete;
    NewsSession& operator=(const NewsSession&) = delete;

    // Serves until QUIT, the client leaves, a fault closes the connection or the server stops.
    // The caller then shuts the connection down.
    void run();

  private:
    enum class Next { Continue, Close };
    enum class Retrieve { Article, Head, Body, Stat };
    struct Target {
        std::string group;
        std::uint64_t number = 0;
        bool byMessageId = false;
    };
    // The articles an OVER or HDR is about: a range of the current group, the current
    // article, or one article by message-id (then numbered 0 in the reply).
    struct Selection {
        std::string group;
        std::uint64_t first = 0;
        std::uint64_t last = 0;
        bool byMessageId = false;
    };

    Next handle(std::string_view line);
    // The commands an older server would not know, or nullptr.
    using Handler = Next (NewsSession::*)(std::string_view args);
    Handler extension(std::string_view command) const;
    bool authorised(std::string_view command) const;
    // GROUP and LISTGROUP: the group becomes the current one (411 replied when there is none).
    bool enterGroup(std::string_view name);
    // "211 count first last" of the current group.
    std::string groupSummary() const;
    Next group(std::string_view args);
    Next listGroup(std::string_view args);
    Next retrieve(Retrieve kind, std::string_view args);
    std::optional<Target> resolve(std::string_view args);
    Next step(bool forward);
    Next list(std::string_view args);
    Next authinfo(std::string_view args);
    Next capabilities(std::string_view args);
    Next over(std::string_view args);
    Next hdr(std::string_view args);
    Next xhdr(std::string_view args);
    Next headers(std::string_view args, bool rfc2980);
    Next compress(std::string_view args);
    // Replies the error itself when the selection is not valid.
    std::optional<Selection> select(std::string_view args);
    Next listOverviewFormat();
    Next listHeaders();
    // The reply for an article asked by number, with the faults that answer for another one.
    Next answerFor(Retrieve kind, const Target& target, const SpoolArticle& article);
    Next sendArticle(Retrieve kind, std::uint64_t shown, std::string_view id,
                     const SpoolArticle& article);
    // The overview entries of a selection as the faults leave them (omitted, lagging, hidden).
    std::vector<const GroupOverview::Entry*> shownEntries(const GroupOverview& overview,
                                                          const Selection& selection) const;
    // The prepared lines one by one, for the faults that act between lines.
    Next sendLines(std::string_view lines, bool countsAsBody);

    void reply(std::string_view line);
    // A data line of a multi-line reply, dot-stuffed; false when the client is gone.
    bool dataLine(std::string_view line);
    // A data line already dot-stuffed and ended by "\r\n".
    bool preparedLine(std::string_view line);
    // What a data line must wait for; false when the client is gone or the server stops.
    bool beforeDataLine();
    // The line "." that ends a multi-line reply.
    bool endData();

    int m_connection;
    const NewsServerOptions& m_options;
    const Spool& m_spool;
    SessionHost& m_host;
    SessionWire m_wire;

    std::uint64_t m_commands = 0;
    std::uint64_t m_bodyLinesSent = 0;  // of the current BODY/ARTICLE reply
    bool m_authenticated = false;
    std::optional<std::string> m_pendingUser;
    std::string m_group;
    std::vector<std::uint64_t> m_numbers;  // of m_group, as scanned at GROUP
    std::optional<std::uint64_t> m_current;
};

}  // namespace qm::newsd
