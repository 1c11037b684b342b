// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One line of an overview (OVER or XOVER, RFC 3977 8.3) or of a header listing (HDR, XHDR),
// as the retrieval loop needs it. The first seven overview fields have a fixed order
// (Subject, From, Date, Message-ID, References, :bytes, :lines); fields after them are not
// read. Parsers take hostile text: any line is either parsed or refused, never read past.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm {

struct OverviewEntry {
    std::int64_t number = 0;
    std::string subject;     // as the overview gives it: the header value, unfolded
    std::string messageId;   // empty when the server gave none
    std::string date;        // the Date header's value
    std::int64_t bytes = 0;  // 0 when not given
    int lines = 0;           // the article's line count (:lines or "Lines"); 0 when not given
};

// Nothing unless line starts with an article number above 0 followed by a tab. A message-id
// that is not one (isMessageId) is left empty.
std::optional<OverviewEntry> parseOverviewLine(std::string_view line);

// Whether text can be a message-id: "<...>", printable, at most 250 characters (RFC 3977).
// Anything else a server names as one would match every article that names it too.
bool isMessageId(std::string_view text);

struct HeaderValue {
    std::int64_t number = 0;
    std::string value;
};
// "number value" of HDR and XHDR (separated by one blank or tab); nothing without a number.
std::optional<HeaderValue> parseHeaderLine(std::string_view line);

}  // namespace qm
