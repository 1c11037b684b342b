// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The values of the profile section "Config", and the one table that describes them: the
// key's name, its kind, its range and its help (a field's default is its initialiser below).
// Loading, saving, applying, the configuration dialog's fields and `qmere-cli config` with its
// help all go through the table, so a new setting is one field here, one row in
// configKeys() and, for the dialog, one line where its field is placed.
//
// A plain value type: copied freely, no lock of its own. The session keeps the program's
// copy (AppSettings) and is its only writer.
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace qm {

class Profile;

struct ConfigValues {
    std::string dataDirectory;  // "Data": root of the retrieved data
    std::string server;         // "Server": host of the server in use
    std::string browser;        // "Browser": empty hands pages to xdg-open
    int maxThreads = 4;         // "Max Threads"
    std::string killPattern;    // "Kill pattern": exclude pattern list
    int keepText = 0;           // "Keep Text"
    int keepDesc = 0;           // "Keep Desc"
    int keepDup = 1;            // "Keep Dup"
    int keepHeader = 0;         // "Keep Header"
    int freeAlert = 500;        // "Free Alert": megabytes
    int skipShort = 0;          // "Skip short"
    int skipLimit = 500;        // "Skip limit": lines
    // Keys the project adds (the README lists them):
    int firstVisit = 1000;   // "First visit": a never-read group starts with its newest N
                             // articles; 0: with its first
    int firstVisitDays = 0;  // "First visit days": ...or with those of the last D days; 0: off
    int compress = 0;        // "Compress": COMPRESS DEFLATE where the server offers it
    // "Skip duplicate pictures": a decoded picture whose content was recorded before is
    // removed again and not catalogued.
    int skipDuplicatePictures = 1;
    // "Thumbnails": pictures are checked for copies, recorded in the picture database and get
    // their thumbnails and galleries; 0 leaves all of that out (and "Skip duplicate pictures",
    // which needs the records, with it).
    int thumbnails = 1;
    // "Remove par2 files after repair": an NZB's par2 files and the damaged copies the
    // repair kept go once a set is whole again.
    int removePar2AfterRepair = 0;
    // "Use fill servers when the main server is down": a run whose main server cannot be
    // reached (or refuses the login) reads the groups from the first fill server instead.
    int fillWhenMainDown = 0;

    bool operator==(const ConfigValues&) const = default;
};

struct ConfigKey {
    enum class Kind {
        Text,    // at most maxLength characters
        Number,  // an integer, within [minimum, maximum] when they are given
        Flag,    // 0 or 1
        Server,  // "HOST", "HOST PORT" or "HOST:PORT" (see serverTextProblem)
        Fixed,   // shown, loaded and saved, never changed by the user
    };
    std::string_view name;  // the profile key
    Kind kind;
    std::variant<std::string ConfigValues::*, int ConfigValues::*> field;
    std::size_t maxLength = 0;
    std::optional<int> minimum = {};
    std::optional<int> maximum = {};
    std::string_view help = {};  // what the value means, for the command line's help

    // "MIN to MAX" for a key with both; empty otherwise.
    std::string rangeText() const;
    // help with "{range}" replaced by rangeText().
    std::string helpText() const;
};

// Every key, in the order the profile is written.
std::span<const ConfigKey> configKeys();
// By the name a user gives (the command line's "config"); null for an unknown one.
const ConfigKey* findConfigKey(std::string_view name);
// By the value it holds: the program's own way to a key, checked when it compiles. Every field
// of ConfigValues has its key.
const ConfigKey& configKey(int ConfigValues::*field);
const ConfigKey& configKey(std::string ConfigValues::*field);

// The value of key in values as the profile holds it.
std::string configText(const ConfigKey& key, const ConfigValues& values);
// Why text is refused as the value of key (the dialog's wording), or nothing.
std::optional<std::string> configProblem(const ConfigKey& key, std::string_view text);
// Sets key in values from text, which configProblem accepted.
void setConfigText(const ConfigKey& key, ConfigValues& values, std::string_view text);

// What the profile section "Config" held for each key when the values were read: the text
// stored (nothing for a key it did not hold), and the text of the value the load gave the
// key. A save writes only what was changed since, so that a key another program changed
// meanwhile (qmere-cli config beside a fetch) keeps that change.
struct ConfigSnapshot {
    struct Key {
        std::optional<std::string> stored;
        std::string loaded;
    };
    std::map<std::string, Key, std::less<>> keys;  // empty: nothing was read
};

// Reads every key from the profile section "Config" over values (which hold the defaults),
// and, when given, what the section held into snapshot. A number outside its key's range is
// clamped to it, and the correction passed to corrected as a line to log.
void loadConfigValues(const Profile& profile, ConfigValues& values,
                      const std::function<void(std::string_view line)>& corrected,
                      ConfigSnapshot* snapshot = nullptr);
// Writes every key; with a snapshot only the keys whose value differs from it, and those the
// profile did not hold at all (unless another program has written them since). The snapshot
// then holds what was saved. False when the profile could not be written.
bool saveConfigValues(Profile& profile, const ConfigValues& values,
                      ConfigSnapshot* snapshot = nullptr);

// A server as the user may type it: "HOST", "HOST PORT", "HOST:PORT", or an IPv6 address in
// brackets ("[::1]:563", "[::1] 563"); an address with several colons and no brackets is a
// host alone. What follows the port (the rest of a "server.lst" line) is kept as it is.

// Why a server text is refused, or nothing: no host, or a port that is not a number from 1
// to 65535.
std::optional<std::string> serverTextProblem(std::string_view text);
// The server text in the form of a "server.lst" line ("HOST", "HOST PORT", then the rest),
// which ServerEntry::parse reads. Text that serverTextProblem refuses comes back as it is.
std::string serverLine(std::string_view text);

}  // namespace qm
