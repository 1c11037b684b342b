// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The integer results the program's operations share: 0 for success, -1 for a general
// failure, the negative values below for particular local outcomes, and otherwise the NNTP
// reply code that was not the expected one. Functions that return them are [[nodiscard]].
namespace qm::results {

inline constexpr int Ok = 0;
inline constexpr int Failed = -1;
// An article whose subject matches the kill pattern list.
inline constexpr int Excluded = -2;
// An article at or below the "Skip limit" with "Skip short" on.
inline constexpr int SkippedShort = -3;
// A reply that has the expected code but not the fields that should follow it.
inline constexpr int MalformedReply = -9;
// Work given up because the worker was told to stop.
inline constexpr int Abandoned = -9999;

}  // namespace qm::results
