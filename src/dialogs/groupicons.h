// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's drawn artwork: the three group-row icons and the program icon. Built on
// first use on the window thread and cached there.
#include <QIcon>

namespace qm {

enum class GroupIcon { NotSubscribed = 0, Subscribed = 1, ToRetrieve = 2 };

QIcon groupIcon(GroupIcon kind);
QIcon programIcon();
// Folder, parent-folder and volume marks of the directory browser.
QIcon folderIcon();
QIcon parentFolderIcon();
QIcon volumeIcon();

}  // namespace qm
