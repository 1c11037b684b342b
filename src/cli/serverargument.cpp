#include "cli/serverargument.h"

#include "config/configvalues.h"

namespace qm::cli {

std::optional<ServerArgument> parseServerArgument(std::string_view argument, std::string* problem) {
    auto refuse = [problem](const char* why) -> std::optional<ServerArgument> {
        if (problem) *problem = why;
        return std::nullopt;
    };
    ServerArgument result;
    constexpr std::string_view Secure = "nntps://";
    if (argument.starts_with(Secure)) {
        argument.remove_prefix(Secure.size());
        result.tls = true;
    }
    while (!argument.empty() && argument.back() == '/') argument.remove_suffix(1);
    std::string_view host = argument;
    std::string_view port;
    bool portGiven = false;           // "HOST:" gives an empty port, which is no port at all
    if (argument.starts_with('[')) {  // [::1]:563
        const auto close = argument.find(']');
        if (close == std::string_view::npos) return refuse("no HOST in --server");
        host = argument.substr(1, close - 1);
        if (argument.size() > close + 1 && argument[close + 1] == ':') {
            port = argument.substr(close + 2);
            portGiven = true;
        }
    } else if (const auto colon = argument.rfind(':');
               colon != std::string_view::npos && argument.find(':') == colon) {
        host = argument.substr(0, colon);
        port = argument.substr(colon + 1);
        portGiven = true;
    }
    if (host.empty() || host.find_first_of(" \t") != std::string_view::npos)
        return refuse("no HOST in --server");
    // "HOST:abc" would silently mean port 119, "HOST:70000" another port.
    if (portGiven && (port.empty() || serverTextProblem("host " + std::string(port))))
        return refuse("the port in --server must be a number from 1 to 65535");
    if (port.empty() && result.tls) port = "563";
    result.text = std::string(host);
    if (!port.empty()) result.text += " " + std::string(port);
    return result;
}

}  // namespace qm::cli
