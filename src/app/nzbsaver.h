// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The file manager's "Save as NZB…" on the core's export: the NZB of the chosen files, each
// with the articles the message history recorded for it, written whole or not at all.
//
// Window thread; the session works in its data directory.
#include "dialogs/filemanager.h"

namespace qm {

class Session;

FileManager::NzbSaver nzbSaver(Session& session);

}  // namespace qm
