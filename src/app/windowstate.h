// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the main window looks like, kept in the profile's "Window" section so that it comes
// back after a restart: its size, whether it is maximised, its splitters and the widths of
// the groups-to-retrieve columns. A value that is missing or makes no sense (the profile is
// a text file anyone may edit) reads as not stored.
//
// Plain functions; the caller owns the profile (window thread).
#include <QList>
#include <QSize>

namespace qm {

class Profile;

struct WindowState {
    QSize size;  // of the window when not maximised; empty: not stored
    bool maximized = false;
    QList<int> mainSplitter;   // group lists above the log
    QList<int> listsSplitter;  // available groups, buttons, groups to retrieve
    QList<int> groupColumns;   // "Active groups", "Images", "Folder"
};

WindowState loadWindowState(const Profile& profile);
// False when the profile could not be written.
bool saveWindowState(Profile& profile, const WindowState& state);

}  // namespace qm
