// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/groupfolder.h"

#include "platform/paths.h"

namespace qm {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

GroupFolder::GroupFolder(std::string_view dataDirectory, std::string_view groupName)
    // Group names come from the server: as a folder they must stay in the data directory.
    : m_path(joinPath(dataDirectory, safeFolderName(groupName))) {}

std::string GroupFolder::file(std::string_view name) const {
    return joinPath(m_path, name);
}

std::string GroupFolder::groupNameOf(std::string_view folder) {
    // %XX back to its byte; a lone "%" is the empty name.
    std::string name;
    for (std::size_t i = 0; i < folder.size(); ++i) {
        if (folder[i] == '%' && i + 2 < folder.size() && hexValue(folder[i + 1]) >= 0 &&
            hexValue(folder[i + 2]) >= 0) {
            name += static_cast<char>(hexValue(folder[i + 1]) * 16 + hexValue(folder[i + 2]));
            i += 2;
        } else if (folder[i] != '%') {
            name += folder[i];
        }
    }
    return name;
}

std::string safeFolderName(std::string_view name) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    auto encode = [](std::string& out, unsigned char c) {
        out += '%';
        out += Hex[c >> 4];
        out += Hex[c & 15];
    };
    std::string out;
    if (name.empty()) return "%";  // no encoded name is a lone "%"
    if (name == "." || name == "..") {
        for (char c : name) encode(out, static_cast<unsigned char>(c));
        return out;
    }
    out.reserve(name.size());
    for (char ch : name) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '/' || c == '%' || c < 0x20 || c == 0x7f) {
            encode(out, c);
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace qm
