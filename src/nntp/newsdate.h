// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The Date header of a news article (RFC 5322 3.3, with the obsolete forms RFC 5536 lets
// readers accept: two-digit years, zone names, comments) as seconds since 1970 (UTC).
// A pure function over hostile text.
#include <cstdint>
#include <optional>
#include <string_view>

namespace qm {

// Nothing when no day, month, year and time can be found in text.
std::optional<std::int64_t> parseNewsDate(std::string_view text);

}  // namespace qm
