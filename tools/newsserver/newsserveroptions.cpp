// SPDX-License-Identifier: GPL-3.0-or-later
#include "newsserver/newsserveroptions.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace qm::newsd {

const char* const NewsServerUsage =
    "usage: qmere-newsd --spool DIR [--port N] [--host ADDRESS] [--greeting CODE]\n"
    "                   [--auth USER:PASS] [--three-number-group] [--refuse-head N]\n"
    "                   [--cut-body-after N] [--silent-after N] [--line-delay-ms MS]\n"
    "                   [--max-connections N] [--synthetic-groups N] [--no-overview]\n"
    "                   [--no-capabilities] [--no-compress] [--compress-level 0-9]\n"
    "                   [--latency-ms MS] [--login-after N] [--refuse-list CODE]\n"
    "                   [--cut-list-after N] [--over-omit N[,N...]] [--over-lag N]\n"
    "                   [--over-order ascending|descending|swapped] [--over-empty]\n"
    "                   [--over-repeat] [--over-line-bytes N] [--no-listgroup]\n"
    "                   [--wrong-number N] [--wrong-id N] [--wrong-header N] [--bare-ids]\n"
    "                   [--hide-above N] [--missing N,N,...]\n"
    "Serves DIR/<group>/<number> article files over NNTP; prints \"port N\" first.\n";

namespace {

template <typename T>
bool parseNumber(std::string_view text, T max, T& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0 && value <= max;
}

bool takesValue(std::string_view name) {
    for (std::string_view known : {"--spool",
                                   "--host",
                                   "--port",
                                   "--greeting",
                                   "--line-delay-ms",
                                   "--max-connections",
                                   "--auth",
                                   "--refuse-head",
                                   "--cut-body-after",
                                   "--silent-after",
                                   "--synthetic-groups",
                                   "--latency-ms",
                                   "--compress-level",
                                   "--login-after",
                                   "--refuse-list",
                                   "--cut-list-after",
                                   "--over-omit",
                                   "--over-lag",
                                   "--over-order",
                                   "--over-line-bytes",
                                   "--wrong-number",
                                   "--wrong-id",
                                   "--wrong-header",
                                   "--hide-above",
                                   "--missing"})
        if (name == known) return true;
    return false;
}

// The setting a switch without a value turns on; nullptr when arg is not one.
bool* switchFlag(std::string_view arg, NewsServerOptions& o) {
    if (arg == "--three-number-group") return &o.threeNumberGroup;
    if (arg == "--no-overview") return &o.noOverview;
    if (arg == "--no-capabilities") return &o.noCapabilities;
    if (arg == "--no-compress") return &o.noCompress;
    if (arg == "--over-empty") return &o.overEmpty;
    if (arg == "--over-repeat") return &o.overRepeat;
    if (arg == "--no-listgroup") return &o.noListGroup;
    if (arg == "--bare-ids") return &o.bareIds;
    return nullptr;
}

// Applies one option with a value; false when the value does not fit the option.
bool applyValue(std::string_view name, std::string_view value, NewsServerOptions& o) {
    std::uint64_t n = 0;
    const auto maxU64 = std::numeric_limits<std::uint64_t>::max();
    if (name == "--spool") {
        o.spool = value;
        return !value.empty();
    }
    if (name == "--host") {
        o.host = value;
        return !value.empty();
    }
    if (name == "--port") return parseNumber(value, 65535, o.port);
    if (name == "--greeting")
        return parseNumber(value, 599, o.greetingCode) && o.greetingCode >= 100;
    if (name == "--line-delay-ms") return parseNumber(value, 3600000, o.lineDelayMs);
    if (name == "--max-connections") return parseNumber(value, 100000, o.maxConnections);
    if (name == "--latency-ms") return parseNumber(value, 3600000, o.latencyMs);
    if (name == "--compress-level") return parseNumber(value, 9, o.compressLevel);
    if (name == "--refuse-list") {
        int code = 0;
        if (!parseNumber(value, 599, code) || code < 100) return false;
        o.refuseList = code;
        return true;
    }
    if (name == "--synthetic-groups") return parseNumber(value, maxU64, o.syntheticGroups);
    if (name == "--over-lag") return parseNumber(value, maxU64, o.overLag);
    if (name == "--over-line-bytes")
        return parseNumber(value, std::uint64_t{1} << 20, o.overLineBytes);
    if (name == "--over-order") {
        using Order = NewsServerOptions::OverOrder;
        if (value == "ascending")
            o.overOrder = Order::Ascending;
        else if (value == "descending")
            o.overOrder = Order::Descending;
        else if (value == "swapped")
            o.overOrder = Order::Swapped;
        else
            return false;
        return true;
    }
    if (name == "--over-omit" || name == "--missing") {
        std::vector<std::uint64_t>& list = name == "--missing" ? o.missing : o.overOmit;
        for (std::size_t at = 0; at <= value.size();) {
            const std::size_t comma = std::min(value.find(',', at), value.size());
            if (!parseNumber(value.substr(at, comma - at), maxU64, n)) return false;
            list.push_back(n);
            at = comma + 1;
        }
        return true;
    }
    if (name == "--auth") {
        auto colon = value.find(':');
        if (colon == std::string_view::npos || colon == 0) return false;
        o.authUser = std::string(value.substr(0, colon));
        o.authPassword = value.substr(colon + 1);
        return true;
    }
    std::optional<std::uint64_t>* target = name == "--refuse-head"      ? &o.refuseHead
                                           : name == "--cut-body-after" ? &o.cutBodyAfter
                                           : name == "--silent-after"   ? &o.silentAfter
                                           : name == "--login-after"    ? &o.loginAfter
                                           : name == "--cut-list-after" ? &o.cutListAfter
                                           : name == "--wrong-number"   ? &o.wrongNumber
                                           : name == "--wrong-id"       ? &o.wrongId
                                           : name == "--wrong-header"   ? &o.wrongHeader
                                           : name == "--hide-above"     ? &o.hideAbove
                                                                        : nullptr;
    if (!target || !parseNumber(value, maxU64, n)) return false;
    *target = n;
    return true;
}

}  // namespace

std::variant<NewsServerOptions, std::string> parseNewsServerArguments(
    std::span<const std::string_view> args) {
    NewsServerOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") return std::string("help");
        if (bool* flag = switchFlag(arg, options)) {
            *flag = true;
            continue;
        }
        if (!takesValue(arg)) return "unknown option " + std::string(arg);
        if (i + 1 >= args.size()) return "missing value after " + std::string(arg);
        std::string_view value = args[++i];
        if (!applyValue(arg, value, options))
            return "bad argument: " + std::string(arg) + " " + std::string(value);
    }
    if (options.spool.empty()) return std::string("--spool DIR is required");
    return options;
}

}  // namespace qm::newsd
