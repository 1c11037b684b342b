// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The HTML pages of a group, written into its group directory: the day contents page
// ("cont<yymmdd>.html", one entry per decoded file), the day frameset ("idx<yymmdd>.html"),
// the group index ("index.html") and the full index ("_imgidx.html" with "_cnt.html").
// The pages use two frames: "my_win" on the left shows a picture or file, the list on the
// right has a "View" button and a link per file.
//
// prepareDayPages and onFileDecoded run on the reader thread that owns the group (the latter
// with DecodeLock held); writeFullIndex on the window thread.
#include <string>
#include <string_view>

#include "decode/decoder.h"

namespace qm {

class AppSettings;
class GroupEntry;

// The script of the list pages: showImg(file) shows a picture in "my_win" through the viewer
// page "_view.html"; showFile(file) loads the file into "my_win".
extern const std::string_view ViewerScript;
// Name of the viewer page beside the other pages.
inline constexpr std::string_view ViewerPageName = "_view.html";

// Writes the viewer page into groupDir unless it is there; false when it cannot.
bool ensureViewerPage(const std::string& groupDir);

// Text as HTML text or attribute value: &, <, > and " escaped.
std::string escapeHtml(std::string_view text);

// The entry of one file: a "View" button and a link, with description as its title.
// Empty when path is empty or the file cannot be read.
std::string pageFragment(std::string_view path, std::string_view description);

// Prepares the day's pages of g once per program run: 0, or -1 when a page cannot be made
// (the contents page failure is logged as "Fail open file <path>").
int prepareDayPages(const AppSettings& settings, GroupEntry& g);

// Writes the full index pair; the path of "_imgidx.html", or empty when a file cannot be made.
std::string writeFullIndex(const AppSettings& settings, GroupEntry& g);

// The decoder's hook: logs "Decoded file <path>" and, for an article of a group (a reader's;
// manual decoding has none), adds the file to the group's contents page and picture list.
// path is a file the decoder has just put in place (it is not looked for again).
int onFileDecoded(const AppSettings& settings, const DecodeInputs& inputs, const std::string& path);

}  // namespace qm
