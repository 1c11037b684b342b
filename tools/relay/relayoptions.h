// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The command line of qmere-relay.
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "relay/relayserver.h"

namespace qm::relay {

// Parses the arguments after the program name. The error text names the faulty argument;
// "help" when --help was asked for.
std::variant<RelayOptions, std::string> parseRelayArguments(std::span<const std::string_view> args);

extern const char* const RelayUsage;

}  // namespace qm::relay
