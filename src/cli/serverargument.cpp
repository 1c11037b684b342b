#include "cli/serverargument.h"

namespace qm::cli {

std::optional<ServerArgument> parseServerArgument(std::string_view argument) {
    ServerArgument result;
    constexpr std::string_view Secure = "nntps://";
    if (argument.starts_with(Secure)) {
        argument.remove_prefix(Secure.size());
        result.tls = true;
    }
    while (!argument.empty() && argument.back() == '/') argument.remove_suffix(1);
    std::string_view host = argument;
    std::string_view port;
    if (argument.starts_with('[')) {  // [::1]:563
        const auto close = argument.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = argument.substr(1, close - 1);
        if (argument.size() > close + 1 && argument[close + 1] == ':')
            port = argument.substr(close + 2);
    } else if (const auto colon = argument.rfind(':');
               colon != std::string_view::npos && argument.find(':') == colon) {
        host = argument.substr(0, colon);
        port = argument.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
    if (port.empty() && result.tls) port = "563";
    result.text = std::string(host);
    if (!port.empty()) result.text += " " + std::string(port);
    return result;
}

}  // namespace qm::cli
