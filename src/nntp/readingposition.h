// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A group's reading position on its server ("Last": the last article dealt with), kept in
// the group's folder between runs. Read when a reader selects the group, written at the end
// of every turn after the picture list.
namespace qm {

class AppSettings;
class GroupEntry;

// current := the number in "Last", when there is one.
void readLastFile(const AppSettings& settings, GroupEntry& g);
// Writes current to "Last"; logs "Fail create file <path>" when it cannot. The group's
// article count and decoded files go beside it, to "Counts" ("COUNT DECODED"), so that
// the window shows them after a restart; older versions never read that file.
void writeLastFile(const AppSettings& settings, GroupEntry& g);

}  // namespace qm
