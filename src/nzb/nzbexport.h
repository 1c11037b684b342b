// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The NZB of what a group's runs decoded: each picture the picture database recorded for the
// group, with the message-id of the article it came from and its size, so that the same
// pictures can be fetched again elsewhere.
//
// A plain function; it opens the data directory's picture database for itself.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "nzb/nzbdocument.h"

namespace qm {

struct NzbExport {
    NzbDocument document;
    std::string error;  // the database could not be opened; empty when all is well
    int withoutId = 0;  // pictures left out: their article's message-id is not known
};

// The pictures of group decoded since sinceDays days before now (all of them without it).
NzbExport exportGroup(const std::string& dataDirectory, std::string_view group,
                      std::optional<int> sinceDays, std::int64_t now);

}  // namespace qm
