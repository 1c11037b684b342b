// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/serverargument.h"

#include <algorithm>
#include <cctype>

#include "config/configvalues.h"

namespace qm::cli {

std::optional<ServerArgument> parseServerArgument(std::string_view argument, std::string* problem) {
    auto refuse = [problem](std::string why) -> std::optional<ServerArgument> {
        if (problem) *problem = std::move(why);
        return std::nullopt;
    };
    ServerArgument result;
    if (const auto end = argument.find("://"); end != std::string_view::npos) {
        std::string scheme(argument.substr(0, end));
        std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (scheme != "nntp" && scheme != "nntps")
            return refuse("--server takes HOST[:PORT], nntp://HOST[:PORT] or nntps://HOST[:PORT]");
        result.scheme = true;
        result.tls = scheme == "nntps";
        argument.remove_prefix(end + 3);
        // A URL may name a group or carry a login; neither belongs in the server's entry.
        const auto path = argument.find('/');
        if (path != std::string_view::npos &&
            argument.find_first_not_of('/', path) != std::string_view::npos)
            return refuse("a URL in --server names the server only, not a group");
        argument = argument.substr(0, path);
        if (argument.find('@') != std::string_view::npos)
            return refuse("give the login with --user, not in the URL of --server");
    }
    while (!argument.empty() && argument.back() == '/') argument.remove_suffix(1);
    // One word: the box's "HOST PORT" form would read as two arguments on a command line.
    if (argument.empty() || argument.find_first_of(" \t") != std::string_view::npos)
        return refuse("no HOST in --server");
    // "HOST:abc" would silently mean port 119, "HOST:70000" another port.
    if (auto why = serverTextProblem(argument))
        return refuse(*why == "Please enter a server host."
                          ? "no HOST in --server"
                          : "the port in --server must be a number from 1 to 65535");
    result.text = serverLine(argument);
    const bool portGiven = result.text.find(' ') != std::string::npos;
    // A URL's port is its scheme's unless given, whatever port the host had before.
    if (!portGiven && result.scheme) result.text += result.tls ? " 563" : " 119";
    return result;
}

}  // namespace qm::cli
