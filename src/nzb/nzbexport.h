// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The NZB of files decoded in a data folder: each with every article it came from (its
// message-id and size), in part order, as the message history recorded them when the file
// was decoded, so that the same files can be fetched again elsewhere. A picture decoded
// before the history kept them is taken from the picture database, with the one article it
// records there. Files no longer in the folder are left out.
//
// Plain functions on the thread that holds the data folder; they open the folder's picture
// database for themselves.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "nzb/nzbdocument.h"

namespace qm {

class MessageHistory;

struct NzbExport {
    NzbDocument document;
    std::string error;  // nothing could be read; empty when all is well
    int withoutId = 0;  // files left out: the articles they came from are not known
};

// The files of group decoded since sinceDays days before now (all of them without it).
NzbExport exportGroup(MessageHistory& history, const std::string& dataDirectory,
                      std::string_view group, std::optional<int> sinceDays, std::int64_t now);

// The files at paths (below dataDirectory), in that order.
NzbExport exportFiles(MessageHistory& history, const std::string& dataDirectory,
                      std::span<const std::string> paths);

}  // namespace qm
