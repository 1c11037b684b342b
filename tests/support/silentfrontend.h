// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A front end that does nothing, for fuzzing, benchmarks and tools that only need the core to
// run: no log, no message boxes, no credentials. Derive and override what a caller needs.
#include <optional>
#include <string_view>

#include "config/frontend.h"

namespace qm::test {

class SilentFrontend : public Frontend {
  public:
    void appendLog(std::string_view) override {}
    void messageBox(std::string_view, MessageIcon) override {}
    std::optional<Credentials> askCredentials(std::string_view, const Credentials&) override {
        return std::nullopt;
    }
    void offerAvailableGroup(GroupEntry&) override {}
    void updateGroupRow(GroupEntry&) override {}
    void runFinished() override {}
    void groupListFinished() override {}
    void openConfiguration() override {}
};

}  // namespace qm::test
