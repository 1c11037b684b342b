// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The header of one MIME entity: collecting its lines from a PartReader, finding its fields,
// and parsing the values the decoder needs (content type and parameters, transfer
// encoding, disposition file name, Content-MD5, subject). Values are views into the
// collected header text, which keeps its line ends and continuation lines.
//
// A value type owned by the decoding step that reads the entity; not shared between threads.
// The collected text is bounded (MaxHeaderBytes; further lines are read and dropped), and so
// is each line (MaxLineBytes; the rest of a longer header line is dropped).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode/bodydecoders.h"

namespace qm {

class PartReader;

class MimeHeader {
  public:
    static constexpr size_t MaxHeaderBytes = 256 * 1024;
    static constexpr size_t MaxLineBytes = 16 * 1024;

    // Reads header lines up to and including a blank line, or up to the first line that is
    // neither a header line nor a continuation (that line is left unread: it starts the
    // body).
    void read(PartReader& reader);
    // Takes text as the collected header (tests, synthetic headers); a line end is put in
    // front as read() does.
    void assign(std::string_view text);

    // The collected text, starting with a line end of its own.
    std::string_view text() const { return m_text; }

    // The value of the first field called name (any letter case), from past the colon,
    // white space and comments to the end of the field (continuation lines included, its
    // last line end not); nothing when there is no such field.
    std::optional<std::string_view> field(std::string_view name) const;

    std::optional<std::string_view> contentType() const { return field("Content-Type"); }
    std::optional<std::string_view> transferEncoding() const {
        return field("Content-Transfer-Encoding");
    }
    std::optional<std::string_view> disposition() const { return field("Content-Disposition"); }
    std::optional<std::string_view> contentMd5() const { return field("Content-MD5"); }
    // The Subject with its continuation lines unfolded; empty when there is none.
    std::string subject() const;

  private:
    std::string m_text = "\n";
};

// True for a header line: one or more printable, non-blank characters and then ":".
bool isHeaderLine(std::string_view line);

// The position in text after white space, line ends and parenthesised comments (nested,
// with backslash escapes) from pos on.
size_t skipComments(std::string_view text, size_t pos);

// The transfer encoding a Content-Transfer-Encoding value names; unknown is set for a
// token that is none of 7bit, 8bit, binary, base64, quoted-printable, x-uuencode, x-uue,
// uuencode, uue.
TransferEncoding parseEncoding(std::string_view value, bool& unknown);

// A Content-Type (or Content-Disposition) value: the type and the raw parameter texts.
struct ContentType {
    std::string type;
    std::vector<std::string> parameters;  // "name=value" texts, comments blanked out

    // The value of the parameter called name (any letter case), without quotes and escapes.
    std::optional<std::string> parameter(std::string_view name) const;
};

ContentType parseContentType(std::string_view value);

// Letter-case-blind comparisons over ASCII.
bool equalsNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace qm
