// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The gallery of a group: "gallery.html" in its group folder, a grid of cards, newest first,
// each with its thumbnail (or "no preview" for a picture that has none, yet or ever), its
// article's subject, the date it came and its size. Pictures that look like another recorded
// picture (near duplicates) are framed and say so. Light or dark as the system is; the grid
// fills any width, a phone's included.
//
// Works from disk (file://) in any browser. Without script every card leads to the viewer page
// of the index pages ("_view.html"); with script the page is its own viewer
// ("gallery.html#view=<name>"): the picture fitted to the window, the previous and next ones
// by the arrow keys, Escape or "Gallery" back to the grid. The thumbnails load lazily and carry
// their sizes, and cards off screen are not laid out, so a page of 20,000 pictures opens at
// once.
//
// Pure text, and one atomic write; any thread. Rewritten by the thumbnail worker as pictures
// arrive and by a rebuild.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "catalog/picturedatabase.h"

namespace qm {

inline constexpr std::string_view GalleryPageName = "gallery.html";

// The page of group's pictures, given newest first; those not Shown get a "no preview" card.
std::string galleryHtml(std::string_view group, std::span<const StoredPicture> newestFirst);

// A size for people: "512 bytes", "12 KB", "1.5 MB", "2.0 GB" (1 KB being 1024 bytes).
std::string readableSize(std::int64_t bytes);

// Writes the page into groupFolder (to a temporary file renamed over it), with the viewer page
// beside it when that is missing; false when it cannot be written.
bool writeGalleryPage(const std::string& groupFolder, std::string_view group,
                      std::span<const StoredPicture> newestFirst);

// Writes a page without pictures into groupFolder unless a gallery is there; never replaces
// one (the thumbnail worker may write it at the same time). False when it cannot be written.
bool ensureGalleryPage(const std::string& groupFolder, std::string_view group);

}  // namespace qm
