// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The work of one reader thread: passes over its groups in turns, so that one thread serving
// several groups visits all of them in rotation. Each turn reads a group through its overview
// where the server has one (OverviewTurn), else article by article (WalkTurn); a group never
// read before starts where FirstVisit says; each group's reading position and picture list
// are written at the end of its turn.
//
// Created by the reader procedure on its own thread for one run and used only there; it
// A reader whose own groups are done helps where others still read (GroupTurns).
//
// borrows the settings, the decoder, the reader record (groups, batch, stop state), the
// reader's connection and its SavedArticle, and the run's shared state and options. DecodeLock
// is taken for the duplicate checks, for the index update plus decoding, and around the
// reader's group sets; never held across network reads.
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "nntp/connectioncap.h"
#include "nntp/firstvisit.h"
#include "nntp/groupturns.h"
#include "nntp/overviewturn.h"
#include "nntp/retrievalsteps.h"
#include "nntp/walkturn.h"

namespace qm {

class AppSettings;
class Decoder;
class GroupEntry;
class ReaderThread;
class SavedArticle;
struct ReaderRunState;

class RetrievalLoop {
  public:
    RetrievalLoop(AppSettings& settings, Decoder& decoder, ReaderThread& reader,
                  SavedArticle& article, ReaderRunState& run, const RunOptions& options,
                  GroupTurns& turns, const ConnectionCap& cap, std::function<bool()> groupsToCome);

    // Runs passes until one finds no eligible group and nothing new was assigned; then helps
    // the readers of groups read through their overview until none has work left. Throws
    // NNTPQuitException on a stop request, on program exit, when the connection is lost,
    // when the server wants a login that was not given and when the disk is full.
    void run();
    // Why groups of this run were left unread (a group folder that cannot be made, a login
    // not given, a file that could not be written), for the run's outcome; empty when
    // nothing was.
    const std::vector<std::string>& failures() const { return m_steps.failures(); }

  private:
    // One pass over the reader's groups; the number of groups that got a turn.
    int pass();
    // GROUP, after the saved reading position was read; false when the group is skipped.
    bool selectGroup(GroupEntry& group);
    // The reading position checked against the server's range: a group never read starts
    // where FirstVisit says, one whose range moved past its position at its first article.
    void positionGroup(GroupEntry& group);
    // Whether a group whose last article lies below its reading position was numbered anew:
    // none of its newest articles (STAT, RenumberProbes of them in one write) was ever
    // retrieved. A lagging backend shows articles retrieved already.
    bool renumbered(GroupEntry& group);
    static constexpr std::int64_t RenumberProbes = 8;
    // False (and the group left out of the run) when its folder cannot be made.
    bool prepareGroup(GroupEntry& group);
    void turn(GroupEntry& group, bool onlyGroup);
    // Joins the readers of a group that still has work; false when none has and none is to
    // come (groupsToCome: a group of a running reader has not started its turn yet), or when
    // a reader with groups of its own waits for this one's connection place.
    bool help();

    AppSettings& m_settings;
    ReaderThread& m_reader;
    RunOptions m_options;
    RetrievalSteps m_steps;
    WalkTurn m_walk;
    OverviewTurn m_overview;
    FirstVisit m_firstVisit;
    GroupTurns& m_turns;
    const ConnectionCap& m_cap;
    std::function<bool()> m_groupsToCome;
    // Groups whose folder has been cleared of abandoned decoding files in this run.
    std::set<GroupEntry*> m_swept;
};

}  // namespace qm
