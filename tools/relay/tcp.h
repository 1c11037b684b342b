// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The few TCP calls the fixture tools share: listening, the port chosen, connecting.
#include <chrono>
#include <string>

#include "newsserver/descriptor.h"

namespace qm::relay {

// Binds and listens on host:port (port 0: any free port). Throws std::runtime_error with the
// reason when the address cannot be bound.
newsd::Descriptor listenOn(const std::string& host, int port);
// The port a socket is bound to; 0 when it cannot be told.
int boundPort(int fd);
// Connects to host:port, trying each address in turn, each within the time limit. Throws
// std::runtime_error with the reason when none accepts.
newsd::Descriptor connectTo(const std::string& host, int port, std::chrono::milliseconds limit);

}  // namespace qm::relay
