#pragma once
// The --server argument of the commands that talk to a news server: "HOST", "HOST:PORT",
// "[IPv6]:PORT", or "nntps://HOST[:PORT]" for a secure connection (port 563 by default).
#include <optional>
#include <string>
#include <string_view>

namespace qm::cli {

struct ServerArgument {
    std::string text;  // the server box's form: "HOST" or "HOST PORT"
    bool tls = false;  // nntps:// given
};

// Nothing when the argument names no host, or a port that is not a number from 1 to 65535;
// problem (when given) then says which, as a usage error.
std::optional<ServerArgument> parseServerArgument(std::string_view argument,
                                                  std::string* problem = nullptr);

}  // namespace qm::cli
