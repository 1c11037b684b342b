// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one interface through which the core reaches the windows (or the console, or a test).
//
// Owned by the front end and passed by reference to whatever needs it; never a global.
// Every call may come from any thread (reader threads, the group-list worker, the window
// thread); implementations keep the order of one thread's calls. What crosses it is copied.
#include <optional>
#include <string>
#include <string_view>

namespace qm {

class GroupEntry;

enum class MessageIcon { Information, Warning, Stop };

struct Credentials {
    std::string user;
    std::string password;
};

class Frontend {
  public:
    virtual ~Frontend() = default;

    // Appends a line to the log list.
    virtual void appendLog(std::string_view line) = 0;

    // Shows a modal message box and returns once the user has closed it.
    virtual void messageBox(std::string_view text, MessageIcon icon = MessageIcon::Information) = 0;

    // Asks for the credentials of a server, prefilled. Called by worker threads only, once per
    // run, with no program-wide lock held; never on the window thread. Nothing when the user
    // cancels or the program is exiting.
    virtual std::optional<Credentials> askCredentials(std::string_view host,
                                                      const Credentials& prefill) = 0;

    // Offers a group to the available-groups list: it is shown unless already shown
    // (ShownAvailable) or rejected by the current group search.
    virtual void offerAvailableGroup(GroupEntry& group) = 0;

    // A group's counters changed (a file was decoded for it): refresh its row.
    virtual void updateGroupRow(GroupEntry& group) = 0;

    // The last reader of a run has ended.
    virtual void runFinished() = 0;

    // The group-list worker has ended.
    virtual void groupListFinished() = 0;

    // The free-space check offers the configuration dialog after its message.
    virtual void openConfiguration() = 0;
};

}  // namespace qm
