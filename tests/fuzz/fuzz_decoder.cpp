// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds each input as a saved article to the decoder's entry, as a reader thread would.
// Everything the decoder writes goes below one temporary folder made at start-up, which is
// emptied every few thousand runs so that the disk stays bounded.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/appsettings.h"
#include "config/frontend.h"
#include "config/threadcontext.h"
#include "decode/decoder.h"
#include "platform/file.h"
#include "platform/profile.h"
#include "support/silentfrontend.h"

namespace {

using qm::test::SilentFrontend;

std::string makeWorkFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qmfuzz.XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    return pattern;
}

struct Harness {
    Harness()
        : folder(makeWorkFolder()), profile(folder + "/profile.ini"), settings(frontend, profile) {
        settings.dataDirectory = folder + "/data";
        std::filesystem::create_directories(settings.dataDirectory);
        settings.logFile.open(settings.dataDirectory + "/Log");
        inputs = {
            settings.dataDirectory, folder + "/group", nullptr, "", &settings.logFile, "", -1};
        // The decoder names every file it creates on standard output.
        if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    }
    ~Harness() { std::filesystem::remove_all(folder); }

    void clean() {
        std::error_code ec;
        std::filesystem::remove_all(folder + "/group", ec);
        std::filesystem::remove_all(settings.dataDirectory + "/tmp", ec);
        settings.logFile.open(settings.dataDirectory + "/Log");
    }

    std::string folder;
    SilentFrontend frontend;
    qm::Profile profile;
    qm::AppSettings settings;
    qm::DecodeInputs inputs;
    qm::Decoder decoder;
    unsigned runs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    static Harness harness;
    if (++harness.runs % 2000 == 0) harness.clean();
    // fmemopen refuses an empty buffer; an empty article is still a case worth running.
    qm::FilePtr file(size > 0 ? fmemopen(const_cast<std::uint8_t*>(data), size, "rb")
                              : std::tmpfile());
    if (!file) return 0;
    (void)harness.decoder.decodeArticle(std::move(file), harness.inputs, false, false, false);
    return 0;
}
