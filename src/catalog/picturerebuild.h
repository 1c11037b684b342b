// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Rebuilding the picture database, the thumbnails and the galleries from what is on disk: the
// groups' picture lists ("data.lst") and the files they name. For a database that was lost or
// set aside as damaged, and on request (qmere-cli gallery --rebuild).
//
// Every listed picture whose file is there is hashed and thumbnailed again, as the thumbnail
// worker would. What the files cannot tell, the message-id, the date and the whole subject,
// is kept from the database where it holds the same picture (same path, same content); else
// the message-id stays empty, the date is the file's modification time (when it was decoded)
// and the subject is the list's description (its first 36 characters).
//
// Runs on the thread that calls it, for as long as the pictures take (a few milliseconds
// each); never with DecodeLock held.
#include <atomic>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "catalog/picturedatabase.h"
#include "catalog/thumbnailer.h"

namespace qm {

struct PictureGroup {
    std::string name;    // the newsgroup
    std::string folder;  // its group folder
};

// The groups with a picture list among the folders of dataDirectory, their names read back
// from the folder names (which encode "/", "%" and control characters as %XX).
std::vector<PictureGroup> pictureGroupsIn(const std::string& dataDirectory);

struct RebuildReport {
    int pictures = 0;             // recorded
    int shown = 0;                // of which got a thumbnail
    int missing = 0;              // listed, but the file is gone
    int removedThumbnails = 0;    // of pictures no longer listed
    int unreadable = 0;           // no picture the module reads, or damaged
    std::string firstUnreadable;  // the first of those, "<file>: <why>"
    bool stored = false;          // the database took the result
    bool stopped = false;         // stop was set: nothing was replaced
};

struct RebuildOptions {
    // False: the database is replaced as a whole by the records of the groups rebuilt. True:
    // the records of other groups stay as they are (a rebuild of some groups only).
    bool keepOtherGroups = false;
    // Called after each picture with the pictures done and their total.
    std::function<void(int done, int total)> progress;
    // Once set, the rebuild ends and nothing is replaced.
    const std::atomic<bool>* stop = nullptr;
};

// Rebuilds the records of groups and each group's thumbnails and gallery.
RebuildReport rebuildPictures(PictureDatabase& database, const Thumbnailer& thumbnailer,
                              std::span<const PictureGroup> groups,
                              const RebuildOptions& options = {});

// The path of file relative to dataDirectory ("<group folder>/news.dat/<name>"), or file
// itself when it is not below it.
std::string relativeToData(std::string_view dataDirectory, std::string_view file);

}  // namespace qm
