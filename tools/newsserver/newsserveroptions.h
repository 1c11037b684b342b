// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The settings of the fixture news server, with the faults it can be told to show, and the
// parser of its command line.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qm::newsd {

struct NewsServerOptions {
    std::string spool;  // DIR/<group.name>/<number> article files
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
    int greetingCode = 200;

    // Fault switches.
    std::optional<std::string> authUser;        // with authPassword: commands answered 480 until
    std::string authPassword;                   // AUTHINFO USER/PASS succeeds
    std::optional<std::uint64_t> loginAfter;    // with authUser: the first this many commands of
                                                // a connection need no login (a login asked for
                                                // in the middle of a run)
    std::optional<int> refuseList;              // LIST answered with this code
    std::optional<std::uint64_t> cutListAfter;  // close after this many LIST data lines
    bool threeNumberGroup = false;              // "211 count first last", without the name
    std::optional<std::uint64_t> refuseHead;    // HEAD and ARTICLE of this article answered 423
    // Articles the server lost: still in the overview and the article range, but every
    // HEAD, BODY, ARTICLE and STAT of them, by number or message-id, is answered 423 or 430.
    std::vector<std::uint64_t> missing;
    std::optional<std::uint64_t> cutBodyAfter;  // close after this many BODY/ARTICLE body lines
    std::optional<std::uint64_t> silentAfter;   // after this many commands, read but never answer
    int lineDelayMs = 0;                        // pause before every data line
    int maxConnections = 0;                     // 0: no limit; beyond it: 400 and close

    // A server whose overview (OVER, XOVER, HDR) is not the truth, as on large servers that
    // build it after the article has arrived.
    enum class OverOrder { Ascending, Descending, Swapped };
    std::vector<std::uint64_t> overOmit;  // these articles are left out of the overview
    std::uint64_t overLag = 0;  // the newest this many articles of a group are not in it yet
                                // (nor in LISTGROUP, which such servers read from it)
    OverOrder overOrder = OverOrder::Ascending;  // Swapped: each pair of lines changes places
    bool overEmpty = false;                      // 224 and no line at all
    bool overRepeat = false;                     // every line sent twice
    std::uint64_t overLineBytes = 0;             // subjects padded so each line is this long
    bool noListGroup = false;                    // LISTGROUP answered 500
    // Replies for another article: ARTICLE, HEAD, BODY and STAT of this number are answered
    // with the next article's number, id and text (wrongNumber), with this number and the
    // next one's id and text (wrongId), or with this number and id and the next one's text
    // (wrongHeader).
    std::optional<std::uint64_t> wrongNumber;
    std::optional<std::uint64_t> wrongId;
    std::optional<std::uint64_t> wrongHeader;
    bool bareIds = false;  // reply lines name "article" where the message-id belongs
    // A backend behind its own range: the articles above this number are not there at all.
    std::optional<std::uint64_t> hideAbove;

    // An older server: without OVER, XOVER, HDR and XHDR (answered 500, left out of
    // CAPABILITIES), without CAPABILITIES itself (500), without COMPRESS (500).
    bool noOverview = false;
    bool noCapabilities = false;
    bool noCompress = false;
    int compressLevel = -1;  // zlib's level for COMPRESS DEFLATE; -1: zlib's default (6)

    // A distant server: every byte reaches the session this long after it arrived, and every
    // byte of a reply leaves this long after it was written, in order; commands sent together
    // are delayed together, not one after another.
    int latencyMs = 0;

    // LIST also names this many made-up empty groups, so that a list of 100,000 groups can
    // be served without 100,000 spool folders.
    std::uint64_t syntheticGroups = 0;
};

// Parses the arguments after the program name. The error text names the faulty argument;
// "help" when --help was asked for.
std::variant<NewsServerOptions, std::string> parseNewsServerArguments(
    std::span<const std::string_view> args);

extern const char* const NewsServerUsage;

}  // namespace qm::newsd
