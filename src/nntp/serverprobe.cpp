// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/serverprobe.h"

#include <cstring>
#include <exception>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "config/serverentry.h"
#include "model/locks.h"
#include "nntp/frontendevents.h"
#include "nntp/nntpconnection.h"
#include "nntp/readerrunstate.h"

namespace qm {

ServerProbe probeServer(AppSettings& settings, const ServerEntry& server,
                        std::chrono::milliseconds timeout) {
    ServerProbe probe;
    // A copy: a refused login clears the flag of the entry it runs on, and the user's stored
    // entry must not change because of a test.
    ServerEntry entry(server);
    const bool stored = ServerEntry::hasCredentials(entry.credentials());
    if (stored) entry.setAuthFlag(1);
    ReaderRunState run;
    run.ConnectFailureReported = 1;
    run.login.state = RunLogin::State::Declined;
    FrontendEvents events(settings.frontend(), run);
    NNTPConnection connection(events, run.login);
    connection.setServer(&entry);
    connection.setCompression(settings.compress != 0);
    connection.setReporting(NNTPConnection::Reporting::Quiet);
    connection.setTimeout(timeout);
    try {
        const int error = connection.connect();
        probe.greeting = connection.greeting();
        if (connection.state() != NNTPConnection::Ready) {
            probe.failure = !connection.connectFailure().empty() ? connection.connectFailure()
                            : error > 0                          ? std::string(std::strerror(error))
                                                                 : std::string("cannot connect");
            return probe;
        }
        probe.connected = true;
        probe.capabilities = connection.capabilities().labels;
        if (!stored)
            probe.login = "none stored";
        else if (connection.loginRefused())
            probe.login = "refused: " + connection.lastReply().text();
        else
            probe.login = "accepted";
        connection.quit();
    } catch (const std::exception& error) {
        probe.connected = false;
        probe.failure = error.what();
    }
    return probe;
}

std::string describeProbe(const ServerProbe& probe) {
    std::string text;
    if (!probe.greeting.empty()) text += "Greeting: " + probe.greeting + "\n";
    if (!probe.connected) return text + "Failed: " + probe.failure;
    text += "Capabilities: " + (probe.capabilities.empty() ? "none listed" : probe.capabilities);
    text += "\nLogin: " + probe.login;
    return text;
}

}  // namespace qm
