// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/frontendevents.h"

#include <mutex>

#include "decode/savedarticle.h"
#include "model/locks.h"
#include "nntp/readerrunstate.h"

namespace qm {

void FrontendEvents::log(std::string_view line) {
    m_frontend.appendLog(line);
}

void FrontendEvents::connectFailed(const std::string& text) {
    // Decided under the lock, shown after it: the window thread takes DecodeLock too, and
    // would wait for ever for a reader that waits for the window.
    bool first = false;
    {
        std::lock_guard lock(DecodeLock);
        first = m_run.ConnectFailureReported == 0;
        m_run.ConnectFailureReported = 1;
    }
    if (first) m_frontend.messageBox(text, MessageIcon::Stop);
}

void FrontendEvents::greetingRefused(const std::string& line) {
    m_frontend.messageBox("Server said:\r\n" + line, MessageIcon::Stop);
}

std::optional<Credentials> FrontendEvents::askCredentials(const std::string& host,
                                                          const Credentials& stored) {
    return m_frontend.askCredentials(host, stored);
}

bool FrontendEvents::openArticle(GroupEntry*, SavedArticle& article) {
    return article.open(m_frontend, false) == 0;
}

}  // namespace qm
