// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Writes an NZB 1.1 document: the files of a post with their segments' message-ids and
// sizes, so the same files can be fetched again elsewhere.
//
// A pure function; safe on any thread.
#include <string>

#include "nzb/nzbdocument.h"

namespace qm {

// The XML text, with the NZB 1.1 document type; text and attributes escaped, characters XML
// cannot hold dropped.
std::string formatNzb(const NzbDocument& document);

}  // namespace qm
