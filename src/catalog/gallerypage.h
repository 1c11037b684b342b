#pragma once
// The gallery of a group: "gallery.html" in its group folder, a grid of thumbnails, newest
// first, each captioned with its article's subject and leading to the picture through the
// viewer page of the index pages ("_view.html"). Pictures that look like another recorded
// picture (near duplicates) are framed and say so.
//
// A page without script, so it works from disk in any browser. The thumbnails load lazily and
// carry their sizes, so a page of 20,000 pictures lays out and opens at once.
//
// Pure text, and one atomic write; any thread. Rewritten by the thumbnail worker as pictures
// arrive and by a rebuild.
#include <span>
#include <string>
#include <string_view>

#include "catalog/picturedatabase.h"

namespace qm {

inline constexpr std::string_view GalleryPageName = "gallery.html";

// The page of group's pictures, given newest first.
std::string galleryHtml(std::string_view group, std::span<const StoredPicture> newestFirst);

// Writes the page into groupFolder (to a temporary file renamed over it), with the viewer page
// beside it when that is missing; false when it cannot be written.
bool writeGalleryPage(const std::string& groupFolder, std::string_view group,
                      std::span<const StoredPicture> newestFirst);

}  // namespace qm
