// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A decoder on a throw-away data directory for the tests of the uuencode scanner, the part
// assembler and the output files: a recording sink, the "Log" file opened, the thread's
// output directory at <data>/group, and a small uuencoder for test data.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/encoders.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm::test {

class RecordingSink : public DecodeSink {
  public:
    void onFileDecoded(const DecodeInputs&, const std::string& path,
                       const std::string& descriptionPath, const FileStart& start) override {
        files.emplace_back(path, descriptionPath);
        starts.push_back(start);
    }
    bool wantsFileStart() const override { return true; }
    void countAssembled(const DecodeInputs&) override { ++assembled; }

    std::vector<std::pair<std::string, std::string>> files;
    std::vector<FileStart> starts;  // what the decoder knew of each file
    int assembled = 0;
};

// Bytes that are the same on every run and cover every value.
inline std::string sampleData(size_t size, unsigned seed = 1) {
    std::string data(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (char& c : data) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return data;
}

inline std::string article(std::string_view subject, std::string_view body) {
    return "From: poster@example.com\nSubject: " + std::string(subject) +
           "\nNewsgroups: alt.binaries.test\n\n" + std::string(body);
}

class DecoderFixture : public ::testing::Test {
  protected:
    DecoderFixture() : m_xdg(m_dir), m_profile(profilePath()) { useDataDirectory("data"); }

    // A fresh settings record and decoder on <temp>/<name>, as at a program start.
    void useDataDirectory(std::string_view name) {
        m_decoder.reset();
        m_settings = std::make_unique<AppSettings>(m_frontend, m_profile);
        m_settings->dataDirectory = m_dir.file(name);
        EXPECT_EQ(makeDirectories(m_settings->dataDirectory), 0);
        m_settings->logFile.openAppend(joinPath(m_settings->dataDirectory, "Log"));
        m_inputs.dataDirectory = m_settings->dataDirectory;
        m_inputs.outputDirectory = joinPath(m_settings->dataDirectory, "group");
        m_inputs.log = &m_settings->logFile;
        restartDecoder();
    }

    // A new decoder on the same directories: what survives is on disk only.
    void restartDecoder() {
        m_decoder = std::make_unique<Decoder>();
        m_decoder->setSink(&m_sink);
        m_decoder->setInputs(m_inputs);
    }

    void decode(std::string_view text, bool overwrite = false, bool quiet = false) {
        std::string path = m_dir.write("in/article" + std::to_string(++m_articles), text);
        FilePtr in = openFile(path, "r");
        ASSERT_TRUE(in) << path;
        m_result = m_decoder->decodeArticle(std::move(in), m_inputs, quiet, overwrite, false);
    }

    std::string data() const { return m_settings->dataDirectory; }
    std::string news() const { return joinPath(m_inputs.outputDirectory, "news.dat"); }
    std::string newsFile(std::string_view name) const { return joinPath(news(), name); }
    std::string tmp() const { return joinPath(data(), "tmp"); }
    std::string log() const { return readWholeFile(joinPath(data(), "Log")).value_or(""); }
    static std::string content(const std::string& path) {
        return readWholeFile(path).value_or("<missing>");
    }
    // Names in a directory, sorted; hidden ones included. Empty when it does not exist.
    static std::vector<std::string> listing(const std::string& dir) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    Profile m_profile;
    RecordingFrontend m_frontend;
    RecordingSink m_sink;
    std::unique_ptr<AppSettings> m_settings;
    DecodeInputs m_inputs;
    std::unique_ptr<Decoder> m_decoder;
    DecodeResult m_result;  // of the last decode()
    int m_articles = 0;
};

}  // namespace qm::test
