// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A pair of connected sockets joined as a distant line would join them: every chunk read on
// one side is written to the other a fixed time later, in order, optionally no faster than a
// given rate. Chunks read while earlier ones wait are read at once, so a burst of commands is
// delayed once, not once per command. Used by qmere-relay between a client and a server, and
// by the fixture news server between a client and its session (--latency-ms).
//
// The link owns both descriptors and one thread per direction; stop() and the destructor end
// both and join them. The queries may be called from any thread.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "newsserver/descriptor.h"

namespace qm::relay {

using newsd::Descriptor;

struct LinkOptions {
    std::chrono::microseconds delay{0};  // each way
    double rateMbit = 0;                 // each way; 0: as fast as the sockets go
    // Bytes held in one direction before its reading side is left to wait; keeps memory
    // bounded when the receiving side is slow.
    std::size_t queueLimit = 8u << 20;
};

class DelayedLink {
  public:
    enum Direction { AtoB = 0, BtoA = 1 };

    // Takes two connected stream sockets and starts relaying between them. Sets TCP_NODELAY on
    // both (for TCP sockets) and acknowledges every read at once, so that neither end waits
    // for a delayed acknowledgement that a real line would not add.
    DelayedLink(Descriptor a, Descriptor b, const LinkOptions& options);
    ~DelayedLink();
    DelayedLink(const DelayedLink&) = delete;
    DelayedLink& operator=(const DelayedLink&) = delete;

    // Ends both directions at once, delivered or not, and joins their threads.
    void stop();
    // Both directions have ended. A direction ends when its reading side reaches its end (or
    // fails) and every byte read from it was delivered; the other side is then shut down for
    // writing, as the end would travel down a line. It also ends when its writing side fails:
    // what it held is dropped and it stops reading.
    bool finished() const { return m_running.load() == 0; }
    // Bytes delivered in one direction so far.
    std::uint64_t delivered(Direction direction) const { return m_delivered[direction].load(); }

  private:
    void pump(Direction direction);

    const LinkOptions m_options;
    Descriptor m_side[2];
    Descriptor m_wake;  // an eventfd, readable once stop() was called
    std::atomic<int> m_running{2};
    std::atomic<std::uint64_t> m_delivered[2]{};
    std::thread m_threads[2];
};

}  // namespace qm::relay
