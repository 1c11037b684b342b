#pragma once
// The settings of the fixture news server, with the faults it can be told to show, and the
// parser of its command line.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

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
    std::optional<std::uint64_t> cutBodyAfter;  // close after this many BODY/ARTICLE body lines
    std::optional<std::uint64_t> silentAfter;   // after this many commands, read but never answer
    int lineDelayMs = 0;                        // pause before every data line
    int maxConnections = 0;                     // 0: no limit; beyond it: 400 and close

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
