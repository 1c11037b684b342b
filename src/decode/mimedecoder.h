// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The MIME decoder: reads one message (header and body) from a PartReader and dispatches on
// its content type: multipart (mixed, digest, alternative...), message/rfc822,
// message/partial (collected across articles and runs), text kept as a description, and
// everything else decoded to an output file. Text without MIME headers goes to the
// uuencode scanner.
//
// Free functions; called by Decoder::decodeArticle and the uuencode scanner with DecodeLock
// held.
#include <string_view>

namespace qm {

class Decoder;
class PartReader;

// Handles one message read from reader; defaultType is the content type when the header has
// none ("text/plain", or "message/rfc822" inside a digest). Returns 0, or 1 when a boundary
// of an enclosing multipart ended the input.
int handleMessage(Decoder& decoder, PartReader& reader, std::string_view defaultType,
                  bool inAppleDouble, bool keepText);

}  // namespace qm
