// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The SHA-256 of a file's content, by which the picture database knows a picture again
// whatever its name. Pure functions; any thread.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

using Sha256 = std::array<std::uint8_t, 32>;

// The digest of the file at path; nothing when it cannot be read to its end.
std::optional<Sha256> sha256OfFile(const std::string& path);

// Lower-case hexadecimal, 64 characters.
std::string toHex(const Sha256& digest);

}  // namespace qm
