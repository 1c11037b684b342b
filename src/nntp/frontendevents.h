// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A connection's events told to the user through the Frontend: log lines, the failure boxes
// (a failed connect once per run), the login prompt. What the group-list worker and a server
// probe need; the readers add their groups' side (ReaderEvents).
#include "nntp/connectionevents.h"

namespace qm {

class Frontend;
struct ReaderRunState;

class FrontendEvents : public ConnectionEvents {
  public:
    FrontendEvents(Frontend& frontend, ReaderRunState& run) : m_frontend(frontend), m_run(run) {}

    void log(std::string_view line) override;
    void connectFailed(const std::string& text) override;
    void greetingRefused(const std::string& line) override;
    std::optional<Credentials> askCredentials(const std::string& host,
                                              const Credentials& stored) override;
    bool openArticle(GroupEntry* group, SavedArticle& article) override;

  protected:
    Frontend& frontend() const { return m_frontend; }

  private:
    Frontend& m_frontend;
    ReaderRunState& m_run;
};

}  // namespace qm
