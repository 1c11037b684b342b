// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The --server argument of the commands that talk to a news server: "HOST", "HOST:PORT",
// "[IPv6]:PORT", or a URL: "nntp://HOST[:PORT]" (port 119 by default) or
// "nntps://HOST[:PORT]" for a secure connection (port 563 by default).
#include <optional>
#include <string>
#include <string_view>

namespace qm::cli {

struct ServerArgument {
    std::string text;     // the server box's form: "HOST" or "HOST PORT"
    bool tls = false;     // nntps:// given
    bool scheme = false;  // given as a URL: tls says plain or secure, and the port is set
};

// Nothing when the argument names no host, or a port that is not a number from 1 to 65535,
// or is a URL of another kind or with more than the server in it; problem (when given) then
// says which, as a usage error.
std::optional<ServerArgument> parseServerArgument(std::string_view argument,
                                                  std::string* problem = nullptr);

}  // namespace qm::cli
