// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A reader's connection events: the Frontend's, and what the retrieval makes of a reply for
// the group being read: its range and flags from GROUP, its end from NEXT, the bytes it
// received, its article in progress, and whether an article's text is kept ("Keep Text").
#include "nntp/frontendevents.h"

namespace qm {

class AppSettings;

class ReaderEvents : public FrontendEvents {
  public:
    ReaderEvents(const AppSettings& settings, ReaderRunState& run);

    void groupSelected(GroupEntry& group, std::int64_t count, std::int64_t first,
                       std::int64_t last) override;
    void groupRefused(GroupEntry& group) override;
    void nextAnswered(GroupEntry& group, const NntpReply& reply, SavedArticle& article) override;
    void bytesReceived(GroupEntry* group, std::int64_t bytes) override;
    bool openArticle(GroupEntry* group, SavedArticle& article) override;

  private:
    const AppSettings& m_settings;
};

}  // namespace qm
