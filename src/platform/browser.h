// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Finding the user's default web browser: the desktop entry that `xdg-mime query default
// text/html` names, its Exec= program, resolved through PATH to a full path.
// Free functions without shared state; any thread may call them (the lookup runs a program).
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// The full path of the default browser, or empty when none is configured or found (no
// xdg-mime, no desktop entry, a program that is not on PATH).
std::string findDefaultBrowser();

// The folders searched for desktop entries: $XDG_DATA_HOME/applications (default
// ~/.local/share/applications), then each of $XDG_DATA_DIRS (default /usr/local/share:/usr/share)
// with "/applications".
std::vector<std::string> applicationDirectories();

// The first of dirs that holds the desktop entry desktopId (e.g. "firefox.desktop"), or
// empty. An id with "/" or a leading "." is refused.
std::string findDesktopFile(std::string_view desktopId, const std::vector<std::string>& dirs);

// The program of the Exec= line of a desktop entry's [Desktop Entry] group: its first word
// (quotes removed), field codes dropped; empty when there is none.
std::string execProgram(std::string_view desktopEntry);

// program as a full path: itself when it holds "/" and is executable, else the first
// executable of that name in the folders of path (a PATH value); empty when not found.
std::string resolveProgram(std::string_view program, std::string_view path);

}  // namespace qm
