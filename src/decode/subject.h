// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Part numbers, part counts and file-name keys in subject lines ("sunset.jpg (2/5)").
//
// Thread-safe: reader threads call it while reading headers, the decoder under DecodeLock.
// The two recognition patterns are compiled once, on first use, and each call has its own
// match registers.
#include <string>
#include <string_view>

namespace qm {

// Reads the part number, the number of parts and the file-name key out of subject (only its
// first line counts). Returns 0 when a part number was found, 1 when not; a part numbering
// whose numbers do not fit in an int counts as not found. part and total are written only
// when found; key is always written (at most 255 characters).
[[nodiscard]] int recognizeSubject(std::string_view subject, std::string& key, int& part,
                                   int& total);

}  // namespace qm
