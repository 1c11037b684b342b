// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/outputnames.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace qm {
namespace {

constexpr std::string_view Excluded = "@#+=!$&*()|'\";<>[]{}?/`\\ \t";
// An extension longer than this is part of the name, not worth keeping when shortening.
constexpr size_t MaxKeptExtension = 32;

bool onlyDots(std::string_view name) {
    return !name.empty() && name.find_first_not_of('.') == std::string_view::npos;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool isAllowedNameChar(unsigned char c) {
    return c >= 0x20 && c < 0x7f;
}

bool isExcludedNameChar(unsigned char c) {
    return c != 0 && Excluded.find(static_cast<char>(c)) != std::string_view::npos;
}

std::string safeOutputName(std::string_view name, size_t limit) {
    size_t start = name.find_first_not_of('~');
    if (start == std::string_view::npos) return {};
    std::string result(name.substr(start));
    for (char& c : result) {
        auto u = static_cast<unsigned char>(c);
        if (!isAllowedNameChar(u) || isExcludedNameChar(u) || c == ':') c = 'X';
    }
    if (result == "." || result == "..") std::fill(result.begin(), result.end(), 'X');
    // Else the next start would take the file for one the decoder left unfinished.
    if (result.starts_with(ProgramNamePrefix)) result.front() = '_';
    return fitFileName(result, limit);
}

std::string collectionName(std::string_view name) {
    std::string result;
    result.reserve(std::min(name.size(), MaxNameBytes));
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (isAllowedNameChar(u) && !isExcludedNameChar(u)) result += c;
        if (result.size() == MaxNameBytes) break;
    }
    if (onlyDots(result)) std::fill(result.begin(), result.end(), 'X');
    if (result.empty()) result = "unknown";
    // Else a collection would stand where the decoder keeps a file of its own.
    if (result.starts_with(ProgramNamePrefix)) result.front() = '_';
    if (result == PendingDescriptionName) result.insert(result.begin(), '_');
    return result;
}

size_t fileNameLimit(const std::string& folder) {
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (limit <= 0) return MaxNameBytes;  // no limit known, or not asked
    return std::min(static_cast<size_t>(limit), MaxNameBytes);
}

std::string fitFileName(std::string_view name, size_t limit) {
    if (name.size() <= limit) return std::string(name);
    std::string_view extension;
    if (size_t dot = name.rfind('.'); dot != std::string_view::npos && dot > 0 &&
                                      name.size() - dot <= MaxKeptExtension &&
                                      name.size() - dot < limit) {
        extension = name.substr(dot);
    }
    std::string result(name.substr(0, limit - extension.size()));
    result += extension;
    return result;
}

std::string descriptionPathFor(std::string_view path, size_t limit) {
    constexpr std::string_view Extension = ".desc";
    size_t slash = path.rfind('/');
    size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
    std::string_view stem = path.substr(nameStart);
    if (size_t dot = stem.rfind('.'); dot != std::string_view::npos) stem = stem.substr(0, dot);
    std::string result(path.substr(0, nameStart));
    result += fitFileName(stem, std::max(limit, Extension.size() + 1) - Extension.size());
    result += Extension;
    return result;
}

std::string_view contentTypeForName(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return "application/octet-stream";
    std::string_view extension = name.substr(dot);
    if (equalsIgnoringCase(extension, ".gif")) return "image/gif";
    if (equalsIgnoringCase(extension, ".jpg") || equalsIgnoringCase(extension, ".jpeg")) {
        return "image/jpeg";
    }
    if (equalsIgnoringCase(extension, ".mpg") || equalsIgnoringCase(extension, ".mpeg")) {
        return "video/mpeg";
    }
    return "application/octet-stream";
}

}  // namespace qm
