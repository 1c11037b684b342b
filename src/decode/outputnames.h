#pragma once
// The rules that make names from the input safe as file and folder names: which characters
// may stay, how decoded files and part collections are named, where a file's description
// goes, and the content type a file name suggests.
//
// Pure functions; safe on any thread. Names come from hostile input (subjects, "begin" lines,
// MIME parameters): no result ever holds "/", a control character, or is "." or "..".
#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

// The longest file name the file systems we write to accept, in bytes.
inline constexpr size_t MaxNameBytes = 255;

// Letters, digits, punctuation and the blank of the ASCII set.
bool isAllowedNameChar(unsigned char c);
// The 26 characters that never reach a name: @ # + = ! $ & * ( ) | ' " ; < > [ ] { } ? / `
// \ blank and tab.
bool isExcludedNameChar(unsigned char c);

// The name of a decoded file: leading '~' skipped, every character that is not allowed, is
// excluded, or is ':' replaced by 'X', "." and ".." made "X" and "XX", shortened to
// MaxNameBytes keeping the extension. Empty when the file is nameless.
std::string safeOutputName(std::string_view name);

// The folder name of a part collection: only allowed, non-excluded characters are kept (the
// others are dropped), at most MaxNameBytes; a name of dots only becomes as many 'X'; an
// empty result becomes "unknown".
std::string collectionName(std::string_view name);

// name shortened to at most limit bytes; the extension (from the last '.', when it is short)
// is kept.
std::string fitFileName(std::string_view name, size_t limit = MaxNameBytes);

// The description path of a decoded file: the extension of its file name cut off, ".desc"
// appended ("dir/photo.jpg" -> "dir/photo.desc", "dir/README" -> "dir/README.desc").
std::string descriptionPathFor(std::string_view path);

// "image/gif", "image/jpeg", "video/mpeg" by the last extension of name (any case); else
// "application/octet-stream".
std::string_view contentTypeForName(std::string_view name);

}  // namespace qm
