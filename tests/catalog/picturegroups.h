// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Two groups of decoded pictures on disk, as retrieval leaves them: files in each group's
// "news.dat", listed in its "data.lst", decoded one second apart. Among them a resized copy
// (a near duplicate), an exact copy in the other group, and a file that is no picture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include <string>
#include <vector>

#include "catalog/picturerebuild.h"
#include "catalog/thumbnailworker.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace qm::test {

struct DecodedPicture {
    std::string group;
    std::string name;
    std::string subject;
    std::string path;  // filled in by PictureGroups
};

class PictureGroups {
  public:
    explicit PictureGroups(const TempDir& dir) : m_data(dir.file("data")) {
        m_pictures = {
            {"alt.pictures.a", "sunset.jpg", "Sunset over the bay (1/1)", ""},
            {"alt.pictures.a", "harbour.png", "Harbour <at> night & more", ""},
            {"alt.pictures.a", "small-sunset.jpg", "Sunset, smaller", ""},
            {"alt.pictures.a", "flag.gif", "A flag", ""},
            {"alt.pictures.a", "broken.jpg", "Not a picture", ""},
            {"alt.pictures.b", "tiles.bmp", "Tiles", ""},
            {"alt.pictures.b", "sunset-again.jpg", "Sunset reposted", ""},
        };
        const char* convert[] = {
            "-seed 1 -size 640x480 plasma:fractal",
            "-seed 2 -size 300x400 plasma:fractal",
            "",  // the sunset at half its size
            "-size 120x80 xc:navy -fill gold -draw 'rectangle 10,10 60,40' xc:red",
            "",  // text
            "-size 256x256 pattern:checkerboard",
            "",  // the sunset's bytes again
        };
        for (std::size_t i = 0; i < m_pictures.size(); ++i) {
            DecodedPicture& p = m_pictures[i];
            const std::string folder = joinPath(m_data, p.group);
            p.path = joinPath(joinPath(folder, "news.dat"), p.name);
            EXPECT_EQ(makeDirectories(joinPath(folder, "news.dat")), 0);
            const std::string sunset = m_pictures[0].path;
            if (p.name == "small-sunset.jpg") {
                EXPECT_TRUE(convertPicture("'" + sunset + "' -resize 50%", p.path));
            } else if (p.name == "broken.jpg") {
                EXPECT_TRUE(writeFileAtomic(p.path, "this is text\n"));
            } else if (p.name == "sunset-again.jpg") {
                EXPECT_TRUE(writeFileAtomic(p.path, readWholeFile(sunset).value_or("")));
            } else {
                EXPECT_TRUE(convertPicture(convert[i], p.path)) << convert[i];
            }
            // Decoded a second apart, the first longest ago.
            const timespec times[2] = {{1'700'000'000 + static_cast<long>(i), 0},
                                       {1'700'000'000 + static_cast<long>(i), 0}};
            EXPECT_EQ(::utimensat(AT_FDCWD, p.path.c_str(), times, 0), 0);
            std::string line = p.subject + "\t" + p.name + "\t11141320-2023\tN\n";
            m_lists[folder] += line;
        }
        for (const auto& [folder, list] : m_lists) {
            EXPECT_TRUE(writeFileAtomic(joinPath(folder, "data.lst"), list));
        }
    }

    const std::string& dataDirectory() const { return m_data; }
    const std::vector<DecodedPicture>& pictures() const { return m_pictures; }
    std::string folder(const DecodedPicture& p) const { return joinPath(m_data, p.group); }

    PictureJob job(const DecodedPicture& p) const {
        return {p.path, p.group, folder(p), p.subject, "<" + p.name + "@example>"};
    }

    // As a reader thread hands them over after decoding: checked, then submitted.
    void submit(ThumbnailWorker& worker, const DecodedPicture& p) const {
        DuplicateCheck check = worker.check(p.path);
        ASSERT_TRUE(check.readable()) << p.path;
        worker.submit(job(p), check);
    }

  private:
    std::string m_data;
    std::vector<DecodedPicture> m_pictures;
    std::map<std::string, std::string> m_lists;  // folder -> "data.lst"
};

}  // namespace qm::test
