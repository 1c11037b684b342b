// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The login of one run, shared by its connections: the user is asked once per run, and
// every connection that meets 480 goes by that one answer (each logs in with what was given,
// or none asks again). Guarded by AuthLock.
#include <condition_variable>

namespace qm {

struct RunLogin {
    enum class State {
        NotAsked,
        Asking,    // one connection waits for the user; the others wait for its answer
        Given,     // credentials given: every connection logs in with them
        Declined,  // cancelled, or nobody to ask
        Refused,   // the server refused what was given
    };
    State state = State::NotAsked;
    std::condition_variable settled;  // state left Asking
    // Back to NotAsked, at the start of a run (takes AuthLock; never with DecodeLock held).
    void reset();
};

}  // namespace qm
