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
    int pictures = 0;           // recorded
    int shown = 0;              // of which got a thumbnail
    int missing = 0;            // listed, but the file is gone
    int removedThumbnails = 0;  // of pictures no longer listed
    bool stored = false;        // the database took the result
    bool stopped = false;       // stop was set: nothing was replaced
};

// Rebuilds the records of groups (the database is replaced by them as a whole) and each
// group's thumbnails and gallery. progress(done, total) is called after each picture.
RebuildReport rebuildPictures(PictureDatabase& database, const Thumbnailer& thumbnailer,
                              std::span<const PictureGroup> groups,
                              const std::function<void(int, int)>& progress = {},
                              const std::atomic<bool>* stop = nullptr);

// The path of file relative to dataDirectory ("<group folder>/news.dat/<name>"), or file
// itself when it is not below it.
std::string relativeToData(std::string_view dataDirectory, std::string_view file);

}  // namespace qm
