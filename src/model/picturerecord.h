// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One decoded file of a group's catalogue, and the catalogue map itself.
#include <optional>
#include <string>
#include <unordered_map>

namespace qm {

struct PictureRecord {
    std::string description;  // first 36 characters of the article's subject, or "No description"
    std::string date;         // timeStamp(true) form, e.g. 12071630-1998
    char mark = 'N';          // 'N' when recorded, 'V' once the user viewed the file

    bool operator==(const PictureRecord&) const = default;
};

// File name (no directory, case-sensitive) -> record. A name mapped to nothing is detached:
// the key stays but counts as absent for every reader and for saving.
using PictureList = std::unordered_map<std::string, std::optional<PictureRecord>>;

}  // namespace qm
