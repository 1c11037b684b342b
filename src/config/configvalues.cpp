#include "config/configvalues.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>

#include "config/serverentry.h"
#include "platform/profile.h"

namespace qm {
namespace {

constexpr std::string_view Section = "Config";

using Kind = ConfigKey::Kind;
using V = ConfigValues;

// The profile's keys in the order they are saved.
const std::array<ConfigKey, 13> Keys{{
    {"Data", Kind::Text, &V::dataDirectory, 1024},
    {"Server", Kind::Server, &V::server, 255},
    {"Browser", Kind::Text, &V::browser, 256},
    {"Max Threads", Kind::Number, &V::maxThreads, 0, 1, 24},
    {"Kill pattern", Kind::Text, &V::killPattern, 256},
    {"Keep Text", Kind::Flag, &V::keepText, 0, 0, 1},
    {"Keep Desc", Kind::Flag, &V::keepDesc, 0, 0, 1},
    {"Keep Dup", Kind::Flag, &V::keepDup, 0, 0, 1},
    {"Keep Header", Kind::Fixed, &V::keepHeader},
    {"Free Alert", Kind::Number, &V::freeAlert},
    {"Skip short", Kind::Flag, &V::skipShort, 0, 0, 1},
    {"Skip limit", Kind::Number, &V::skipLimit},
    {"Skip duplicate pictures", Kind::Flag, &V::skipDuplicatePictures, 0, 0, 1},
}};

std::optional<int> parseInt(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::span<const ConfigKey> configKeys() {
    return Keys;
}

const ConfigKey* findConfigKey(std::string_view name) {
    for (const ConfigKey& key : Keys)
        if (key.name == name) return &key;
    return nullptr;
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
                      const std::function<void(std::string_view line)>& corrected) {
    for (const ConfigKey& key : Keys) {
        if (auto* text = std::get_if<std::string ConfigValues::*>(&key.field)) {
            values.** text = profile.getString(Section, key.name, values.**text);
            continue;
        }
        int& value = values.*std::get<int ConfigValues::*>(key.field);
        const int stored = profile.getInt(Section, key.name, value);
        // A hand-edited profile must not start 99999 readers.
        value = std::clamp(stored, key.minimum.value_or(stored), key.maximum.value_or(stored));
        if (value != stored && corrected)
            corrected("Setting \"" + std::string(key.name) + "\" " + std::to_string(stored) +
                      " is out of range (" + std::to_string(*key.minimum) + " to " +
                      std::to_string(*key.maximum) + "): " + std::to_string(value) + " is used");
    }
}

bool saveConfigValues(Profile& profile, const ConfigValues& values) {
    std::map<std::string, std::string, std::less<>> pairs;
    for (const ConfigKey& key : Keys) pairs.emplace(key.name, configText(key, values));
    return profile.setMany(Section, pairs);
}

std::optional<std::string> serverTextProblem(std::string_view text) {
    // The fields "%s%d": a host, then optionally a port, which must be a whole number that a
    // TCP port can be (a bigger one would wrap around to another port).
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    auto skip = [&] {
        while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    };
    auto word = [&] {
        skip();
        std::size_t n = 0;
        while (n < text.size() && !blank(text[n])) ++n;
        std::string_view w = text.substr(0, n);
        text.remove_prefix(n);
        return w;
    };
    if (word().empty()) return std::string("Please enter a server host.");
    std::string_view port = word();
    if (port.empty()) return std::nullopt;
    auto n = parseInt(port);
    if (!n || *n < 1 || *n > 65535) return std::string("Please enter a port between 1 and 65535.");
    return std::nullopt;
}

}  // namespace qm
