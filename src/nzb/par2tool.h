// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Verifies and repairs a set of files with the par2 tool (par2cmdline, run as a program in
// the set's folder), and reads what it says: how many data blocks are missing and how many
// recovery blocks the set's volumes hold.
//
// Plain functions; safe on any thread. The tool is optional: without it every call says so.
#include <optional>
#include <string>
#include <string_view>

namespace qm {

struct Par2Verify {
    bool toolMissing = false;  // par2 could not be run
    bool complete = false;     // every file of the set is whole
    bool possible = false;     // a repair would succeed with the volumes present
    int missingBlocks = 0;     // data blocks missing or damaged
    int recoveryBlocks = 0;    // recovery blocks in the volumes present
    std::string output;        // what the tool said, for the log
};

// "par2 verify" of the set whose index file is indexName in folder.
Par2Verify par2Verify(const std::string& folder, const std::string& indexName);
// "par2 repair" (with purge: the par2 files and the damaged copies go after success). True
// when the tool said the repair is complete.
bool par2Repair(const std::string& folder, const std::string& indexName, bool purge,
                std::string* output = nullptr);

// Reads the tool's verify output.
Par2Verify parsePar2Output(std::string_view output);

// The number of recovery blocks a volume's name promises ("set.vol03+04.par2": 4); nothing
// for a name that is no volume (the index file).
std::optional<int> par2VolumeBlocks(std::string_view name);
// The index name of the set a par2 file belongs to ("set.vol03+04.par2" and "set.par2":
// "set.par2"); nothing when name is no par2 file.
std::optional<std::string> par2IndexName(std::string_view name);

}  // namespace qm
