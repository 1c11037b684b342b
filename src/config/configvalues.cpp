// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/configvalues.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <stdexcept>

#include "config/serverentry.h"
#include "platform/profile.h"

namespace qm {
namespace {

constexpr std::string_view Section = "Config";

using Kind = ConfigKey::Kind;
using V = ConfigValues;

// The profile's keys in the order they are saved, with what `qmere-cli config --help` says of
// each ("{range}" is the key's range, "MIN to MAX").
// clang-format off
const ConfigKey Keys[] = {
    {"Data", Kind::Text, &V::dataDirectory, 1024, {}, {},
     "the data directory, at most 1024 characters; created if missing; a relative path is "
     "taken from the current folder and stored absolute"},
    {"Server", Kind::Server, &V::server, 255, {}, {},
     "the news server: HOST, \"HOST PORT\" or HOST:PORT (PORT 1 to 65535); the port goes to "
     "server.lst"},
    {"Browser", Kind::Text, &V::browser, 256, {}, {},
     "the web browser program, at most 256 characters (empty: xdg-open)"},
    {"Max Threads", Kind::Number, &V::maxThreads, 0, 1, 24,
     "reader threads, {range} (takes effect at the next start)"},
    {"Kill pattern", Kind::Text, &V::killPattern, 256, {}, {},
     "exclude pattern list, at most 256 characters; an article whose subject matches every "
     "word (a regular expression each) is skipped; empty: off"},
    {"Keep Text", Kind::Flag, &V::keepText, 0, 0, 1,
     "0/1: keep the saved article text after decoding"},
    {"Keep Desc", Kind::Flag, &V::keepDesc, 0, 0, 1, "0/1: save descriptions"},
    {"Keep Dup", Kind::Flag, &V::keepDup, 0, 0, 1,
     "0/1: 1 writes a new file beside an existing one, 0 overwrites it"},
    {"Keep Header", Kind::Fixed, &V::keepHeader, 0, {}, {}, "shown only; it is kept as it is"},
    {"Free Alert", Kind::Number, &V::freeAlert, 0, {}, {},
     "low-water mark of free disk space, in MB (an integer)"},
    {"Skip short", Kind::Flag, &V::skipShort, 0, 0, 1,
     "0/1: skip articles of at most \"Skip limit\" lines"},
    {"Skip limit", Kind::Number, &V::skipLimit, 0, {}, {},
     "line limit of \"Skip short\" (an integer)"},
    {"First visit", Kind::Number, &V::firstVisit, 0, 0, 100000000,
     "a group never read before starts with its newest N articles, {range} (1000; 0: with "
     "its first article)"},
    {"First visit days", Kind::Number, &V::firstVisitDays, 0, 0, 36500,
     "...or with the articles of the last N days, {range} (0: off)"},
    {"Compress", Kind::Flag, &V::compress, 0, 0, 1,
     "0/1: compress what the server sends (COMPRESS DEFLATE) where it offers it"},
    {"Skip duplicate pictures", Kind::Flag, &V::skipDuplicatePictures, 0, 0, 1,
     "0/1: 1 removes a decoded picture whose content was recorded before (a copy under "
     "another name) and does not catalogue it; it is not fetched again (default 1)"},
    {"Thumbnails", Kind::Flag, &V::thumbnails, 0, 0, 1,
     "0/1: 1 records every decoded picture in the picture database and makes its thumbnail "
     "and gallery cell; 0 leaves that out (and with it \"Skip duplicate pictures\") (default "
     "1)"},
    {"Remove par2 files after repair", Kind::Flag, &V::removePar2AfterRepair, 0, 0, 1,
     "0/1: 1 removes an NZB's par2 files and the damaged copies once par2 has repaired its "
     "set (default 0)"},
    {"Use fill servers when the main server is down", Kind::Flag, &V::fillWhenMainDown, 0, 0, 1,
     "0/1: 1 reads the groups from the first fill server that takes the connection when the "
     "main server refuses it, times out or refuses the login (default 0)"},
};
// clang-format on

std::optional<int> parseInt(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view nextWord(std::string_view& text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    std::size_t n = 0;
    while (n < text.size() && !isBlank(text[n])) ++n;
    std::string_view word = text.substr(0, n);
    text.remove_prefix(n);
    return word;
}

// A server text taken apart: the host, the port when one is given (possibly empty or not a
// number: "HOST:" names a port that is none), and what follows.
struct ServerText {
    std::string_view host;
    std::string_view port;
    bool hasPort = false;
    std::string_view rest;
};

ServerText splitServerText(std::string_view text) {
    ServerText split;
    std::string_view first = nextWord(text);
    if (first.starts_with('[')) {
        const auto close = first.find(']');
        if (close == std::string_view::npos) return split;  // no host
        split.host = first.substr(1, close - 1);
        const std::string_view after = first.substr(close + 1);
        if (!after.empty() && after.front() != ':') return ServerText{};
        if (!after.empty()) {
            split.port = after.substr(1);
            split.hasPort = true;
        }
    } else if (const auto colon = first.find(':');
               colon != std::string_view::npos && first.rfind(':') == colon) {
        split.host = first.substr(0, colon);
        split.port = first.substr(colon + 1);
        split.hasPort = true;
    } else {
        split.host = first;
    }
    if (!split.hasPort) {
        std::string_view afterHost = text;
        split.port = nextWord(afterHost);
        if (!split.port.empty()) {
            split.hasPort = true;
            text = afterHost;
        }
    }
    split.rest = text;
    return split;
}

}  // namespace

std::string ConfigKey::rangeText() const {
    if (!minimum || !maximum) return {};
    return std::to_string(*minimum) + " to " + std::to_string(*maximum);
}

std::string ConfigKey::helpText() const {
    std::string text(help);
    constexpr std::string_view Range = "{range}";
    if (const std::size_t at = text.find(Range); at != std::string::npos)
        text.replace(at, Range.size(), rangeText());
    return text;
}

std::span<const ConfigKey> configKeys() {
    return Keys;
}

const ConfigKey* findConfigKey(std::string_view name) {
    for (const ConfigKey& key : Keys)
        if (key.name == name) return &key;
    return nullptr;
}

namespace {

template <typename Field>
const ConfigKey& keyHolding(Field field) {
    for (const ConfigKey& key : Keys)
        if (const auto* held = std::get_if<Field>(&key.field); held && *held == field) return key;
    // A field without its row is a fault of the table, found by the first test that asks.
    throw std::logic_error("a setting without its row in the settings table");
}

}  // namespace

const ConfigKey& configKey(int ConfigValues::*field) {
    return keyHolding(field);
}

const ConfigKey& configKey(std::string ConfigValues::*field) {
    return keyHolding(field);
}

std::string configText(const ConfigKey& key, const ConfigValues& values) {
    if (auto* text = std::get_if<std::string ConfigValues::*>(&key.field)) return values.**text;
    return std::to_string(values.*std::get<int ConfigValues::*>(key.field));
}

std::optional<std::string> configProblem(const ConfigKey& key, std::string_view text) {
    switch (key.kind) {
        case Kind::Text:
            if (text.size() > key.maxLength)
                return "Please enter no more than " + std::to_string(key.maxLength) +
                       " characters.";
            return std::nullopt;
        case Kind::Server:
            return serverTextProblem(text);
        case Kind::Fixed:
            return std::string(key.name) + " cannot be changed.";
        case Kind::Number:
        case Kind::Flag: {
            auto n = parseInt(text);
            if (!n) return std::string("Please enter an integer.");
            if ((key.minimum && *n < *key.minimum) || (key.maximum && *n > *key.maximum))
                return "Please enter an integer between " +
                       std::to_string(key.minimum.value_or(0)) + " and " +
                       std::to_string(key.maximum.value_or(0)) + ".";
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void setConfigText(const ConfigKey& key, ConfigValues& values, std::string_view text) {
    if (auto* field = std::get_if<std::string ConfigValues::*>(&key.field)) {
        values.** field = std::string(text);
    } else if (auto n = parseInt(text)) {
        values.*std::get<int ConfigValues::*>(key.field) = *n;
    }
}

void loadConfigValues(const Profile& profile, ConfigValues& values,
                      const std::function<void(std::string_view line)>& corrected,
                      ConfigSnapshot* snapshot) {
    // One read: the values and the snapshot are of the same file.
    const Profile::Values stored = profile.getSection(Section);
    if (snapshot) snapshot->keys.clear();
    for (const ConfigKey& key : Keys) {
        const auto found = stored.find(key.name);
        const std::optional<std::string> text =
            found == stored.end() ? std::nullopt : std::optional<std::string>(found->second);
        if (auto* field = std::get_if<std::string ConfigValues::*>(&key.field)) {
            if (text) values.** field = *text;
        } else {
            int& value = values.*std::get<int ConfigValues::*>(key.field);
            const int number = text ? parseInt(*text).value_or(value) : value;
            // A hand-edited profile must not start 99999 readers.
            value = std::clamp(number, key.minimum.value_or(number), key.maximum.value_or(number));
            if (value != number && corrected)
                corrected("Setting \"" + std::string(key.name) + "\" " + std::to_string(number) +
                          " is out of range (" + std::to_string(*key.minimum) + " to " +
                          std::to_string(*key.maximum) + "): " + std::to_string(value) +
                          " is used");
        }
        if (snapshot) snapshot->keys[std::string(key.name)] = {text, configText(key, values)};
    }
}

bool saveConfigValues(Profile& profile, const ConfigValues& values, ConfigSnapshot* snapshot) {
    Profile::Values changes, defaults;
    for (const ConfigKey& key : Keys) {
        std::string text = configText(key, values);
        const ConfigSnapshot::Key* was = nullptr;
        if (snapshot) {
            const auto known = snapshot->keys.find(key.name);
            if (known != snapshot->keys.end()) was = &known->second;
        }
        if (!was || text != was->stored.value_or(was->loaded))
            changes.emplace(key.name, std::move(text));
        else if (!was->stored)
            defaults.emplace(key.name, std::move(text));
    }
    if (!profile.update(Section, changes, defaults)) return false;
    if (snapshot) {
        snapshot->keys.clear();
        for (const ConfigKey& key : Keys) {
            std::string text = configText(key, values);
            snapshot->keys[std::string(key.name)] = {text, text};
        }
    }
    return true;
}

std::optional<std::string> serverTextProblem(std::string_view text) {
    const ServerText split = splitServerText(text);
    if (split.host.empty()) return std::string("Please enter a server host.");
    if (!split.hasPort) return std::nullopt;
    // A port must be a whole number that a TCP port can be (a bigger one would wrap around to
    // another port, and "abc" would silently mean 119).
    auto n = parseInt(split.port);
    if (!n || *n < 1 || *n > 65535) return std::string("Please enter a port between 1 and 65535.");
    return std::nullopt;
}

std::string serverLine(std::string_view text) {
    if (serverTextProblem(text)) return std::string(text);
    const ServerText split = splitServerText(text);
    std::string line(split.host);
    if (split.hasPort) line += " " + std::string(split.port);
    line += split.rest;
    return line;
}

}  // namespace qm
