// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The scanner for plain (non-MIME) text: finds uuencoded files and the parts of split posts,
// stores each part in its collection directory (below the data directory's "tmp", kept
// across articles and runs) and has the set decoded once every part is there; keeps the text
// before the data of a part 1 as the set's description; hands MIME entities that start in
// the middle of the text back to the MIME decoder.
//
// Free functions, called by the MIME decoder (and so by Decoder::decodeArticle) with
// DecodeLock held. No state between calls: the collections live on disk.
#include <optional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace qm {

class Decoder;
class PartReader;

// Scans the rest of the current body part; subject is the article's subject (part numbers
// and the file-name key are recognised in it). 0 when nothing was found or saved, else the
// result of saving a part, of the MIME decoder or of the BinHex handler.
int scanForAttachments(Decoder& decoder, PartReader& reader, std::string_view subject,
                       bool keepText);

// Stores part (of count, 0 when unknown) of the set name ("unknown" when none): firstLine
// and the rest of reader; assembles the set when it is complete. 0 when the set is not
// complete yet or was assembled, 1 on an error.
int savePart(Decoder& decoder, PartReader& reader, std::optional<std::string_view> name, int part,
             int count, std::optional<std::string_view> firstLine);

// The description file "0" of the set name, to be written: open on its temporary file
// ("0.new", which becomes "0" when closed), so that a run killed while writing it leaves no
// "0" cut short for the set to keep. Empty when "0" exists already or cannot be created.
struct PartDescription {
    FilePtr file;
    std::string path;       // "0"
    std::string temporary;  // "0.new"
};
PartDescription openPartDescription(Decoder& decoder, std::string_view name);

// BinHex 4.0 is not decoded: drops the rest of the text (when reader is given), writes
// nothing and returns 1.
int handleBinHex(PartReader* reader, int part, int count);

// A line that names a part of a split post ("section 2/5 file x.zip ...", "POST V2 x.zip
// (Part 2/5)", "File: x.zip -- part 2 of 5 -- ...", "[Section: 2/5 File: x.zip",
// "[x.zip - part 2 of 5]").
struct PartMarker {
    enum Kind { None, Ignored, Part };
    Kind kind = None;
    std::string name;
    int part = 0;
    int count = 0;  // 0 when the line does not say
};
PartMarker parsePartMarker(std::string_view line);

}  // namespace qm
