// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/recordingfrontend.h"

#include <algorithm>

#include "model/groupentry.h"

namespace qm::test {

void RecordingFrontend::appendLog(std::string_view line) {
    std::lock_guard lock(m_mutex);
    m_log.emplace_back(line);
}

void RecordingFrontend::messageBox(std::string_view text, MessageIcon) {
    std::lock_guard lock(m_mutex);
    m_messages.emplace_back(text);
}

std::optional<Credentials> RecordingFrontend::askCredentials(std::string_view, const Credentials&) {
    std::lock_guard lock(m_mutex);
    ++m_prompts;
    if (m_answers.empty()) return std::nullopt;
    auto answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void RecordingFrontend::offerAvailableGroup(GroupEntry& group) {
    std::lock_guard lock(m_mutex);
    m_offered.push_back(group.name());
}

void RecordingFrontend::updateGroupRow(GroupEntry& group) {
    std::lock_guard lock(m_mutex);
    m_updated.push_back(group.name());
}

void RecordingFrontend::runFinished() {
    std::lock_guard lock(m_mutex);
    ++m_runsFinished;
}

void RecordingFrontend::groupListFinished() {
    std::lock_guard lock(m_mutex);
    ++m_groupListsFinished;
}

void RecordingFrontend::openConfiguration() {
    std::lock_guard lock(m_mutex);
    ++m_configurations;
}

void RecordingFrontend::queueCredentials(std::optional<Credentials> answer) {
    std::lock_guard lock(m_mutex);
    m_answers.push_back(std::move(answer));
}

std::vector<std::string> RecordingFrontend::logLines() const {
    std::lock_guard lock(m_mutex);
    return m_log;
}

std::vector<std::string> RecordingFrontend::messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<std::string> RecordingFrontend::offeredGroups() const {
    std::lock_guard lock(m_mutex);
    return m_offered;
}

std::vector<std::string> RecordingFrontend::updatedRows() const {
    std::lock_guard lock(m_mutex);
    return m_updated;
}

int RecordingFrontend::credentialPrompts() const {
    std::lock_guard lock(m_mutex);
    return m_prompts;
}

int RecordingFrontend::runsFinished() const {
    std::lock_guard lock(m_mutex);
    return m_runsFinished;
}

int RecordingFrontend::groupListsFinished() const {
    std::lock_guard lock(m_mutex);
    return m_groupListsFinished;
}

int RecordingFrontend::configurationsOpened() const {
    std::lock_guard lock(m_mutex);
    return m_configurations;
}

bool RecordingFrontend::logContains(std::string_view line) const {
    std::lock_guard lock(m_mutex);
    return std::find(m_log.begin(), m_log.end(), line) != m_log.end();
}

void RecordingFrontend::clear() {
    std::lock_guard lock(m_mutex);
    m_log.clear();
    m_messages.clear();
    m_offered.clear();
    m_updated.clear();
}

}  // namespace qm::test
