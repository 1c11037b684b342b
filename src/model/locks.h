// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program-wide locks and the exit flag.
//
// Lock order: DecodeLock may be held while PictureListLock is taken (a decoded file is
// recorded in its group's picture list), never the other way round. No thread ever holds
// DecodeLock and AuthLock together.
#include <atomic>
#include <mutex>

namespace qm {

// Running-reader count, the readers' pending group sets, duplicate checks and updates of the
// message-id index, decoding (the decoder is not re-entrant), saving the index, and the
// once-per-run connection failure flag.
inline std::mutex DecodeLock;

// The run's login: who asks the user for NNTP credentials, and the answer (never held while
// the prompt is up).
inline std::mutex AuthLock;

// Every picture list access, load and save. Re-entrant: saving and setting load the list
// while holding it.
inline std::recursive_mutex PictureListLock;

// Set once when the program closes; every NNTP stop check then throws "Program exit".
inline std::atomic<bool> ProgramExiting{false};

}  // namespace qm
