// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A group's catalogue of decoded files ("data.lst"), its folders, the per-group counters the
// catalogue keeps, and the picture test and time stamps that the index pages share.
//
// Every operation that touches a PictureList takes PictureListLock itself (re-entrant, so a
// caller may hold it around several calls). Reader threads record files and save lists of
// the groups they own; the file manager reads and changes lists on the window thread.
#include <string>
#include <string_view>

#include "config/appsettings.h"
#include "model/groupentry.h"
#include "model/picturerecord.h"

namespace qm {

// g's list; loaded from "data.lst" first when it is empty. Creates g's stats if needed. The
// reference stays valid, but use it only with PictureListLock held.
PictureList& pictures(const AppSettings& settings, GroupEntry& g);
// Adds the records of "data.lst" to g's list (an unreadable file leaves it as it is).
void loadPictureList(const AppSettings& settings, GroupEntry& g);
// Adds the records of a "data.lst" file to list (an unreadable file adds nothing). For lists
// that belong to no group in memory (a rebuild of the picture database).
void readPictureListFile(const std::string& path, PictureList& list);
// Writes g's list to "data.lst"; logs "Picture list is empty for <group>" for a list without
// keys, shows "Fail to save picture list for <group>" when the file cannot be written. The
// message box waits for the user: call it holding no program-wide lock.
void savePictureList(const AppSettings& settings, GroupEntry& g);
// savePictureList without the message box: false when the file could not be written.
[[nodiscard]] bool writePictureList(const AppSettings& settings, GroupEntry& g);
// Stores a copy of record under name; with no record, detaches name. Nothing without stats.
void setPicture(const AppSettings& settings, GroupEntry& g, const std::string& name,
                const std::optional<PictureRecord>& record);
// 0 when name was a key of g's list in memory (now detached); -1 otherwise.
int detachPicture(GroupEntry& g, const std::string& name);
// A copy of the record under name in g's list in memory (no load); nothing when absent.
std::optional<PictureRecord> findPicture(GroupEntry& g, const std::string& name);
// The record of a file decoded now from an article with subject: its first 36 characters (a
// tab or line end made a blank), or "No description", the time stamp and 'N'.
PictureRecord newPictureRecord(std::string_view subject);
// Records a file the decoder wrote: appends fragment to the day's contents page, counts it,
// and catalogues the file under its name with the article's subject (empty: "No
// description"). 0, or -1 when g has no stats or the contents page cannot be opened (nothing
// is recorded then).
int recordDecodedFile(const AppSettings& settings, GroupEntry& g, std::string_view fragment,
                      std::string_view path, std::string_view subject = {});
// One more multi-part file assembled for group (none: nothing).
void countAssembled(GroupEntry* group);
// count and decoded from "Counts", for a group that has counted nothing yet this run.
void readGroupCounts(const AppSettings& settings, GroupEntry& g);
// Makes g's "news.dat" folder; makeDirectories' result.
int makeFilesDirectory(const AppSettings& settings, const GroupEntry& g);

// True for a name whose extension is gif, jpg, jpeg, tip or bmp (any case).
bool isPictureName(std::string_view name);
// The local time as "%m%d%H%M-%Y" (withTime) or "%y%m%d".
std::string timeStamp(bool withTime);

}  // namespace qm
