// SPDX-License-Identifier: GPL-3.0-or-later
#include "relay/relayoptions.h"

#include <charconv>

namespace qm::relay {

const char* const RelayUsage =
    "usage: qmere-relay --target HOST:PORT [--port N] [--host ADDRESS] [--delay-ms MS]\n"
    "                   [--rate-mbit R] [--queue-mb N]\n"
    "Relays every connection to the target, each chunk delivered MS milliseconds later in\n"
    "each direction, each direction no faster than R Mbit/s; prints \"port N\" first.\n";

namespace {

template <typename T>
bool parseNumber(std::string_view text, T min, T max, T& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

bool parseTarget(std::string_view text, RelayOptions& o) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')  // [::1]:119
        host = host.substr(1, host.size() - 2);
    o.targetHost = host;
    return parseNumber(text.substr(colon + 1), 1, 65535, o.targetPort);
}

// Applies one option with a value; false when the value does not fit the option.
bool applyValue(std::string_view name, std::string_view value, RelayOptions& o) {
    if (name == "--target") return parseTarget(value, o);
    if (name == "--host") {
        o.host = value;
        return !value.empty();
    }
    if (name == "--port") return parseNumber(value, 0, 65535, o.port);
    if (name == "--delay-ms") {
        double ms = 0;
        if (!parseNumber(value, 0.0, 3600000.0, ms)) return false;
        o.link.delay = std::chrono::microseconds(static_cast<long long>(ms * 1000));
        return true;
    }
    if (name == "--rate-mbit") return parseNumber(value, 0.0, 1e6, o.link.rateMbit);
    if (name == "--queue-mb") {
        std::size_t mb = 0;
        if (!parseNumber<std::size_t>(value, 1, 4096, mb)) return false;
        o.link.queueLimit = mb << 20;
        return true;
    }
    return false;
}

}  // namespace

std::variant<RelayOptions, std::string> parseRelayArguments(
    std::span<const std::string_view> args) {
    RelayOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") return std::string("help");
        if (i + 1 >= args.size()) return "missing value after " + std::string(arg);
        const std::string_view value = args[++i];
        if (!applyValue(arg, value, options))
            return "bad argument: " + std::string(arg) + " " + std::string(value);
    }
    if (options.targetHost.empty()) return std::string("--target HOST:PORT is required");
    return options;
}

}  // namespace qm::relay
