// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/incompletesets.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <set>
#include <system_error>

#include "decode/yencassembler.h"
#include "platform/file.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// Lists and counts are small; a larger file is not one of ours.
constexpr std::uintmax_t MaxListBytes = 16 << 20;
// Numbers past this are no part numbers the assemblers store.
constexpr int MaxPart = 100000;

std::optional<int> number(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 ||
        value > MaxPart)
        return std::nullopt;
    return value;
}

std::optional<std::string> smallFile(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size > MaxListBytes) return std::nullopt;
    return readWholeFile(path.string());
}

std::vector<int> absent(const std::set<int>& present, int total) {
    std::vector<int> missing;
    for (int n = 1; n <= total; ++n)
        if (!present.contains(n)) missing.push_back(n);
    return missing;
}

// "yenc-SIZE-NAME": its "parts" list says what is there.
std::optional<IncompleteSet> yencSet(const fs::path& dir, std::string_view folder) {
    folder.remove_prefix(5);
    const std::size_t dash = folder.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    std::uint64_t size = 0;
    auto [end, ec] = std::from_chars(folder.data(), folder.data() + dash, size);
    if (ec != std::errc() || end != folder.data() + dash) return std::nullopt;
    IncompleteSet set;
    set.name = std::string(folder.substr(dash + 1));
    const std::string list = smallFile(dir / "parts").value_or("");
    const std::vector<YencStoredPart> parts = parseStoredParts(list, size);
    std::set<int> present;
    for (const YencStoredPart& part : parts) {
        present.insert(part.part);
        set.total = std::max(set.total, std::min(part.total, MaxPart));
        set.highest = std::max(set.highest, part.part);
    }
    if (parts.empty() || checkYencSet(parts, size).complete) return std::nullopt;
    set.missing = absent(present, set.total > 0 ? set.total : set.highest);
    return set;
}

// A split post: part files "1", "2", ..., the count in "CT" when a subject gave it.
std::optional<IncompleteSet> splitSet(const fs::path& dir, std::string_view folder) {
    IncompleteSet set;
    set.name = std::string(folder);
    std::set<int> present;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (const std::optional<int> part = number(name); part && *part > 0) present.insert(*part);
    }
    if (present.empty()) return std::nullopt;  // a description only: nothing was stored
    // The count is kept only once the part with the "end" line came; the subject's count is
    // not stored. A set still here is short of parts either way.
    if (const auto count = smallFile(dir / "CT")) set.total = number(*count).value_or(0);
    set.highest = *present.rbegin();
    if (set.total < set.highest) set.total = 0;
    set.missing = absent(present, set.total > 0 ? set.total : set.highest);
    if (set.total > 0 && set.missing.empty()) return std::nullopt;
    return set;
}

}  // namespace

std::vector<IncompleteSet> incompleteSets(const std::string& tmpDirectory, std::time_t since) {
    std::vector<IncompleteSet> sets;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(tmpDirectory, error)) {
        std::error_code kind;
        if (!entry.is_directory(kind) || entry.is_symlink(kind)) continue;
        const std::string folder = entry.path().filename().string();
        if (folder.starts_with('.')) continue;  // a decode's working copies
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) != 0 || info.st_mtime < since) continue;
        std::optional<IncompleteSet> set = folder.starts_with("yenc-")
                                               ? yencSet(entry.path(), folder)
                                               : splitSet(entry.path(), folder);
        if (set) sets.push_back(std::move(*set));
    }
    std::sort(sets.begin(), sets.end(),
              [](const IncompleteSet& a, const IncompleteSet& b) { return a.name < b.name; });
    return sets;
}

std::string describeIncompleteSet(const IncompleteSet& set) {
    std::string parts;
    for (int n : set.missing) parts += (parts.empty() ? "" : ", ") + std::to_string(n);
    const std::string listed = (set.missing.size() == 1 ? "part " : "parts ") + parts;
    if (set.total > 0)
        return set.name + ": " + listed + " of " + std::to_string(set.total) + " missing";
    const std::string after = "the parts after " + std::to_string(set.highest);
    if (set.missing.empty()) return set.name + ": " + after + " missing";
    return set.name + ": " + listed + " missing, and " + after;
}

}  // namespace qm
