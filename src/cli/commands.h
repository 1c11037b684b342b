// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The commands of qmere-cli. Each takes the arguments after its own name and returns the
// process's exit status.
#include <span>
#include <string_view>

namespace qm::cli {

using Args = std::span<const std::string_view>;

int runConfigCommand(Args args);
int runDecodeCommand(Args args);
int runDupesCommand(Args args);
int runFetchCommand(Args args);
int runGalleryCommand(Args args);
int runGroupsCommand(Args args);
int runNzbCommand(Args args);
int runServersCommand(Args args);

}  // namespace qm::cli
