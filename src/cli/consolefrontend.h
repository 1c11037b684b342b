#pragma once
// The command line's front end: log lines on standard output, message boxes on standard
// error, credential prompts on the terminal. Calls from any thread; one mutex keeps lines
// whole and in order.
#include <condition_variable>
#include <functional>
#include <mutex>

#include "config/frontend.h"

namespace qm::cli {

class ConsoleFrontend : public Frontend {
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

    // What an offered group does (the groups command prints it); nothing by default.
    void setGroupHandler(std::function<void(GroupEntry&)> handler);
    // Quiet: log lines are not printed (message boxes still are).
    void setQuiet(bool quiet);

    // Waits until runFinished (or groupListFinished) has been called since the last reset.
    void waitRunFinished();
    void waitGroupListFinished();
    bool runHasFinished() const;
    void resetFinished();

    int messageCount() const;

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_finished;
    std::function<void(GroupEntry&)> m_groupHandler;
    bool m_quiet = false;
    bool m_runFinished = false;
    bool m_groupListFinished = false;
    int m_messages = 0;
};

}  // namespace qm::cli
