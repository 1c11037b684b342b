// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What a server says it can do in its CAPABILITIES list (RFC 3977 5.2), reduced to what the
// reader uses: whether it reads news at all or must be switched with MODE READER, the
// overview (OVER, RFC 3977 8.3) and header (HDR, 8.5) commands, and COMPRESS DEFLATE
// (RFC 8054). A plain value, owned by its connection.
#include <string>
#include <string_view>

namespace qm {

struct Capabilities {
    bool listed = false;      // the server answered CAPABILITIES (an RFC 3977 server)
    bool reader = false;      // READER
    bool modeReader = false;  // MODE-READER: a MODE READER is needed before reading
    bool over = false;        // OVER
    bool hdr = false;         // HDR
    bool compressDeflate = false;
    bool authinfo = false;  // AUTHINFO offered (a login is possible now)
    // The labels as listed, blank-separated, for showing (at most LabelsLimit characters).
    std::string labels;
    static constexpr std::size_t LabelsLimit = 512;

    // Takes one line of the list (case does not matter, arguments follow the label).
    void addLine(std::string_view line);
};

}  // namespace qm
