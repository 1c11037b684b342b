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
    if (!portGiven && result.tls) result.text += " 563";
    return result;
}

}  // namespace qm::cli
