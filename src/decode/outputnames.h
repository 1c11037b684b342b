// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The rules that make names from the input safe as file and folder names: which characters
// may stay, how decoded files and part collections are named, where a file's description
// goes, and the content type a file name suggests.
//
// Pure functions (fileNameLimit asks the file system); safe on any thread. Names come from hostile
// input (subjects, "begin" lines, MIME parameters): no result ever holds "/", a control character,
// or is "." or "..".
#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

// The longest file name the file systems we write to accept, in bytes.
inline constexpr size_t MaxNameBytes = 255;

// Every hidden name the program gives its own files where decoded files and part collections
// go starts with this (the decoder's unfinished files, the data folder's lock): a name from
// the input never does, so the program never takes a decoded file for one of its own.
inline constexpr std::string_view ProgramNamePrefix = ".qmere";
// The decoder's pending description in "tmp", beside the part collections.
inline constexpr std::string_view PendingDescriptionName = "tempdesc.txt";

// Letters, digits, punctuation and the blank of the ASCII set.
bool isAllowedNameChar(unsigned char c);
// The 26 characters that never reach a name: @ # + = ! $ & * ( ) | ' " ; < > [ ] { } ? / `
// \ blank and tab.
bool isExcludedNameChar(unsigned char c);

// The name of a decoded file: leading '~' skipped, every character that is not allowed, is
// excluded, or is ':' replaced by 'X', "." and ".." made "X" and "XX", a leading '.' made '_'
// when the name would start with ProgramNamePrefix, shortened to limit keeping the extension.
// Empty when the file is nameless.
std::string safeOutputName(std::string_view name, size_t limit = MaxNameBytes);

// The folder name of a part collection: only allowed, non-excluded characters are kept (the
// others are dropped), at most MaxNameBytes; a name of dots only becomes as many 'X'; an
// empty result becomes "unknown"; a name the decoder gives its own files in "tmp" is changed:
// ProgramNamePrefix's '.' made '_', PendingDescriptionName given a leading '_'.
std::string collectionName(std::string_view name);

// The longest file name the file system of folder takes (its NAME_MAX), at most
// MaxNameBytes; MaxNameBytes when it cannot be asked.
size_t fileNameLimit(const std::string& folder);

// name shortened to at most limit bytes; the extension (from the last '.', when it is short)
// is kept.
std::string fitFileName(std::string_view name, size_t limit = MaxNameBytes);

// The description path of a decoded file: the extension of its file name cut off, ".desc"
// appended ("dir/photo.jpg" -> "dir/photo.desc", "dir/README" -> "dir/README.desc"), its
// name at most limit bytes.
std::string descriptionPathFor(std::string_view path, size_t limit = MaxNameBytes);

// "image/gif", "image/jpeg", "video/mpeg" by the last extension of name (any case); else
// "application/octet-stream".
std::string_view contentTypeForName(std::string_view name);

}  // namespace qm
