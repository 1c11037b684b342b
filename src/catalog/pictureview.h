// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Turning files of the data directory into things a browser can show: the file:// address of
// a path and the one-picture page "__img.html" that shows a picture at a given width with a
// link to it at full size. Window thread only.
#include <string>
#include <string_view>

namespace qm {

// "file://" + the absolute path (relative paths are taken from the working directory), with
// every byte a URL cannot carry as itself percent-encoded.
std::string fileUrl(std::string_view path);

// An address to show name of dir: the file's own address for anything but a picture; for a
// picture, the address of "__img.html" written beside it (the picture scaled to width pixels
// under a link "Original size image"). Empty when the page cannot be written.
std::string pictureViewPage(std::string_view dir, std::string_view name, int width);

}  // namespace qm
