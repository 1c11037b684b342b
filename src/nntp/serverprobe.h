// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The servers dialog's test of one server: connect (TLS where the entry says so), read the
// greeting and the capabilities, log in when a login is stored, and say what happened, in
// words for the user. Nothing of the password is ever part of the result.
//
// Blocks the calling thread for at most about timeout per step; uses a connection of its
// own, with no prompt and no message box.
#include <chrono>
#include <string>

namespace qm {

class AppSettings;
class ServerEntry;

struct ServerProbe {
    bool connected = false;    // a greeting that allows reading came
    std::string failure;       // why not, when not
    std::string greeting;      // the greeting line as the server sent it
    std::string capabilities;  // the labels listed, blank-separated; empty: none listed
    std::string login;         // "accepted", "refused: <reply>", or "none stored"
};

// The entry's login is tried with what it stores; its stored form is left as it was.
ServerProbe probeServer(AppSettings& settings, const ServerEntry& server,
                        std::chrono::milliseconds timeout = std::chrono::seconds(15));

// The result as the dialog shows it: one line per finding.
std::string describeProbe(const ServerProbe& probe);

}  // namespace qm
