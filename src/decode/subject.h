#pragma once
// Part numbers, part counts and file-name keys in subject lines ("sunset.jpg (2/5)").
// Thread-safe: the two recognition patterns are compiled once and each call has its own
// match registers.
#include <string>
#include <string_view>

namespace qm {

// Reads the part number, the number of parts and the file-name key out of subject.
// Returns 0 when a part number was found, 1 when not. part and total are written only when
// found; key is always written (at most 255 characters).
[[nodiscard]] int recognizeSubject(std::string_view subject, std::string& key, int& part,
                                   int& total);

}  // namespace qm
