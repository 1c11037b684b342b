// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared by the MIME decoder's tests: readers over in-memory text, and a decoder with its
// settings, log file and output folders in a temporary folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "decode/partreader.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm::test {

inline std::unique_ptr<PartReader> readerOver(std::string_view text) {
    FilePtr file(std::tmpfile());
    if (!file) throw std::runtime_error("tmpfile failed");
    std::fwrite(text.data(), 1, text.size(), file.get());
    std::rewind(file.get());
    return std::make_unique<PartReader>(std::move(file));
}

// Everything up to End, byte by byte.
inline std::string readToEnd(PartReader& reader) {
    std::string out;
    for (int c = reader.nextChar(); c != PartReader::End; c = reader.nextChar())
        out += static_cast<char>(c);
    return out;
}

// A decoder whose data directory, log file and thread output folder live in a TempDir:
// decoded files land in group/news.dat, collections in data/tmp.
class MimeDecodeTest : public ::testing::Test {
  protected:
    MimeDecodeTest() {
        settings.dataDirectory = dir.file("data");
        (void)makeDirectories(settings.dataDirectory);
        settings.logFile.open(dir.file("data/Log"));
        inputs.dataDirectory = settings.dataDirectory;
        inputs.outputDirectory = dir.file("group");
        inputs.log = &settings.logFile;
        decoder.setInputs(inputs);
    }

    void decode(std::string_view article, bool keepText = false) {
        std::string path = dir.write("article", article);
        result = decoder.decodeArticle(openFile(path, "rb"), inputs, false, false, keepText);
    }
    std::string log() const { return dir.read("data/Log"); }
    std::string news(std::string_view name) const {
        return dir.read("group/news.dat/" + std::string(name));
    }
    std::string tmpPath() const { return dir.file("data/tmp"); }

    TempDir dir;
    ScopedXdgHome home{dir};
    RecordingFrontend frontend;
    Profile profile{dir.file("config/profile.ini")};
    AppSettings settings{frontend, profile};
    DecodeInputs inputs;
    Decoder decoder;
    DecodeResult result;  // of the last decode()
};

}  // namespace qm::test
