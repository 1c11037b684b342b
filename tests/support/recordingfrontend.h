// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A front end for tests: records every call; answers credential prompts from a queue.
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/frontend.h"

namespace qm::test {

class RecordingFrontend : public Frontend {
  public:
    void appendLog(std::string_view line) override;
    void messageBox(std::string_view text, MessageIcon icon) override;
    std::optional<Credentials> askCredentials(std::string_view host,
                                              const Credentials& prefill) override;
    void offerAvailableGroup(GroupEntry& group) override;
    void updateGroupRow(GroupEntry& group) override;
    void runFinished() override;
    void groupListFinished() override;
    void openConfiguration() override;

    // Answers for the next credential prompts; an empty optional cancels.
    void queueCredentials(std::optional<Credentials> answer);

    std::vector<std::string> logLines() const;
    std::vector<std::string> messages() const;
    std::vector<std::string> offeredGroups() const;
    std::vector<std::string> updatedRows() const;
    int credentialPrompts() const;
    int runsFinished() const;
    int groupListsFinished() const;
    int configurationsOpened() const;
    bool logContains(std::string_view line) const;
    void clear();

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_log;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_offered;
    std::vector<std::string> m_updated;
    std::deque<std::optional<Credentials>> m_answers;
    int m_prompts = 0;
    int m_runsFinished = 0;
    int m_groupListsFinished = 0;
    int m_configurations = 0;
};

}  // namespace qm::test
