// SPDX-License-Identifier: GPL-3.0-or-later
// NZB files are hostile input: whatever the bytes, the parser gives a document or an error,
// within its limits, and what it keeps can be sent and written safely.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "nzb/nzbparser.h"
#include "nzb/nzbwriter.h"
#include "nzb/par2tool.h"
#include "nzb/segmentdecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const qm::NzbParse parse = qm::parseNzb(text);
    std::size_t segments = 0;
    for (const qm::NzbFile& file : parse.document.files) {
        int last = 0;
        for (const qm::NzbSegment& segment : file.segments) {
            // Sorted, each number once, and every id fit for a command line.
            if (segment.number <= last || !qm::isSafeMessageId(segment.messageId)) std::abort();
            last = segment.number;
        }
        segments += file.segments.size();
        (void)qm::nzbFileName(file.subject);
    }
    if (segments > qm::MaxNzbSegments) std::abort();
    if (parse.ok()) (void)qm::formatNzb(parse.document);
    // The same bytes as a segment's body and as names.
    (void)qm::decodeSegment(text);
    (void)qm::uudecodeText(text);
    (void)qm::parsePar2Output(text);
    (void)qm::par2VolumeBlocks(text);
    (void)qm::par2IndexName(text);
    return 0;
}
