// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The body decoders of the MIME decoder: copy, quoted-printable, base64 and uuencode. The
// quoted-printable and base64 decoders are pure, resumable functions over buffers (a body
// arrives in pieces, and a group or an escape may be split between them); decodeBody() runs
// one of them over the rest of a body part of a PartReader and writes the result in large
// blocks. A uuencoded body is decoded line by line.
//
// Value types and free functions; each call works on its own data. decodeBody() uses a
// scratch buffer of the calling thread.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

class Md5;
class PartReader;

// Uuencode: the data lines between a "begin" line and an "end" line.
enum class TransferEncoding { None, QuotedPrintable, Base64, Uuencode };

// Standard base64: characters outside the alphabet are skipped; "=" ends the data.
class Base64Decoder {
  public:
    // Room decode() needs in out for in.
    static constexpr size_t outputSize(size_t inSize) { return inSize / 4 * 3 + 3; }

    // Decodes in into out; returns the number of bytes written. Nothing after "=" is decoded.
    size_t decode(std::string_view in, char* out);
    // True once "=" was seen.
    bool finished() const { return m_finished; }
    // At the end of the input: writes the whole bytes of an unfinished group (at most 2)
    // to out and returns their number; truncated tells whether the input ended inside a
    // group without "=".
    size_t finish(char* out, bool& truncated);

  private:
    std::uint32_t m_bits = 0;
    int m_count = 0;  // characters of the current group
    bool m_finished = false;
};

// Quoted-printable: "=" and a line end is a soft line break; "=" and two hexadecimal digits
// is that byte, dropped when it is a CR and dropCr is set (text, whose line ends are this
// system's); everything else is written as read.
class QuotedPrintableDecoder {
  public:
    static constexpr size_t outputSize(size_t inSize) { return inSize + 2; }

    explicit QuotedPrintableDecoder(bool dropCr = true) : m_dropCr(dropCr) {}

    size_t decode(std::string_view in, char* out);
    // At the end of the input: writes an unfinished escape as read; returns its length.
    size_t finish(char* out);

  private:
    enum class State { Plain, Equals, EqualsCr, EqualsHex };
    State m_state = State::Plain;
    char m_high = 0;
    bool m_dropCr;
};

struct BodyOutcome {
    bool truncated = false;    // base64 ended inside a group ("Premature EOF")
    bool writeFailed = false;  // out reported an error
    int error = 0;             // errno of the failed write
};

// Decodes the rest of the current body part of reader into out with encoding. text tells
// that the entity is text: CR bytes are dropped from decoded output (base64, uuencode and
// quoted-printable "=0D"), as its line ends become this system's; the bytes of any other
// entity are kept as they are. digest, when given, receives the decoded data in the form a
// Content-MD5 is computed over: for base64 and uuencode, and for quoted-printable that is not
// text, as decoded (before CRs are dropped); for copy and quoted-printable text, with every
// line end as CR LF. A uuencoded body skips the lines before its "begin" line and after its
// "end" line.
BodyOutcome decodeBody(PartReader& reader, std::FILE* out, TransferEncoding encoding, Md5* digest,
                       bool text);

// Reads the lines of a uuencoded body up to its "begin" line and returns that line (without
// consuming it: it is pushed back); nothing, with the body read to its end, when it has none.
std::optional<std::string> findUuBeginLine(PartReader& reader);

}  // namespace qm
