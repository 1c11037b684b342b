// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The desktop program's side of the core's front-end interface: every call from a worker
// thread is queued onto the window thread (Qt keeps the order of one thread's posts), where
// the window (a FrontendWindow) carries it out. Offered groups and changed group rows are
// collected here and handed to the window in batches by a short timer, so a list of 100,000
// groups costs a few hundred model updates, not 100,000, and a row is refreshed at most once
// a batch however many files its readers decode meanwhile.
//
// Owned by main() (or a test), created on the window thread and outliving the window. The
// Frontend calls come from any thread. messageBox from a worker and askCredentials block
// their thread until the window has answered, but give up with "no answer" once the program
// is exiting or the calling worker is told to stop, so that a stop never waits on a user.
#include <QObject>
#include <QTimer>
#include <functional>
#include <mutex>
#include <vector>

#include "config/frontend.h"

namespace qm {

// What the window does for the front end; every call is on the window thread.
class FrontendWindow {
  public:
    virtual ~FrontendWindow() = default;
    virtual void logLine(const QString& line) = 0;
    virtual void showMessage(const QString& text, MessageIcon icon) = 0;
    virtual std::optional<Credentials> promptCredentials(const QString& host,
                                                         const Credentials& prefill) = 0;
    virtual void groupsOffered(const std::vector<GroupEntry*>& groups) = 0;
    virtual void groupRowChanged(GroupEntry& group) = 0;
    virtual void readersFinished() = 0;
    virtual void groupListDone() = 0;
    virtual void configurationRequested() = 0;
};

class QtFrontend : public QObject, public Frontend {
    Q_OBJECT
  public:
    explicit QtFrontend(QObject* parent = nullptr);
    ~QtFrontend() override;

    // The window that carries the calls out; null drops them (before and after the window).
    void setWindow(FrontendWindow* window);

    void appendLog(std::string_view line) override;
    void messageBox(std::string_view text, MessageIcon icon) override;
    std::optional<Credentials> askCredentials(std::string_view host,
                                              const Credentials& prefill) override;
    void offerAvailableGroup(GroupEntry& group) override;
    void updateGroupRow(GroupEntry& group) override;
    void runFinished() override;
    void groupListFinished() override;
    void openConfiguration() override;

    // Hands the offered groups collected so far to the window now.
    void flushOfferedGroups();
    // Refreshes the rows changed so far now.
    void flushChangedRows();

  private:
    bool onWindowThread() const;
    // Runs call on the window thread: at once when already there, else queued.
    void post(std::function<void(FrontendWindow&)> call);
    // Runs call on the window thread and waits for it; false when the wait was given up.
    bool postAndWait(std::function<void(FrontendWindow&)> call);

    FrontendWindow* m_window = nullptr;  // window thread only
    QTimer m_flushTimer;
    std::mutex m_offeredMutex;
    std::vector<GroupEntry*> m_offered;  // guarded by m_offeredMutex
    std::vector<GroupEntry*> m_changed;  // guarded by m_offeredMutex; each group once
};

}  // namespace qm
