// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a group that was never read starts: with its newest N articles ("First visit", counted
// with LAST back from the newest, so numbers that hold no article do not count), or
// with those of the last D days ("First visit days"), found by a binary search over the
// article numbers that asks the server for the Date of a few articles at a time (HDR Date,
// else the overview, else HEAD): about log2 of the group's range in round trips, never the
// whole overview. One per reader run, on the reader's thread.
#include <cstdint>
#include <ctime>
#include <optional>

namespace qm {

class GroupEntry;
class RetrievalSteps;

class FirstVisit {
  public:
    // firstVisit, firstVisitDays: the settings (or the run's options) in force.
    FirstVisit(RetrievalSteps& steps, int firstVisit, int firstVisitDays)
        : m_steps(steps), m_newest(firstVisit), m_days(firstVisitDays) {}

    // The number of the first article to read in a group whose range GROUP has just given
    // (between its first article and last + 1, which means nothing to read); now: the time
    // the days count back from.
    std::int64_t start(GroupEntry& group, std::time_t now);

  private:
    struct Dated {
        std::int64_t number = 0;
        std::int64_t time = 0;
    };
    struct Probe {
        std::optional<Dated> found;  // the first article probed that has a date
        std::int64_t through = 0;    // the numbers up to this one were looked at
    };
    // The number of the N-th newest article ("First visit" N): articles, not numbers.
    std::int64_t newestStart(std::int64_t first, std::int64_t last);
    // The smallest article number of first..last whose date is at or after cutoff; last + 1
    // when there is none.
    std::int64_t searchByDate(std::int64_t first, std::int64_t last, std::int64_t cutoff);
    // The first article from `from` on (up to `to`) that exists and has a date the parser
    // reads.
    Probe probe(std::int64_t from, std::int64_t to);
    Probe probeHeaders(std::int64_t from, std::int64_t to);
    Probe probeOverview(std::int64_t from, std::int64_t to);
    Probe probeArticles(std::int64_t from, std::int64_t to);
    // After a probe that was not answered as asked: the connection is still there and the
    // server wants no login.
    void check();

    RetrievalSteps& m_steps;
    int m_newest;
    int m_days;
    GroupEntry* m_group = nullptr;  // the group start() works for
};

}  // namespace qm
