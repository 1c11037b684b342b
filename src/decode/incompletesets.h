// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The part collections of the data directory's "tmp" that are still short of parts: a split
// post (uuencoded, its parts stored one file each) or a multi-part yEnc set (its parts written
// into one file, listed in "parts"). A run reports those it added to, so that a set that
// never completes is said by name and by the parts it lacks, not left unseen in "tmp".
//
// Reads the folder only; safe on any thread, while no decode runs in it.
#include <ctime>
#include <string>
#include <vector>

namespace qm {

struct IncompleteSet {
    std::string name;          // the collection (for yEnc, the file's name)
    std::vector<int> missing;  // the part numbers not there, up to total (or the highest there)
    int total = 0;             // 0 when not known: the parts after the highest there are missing
    int highest = 0;           // the highest part there
};

// The collections of tmpDirectory changed at or after since that lack parts.
std::vector<IncompleteSet> incompleteSets(const std::string& tmpDirectory, std::time_t since);

// "NAME: part 3 of 4 missing", "NAME: parts 2, 5 of 7 missing"; with the count not known
// "NAME: part 2 missing, and those after 3", "NAME: the parts after 1 missing".
std::string describeIncompleteSet(const IncompleteSet& set);

}  // namespace qm
