// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/nzbwriter.h"

#include <string_view>

namespace qm {
namespace {

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                // Control characters other than tab, CR and LF are not XML characters at all.
                if (byte >= 0x20 || c == '\t')
                    out += c;
                else if (c == '\n' || c == '\r')
                    out += ' ';
        }
    }
    return out;
}

}  // namespace

std::string formatNzb(const NzbDocument& document) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n"
        "<!DOCTYPE nzb PUBLIC \"-//newzBin//DTD NZB 1.1//EN\" "
        "\"http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd\">\n"
        "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n";
    if (!document.meta.empty()) {
        out += " <head>\n";
        for (const auto& [type, value] : document.meta)
            out += "  <meta type=\"" + escaped(type) + "\">" + escaped(value) + "</meta>\n";
        out += " </head>\n";
    }
    for (const NzbFile& file : document.files) {
        out += " <file poster=\"" + escaped(file.poster) + "\" date=\"" +
               std::to_string(file.date) + "\" subject=\"" + escaped(file.subject) + "\">\n";
        out += "  <groups>\n";
        for (const std::string& group : file.groups)
            out += "   <group>" + escaped(group) + "</group>\n";
        out += "  </groups>\n  <segments>\n";
        for (const NzbSegment& segment : file.segments)
            out += "   <segment bytes=\"" + std::to_string(segment.bytes) + "\" number=\"" +
                   std::to_string(segment.number) + "\">" + escaped(segment.messageId) +
                   "</segment>\n";
        out += "  </segments>\n </file>\n";
    }
    out += "</nzb>\n";
    return out;
}

}  // namespace qm
