// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/profile.h"

#include <charconv>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/settingslock.h"

namespace qm {
namespace {

// A profile larger than this is not ours (or is damaged): it reads as empty, so every value
// takes its default, rather than holding the whole of it in memory.
constexpr size_t MaxProfileBytes = 4 * 1024 * 1024;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// Values are kept on one line: a line end or backslash inside a value is escaped, and so
// are blanks at either end, which a reader trims (hand-edited "Key = Value" lines).
std::string escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        bool atEnd = i == 0 || i + 1 == value.size();
        if (atEnd && c == ' ') {
            out += "\\s";
            continue;
        }
        if (atEnd && c == '\t') {
            out += "\\t";
            continue;
        }
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string unescape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        char next = value[++i];
        switch (next) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 's':
                out += ' ';
                break;
            case 't':
                out += '\t';
                break;
            default:
                out += next;
        }
    }
    return out;
}

// Names are written as they are; one that could not be read back the same is refused.
bool validName(std::string_view name, bool isSection) {
    if (name.empty() || name != trim(name)) return false;
    for (char c : name) {
        if (c == '\n' || c == '\r' || c == '\0') return false;
        if (isSection ? c == ']' : c == '=') return false;
    }
    return isSection || (name.front() != '[' && name.front() != ';' && name.front() != '#');
}

}  // namespace

Profile::Profile(std::string path) : m_path(std::move(path)) {}

Profile::Sections Profile::read() const {
    Sections sections;
    auto content = readWholeFile(m_path);
    if (!content || content->size() > MaxProfileBytes) return sections;
    std::string_view rest(*content);
    std::map<std::string, std::string, std::less<>>* current = nullptr;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            current = close == std::string_view::npos
                          ? nullptr
                          : &sections[std::string(trim(line.substr(1, close - 1)))];
            continue;
        }
        size_t eq = line.find('=');
        if (!current || eq == std::string_view::npos) continue;  // not a key line: ignored
        std::string_view key = trim(line.substr(0, eq));
        if (!key.empty()) (*current)[std::string(key)] = unescape(trim(line.substr(eq + 1)));
    }
    return sections;
}

bool Profile::write(const Sections& sections) const {
    std::string out;
    for (const auto& [name, keys] : sections) {
        if (keys.empty()) continue;
        if (!out.empty()) out += '\n';
        out += '[' + name + "]\n";
        for (const auto& [key, value] : keys) out += key + '=' + escape(value) + '\n';
    }
    return writeFileAtomic(m_path, out);
}

std::string Profile::lockPath() const {
    return settingsLockPath(m_path);
}

Profile::Values Profile::getSection(std::string_view section) const {
    std::lock_guard lock(m_mutex);
    Sections sections = read();
    auto s = sections.find(section);
    return s == sections.end() ? Values() : std::move(s->second);
}

std::string Profile::getString(std::string_view section, std::string_view key,
                               std::string_view fallback) const {
    std::lock_guard lock(m_mutex);
    Sections sections = read();
    auto s = sections.find(section);
    if (s == sections.end()) return std::string(fallback);
    auto k = s->second.find(key);
    return k == s->second.end() ? std::string(fallback) : k->second;
}

std::int32_t Profile::getInt(std::string_view section, std::string_view key,
                             std::int32_t fallback) const {
    std::string text = getString(section, key);
    std::string_view v = trim(text);
    if (!v.empty() && v.front() == '+') v.remove_prefix(1);
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
    // Text that is not wholly a 32-bit integer is as good as missing.
    if (v.empty() || ec != std::errc() || end != v.data() + v.size()) return fallback;
    return value;
}

bool Profile::setString(std::string_view section, std::string_view key, std::string_view value) {
    return setMany(section, {{std::string(key), std::string(value)}});
}

bool Profile::setInt(std::string_view section, std::string_view key, std::int32_t value) {
    return setString(section, key, std::to_string(value));
}

bool Profile::setMany(std::string_view section, const Values& values) {
    return update(section, values, {});
}

bool Profile::update(std::string_view section, const Values& changes, const Values& defaults) {
    if (!validName(section, true)) return false;
    for (const Values* values : {&changes, &defaults})
        for (const auto& entry : *values)
            if (!validName(entry.first, false)) return false;
    std::lock_guard lock(m_mutex);
    auto slash = m_path.rfind('/');
    if (slash != std::string::npos && slash > 0 && makeDirectories(m_path.substr(0, slash)) != 0)
        return false;
    SettingsLock guard(lockPath());
    if (guard.status() == SettingsLock::Status::Busy) return false;
    // Read under the lock: the other program sharing the file may have written keys since.
    Sections sections = read();
    auto& keys = sections[std::string(section)];
    bool changed = false;
    for (const auto& [key, value] : changes) {
        auto [at, added] = keys.try_emplace(key, value);
        if (!added && at->second == value) continue;
        at->second = value;
        changed = true;
    }
    for (const auto& [key, value] : defaults)
        changed = keys.try_emplace(key, value).second || changed;
    return !changed || write(sections);
}

}  // namespace qm
