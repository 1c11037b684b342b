// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One group read through its overview by one or several readers at once, for one run: the
// overview windows that one reader at a time asks for, the accepted article numbers they give,
// handed out to every reader working on the group (each fetches and decodes its own on its
// own connection), and the group's reading position, which moves only over the contiguous
// prefix of numbers dealt with. A kill or a stop therefore never skips a number and repeats
// at most the articles that were in flight.
//
// Owned by GroupTurns for one run; every reader on the group calls it from its own thread.
// All state is guarded by the turn's own mutex. Lock order: that mutex is never held while
// DecodeLock, PictureListLock or AuthLock is taken, and never taken while one of them is held
// (a reader decodes between its calls here, never inside one). GroupTurns' mutex may be held
// when it is taken, never the other way round.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "nntp/overviewwindow.h"

namespace qm {

class GroupEntry;

// An article number a window accepted (or only knows may exist), with what the overview said.
struct TurnItem {
    std::int64_t number = 0;
    std::int64_t bytes = 0;
    WindowAsk::Kind kind = WindowAsk::Kind::Listed;
    std::string messageId;  // the overview's, when it gave one
};

class SharedGroupTurn {
  public:
    using Ticket = std::uint64_t;
    // The numbers a window starts with and what earlier windows learnt.
    struct WindowClaim {
        std::int64_t from = 0;
        std::int64_t span = 0;
        std::int64_t known = -1;
    };

    // The group's position (its GroupStats current) is where the turn starts.
    explicit SharedGroupTurn(GroupEntry& group);
    SharedGroupTurn(const SharedGroupTurn&) = delete;
    SharedGroupTurn& operator=(const SharedGroupTurn&) = delete;

    GroupEntry& group() const { return m_group; }

    // A reader starts and ends working on the group (the monitor shows how many do).
    void join();
    void leave();
    int readers() const;

    // The next window for the caller to ask for, when nobody asks for one now, numbers beyond
    // the windows so far remain, the group goes on and fewer than lowBytes of accepted
    // articles wait to be handed out. The caller then owns the claim until addWindow or
    // dropClaim.
    std::optional<WindowClaim> claimWindow(std::int64_t lowBytes);
    // What the claimed window gave: its articles in number order, its end (the last number
    // it covers), tail: past the last article known, so only an article found there moves the
    // position; span and known for the next window.
    void addWindow(std::int64_t end, bool tail, std::vector<TurnItem> items, std::int64_t span,
                   std::int64_t known);
    // The claim is given back without a window (the server gave no overview, or the reader
    // left).
    void dropClaim();
    // The server has no overview for the group: the walk reads it, nobody helps.
    void setOverviewless();
    bool overviewless() const;
    // An article number seen to exist, for the next window's NEXT.
    void noteKnown(std::int64_t number);

    // The next article to fetch (a given-back one first): when its bytes fit in room, or
    // always when force. Nothing when none waits.
    std::optional<std::pair<Ticket, TurnItem>> take(std::int64_t room, bool force);
    // Dealt with (decoded, filtered, not on the server): the position may move over it, or
    // only up to it when advance is false (a number past the last article known, not found).
    void done(Ticket ticket, bool advance = true);
    // Not dealt with and not to be asked again in this run (answered with another article):
    // the position stays before it, and no further window is asked for.
    void fail(Ticket ticket);
    // Not fetched after all (its reader left): handed out again.
    void release(Ticket ticket);
    // The group stops for this run: nothing more is handed out or asked for.
    void stop();
    bool stopped() const;

    // Every number up to the group's last article is dealt with: true for exactly one caller,
    // who says so and marks the group finished.
    bool claimFinish();
    // Nothing more will come: finished, stopped, or a window failed and the rest is dealt
    // with.
    bool over() const;
    // Accepted articles not yet handed out, in bytes.
    std::int64_t queuedBytes() const;
    // The bytes of the articles not yet dealt with, waiting or in flight.
    std::int64_t remainingBytes() const;
    // The reading position: every number up to it is dealt with.
    std::int64_t position() const;

    // Waits until something changes, at most timeout.
    void wait(std::chrono::milliseconds timeout);

  private:
    enum class State { Queued, Taken, Done, Failed };
    struct Slot {
        TurnItem item;
        State state = State::Queued;
        bool marker = false;  // a window's end: done from the start, moves the position there
        bool advance = true;  // when done, the position may move to its number
    };
    Slot& slot(Ticket ticket);
    // Moves the position over the done prefix; the caller holds m_mutex.
    void settle();
    bool idleLocked() const;
    bool finishedLocked() const;

    GroupEntry& m_group;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Slot> m_slots;  // from the first number not dealt with, in number order
    Ticket m_base = 0;         // the ticket of m_slots.front()
    Ticket m_next = 0;         // the first slot never handed out
    std::set<Ticket> m_released;
    std::int64_t m_queuedBytes = 0;
    std::size_t m_queued = 0;       // slots waiting to be handed out
    std::int64_t m_takenBytes = 0;  // of the slots handed out and not yet settled
    int m_taken = 0;                // slots handed out and not yet done, failed or given back
    std::int64_t m_position = -1;
    std::int64_t m_planned = -1;  // the last number the windows so far cover
    std::int64_t m_span = 0;
    std::int64_t m_known = -1;
    int m_readers = 0;
    bool m_claimed = false;
    bool m_overviewless = false;
    bool m_stopped = false;
    bool m_blocked = false;  // a failed article: no further window
    bool m_finishClaimed = false;
};

}  // namespace qm
