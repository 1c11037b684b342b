// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/thumbnailer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/paths.h"
#include "support/pictures.h"
#include "support/tempdir.h"

namespace qm {
namespace {

class ThumbnailerTest : public ::testing::Test {
  protected:
    Thumbnailer thumbnailer(ThumbnailOptions options = {}, const std::atomic<bool>* stop = {}) {
        return Thumbnailer([this](std::string_view line) { m_log.emplace_back(line); }, options,
                           stop);
    }
    std::string group() const { return m_dir.file("alt.pics"); }
    std::string picture(const std::string& name) const {
        return joinPath(joinPath(group(), "news.dat"), name);
    }

    test::TempDir m_dir;
    std::vector<std::string> m_log;
};

TEST_F(ThumbnailerTest, EveryFormatGetsAThumbnailOfItsShapeAndNoLogLine) {
    struct Case {
        const char* name;
        const char* convert;
        int width, height;            // the picture as shown
        int thumbWidth, thumbHeight;  // longest side 200, never enlarged
    };
    const Case cases[] = {
        {"photo.jpg", "-seed 3 -size 640x480 plasma:fractal", 640, 480, 200, 150},
        {"tall.png", "-size 300x600 xc:none -fill red -draw 'circle 150,300 150,450'", 300, 600,
         100, 200},
        {"small.gif", "-size 120x90 xc:blue xc:red", 120, 90, 120, 90},
        {"square.bmp", "-size 400x400 gradient:white-black", 400, 400, 200, 200},
        {"turned.jpg", "-size 300x100 xc:green", 100, 300, 67, 200},  // Exif: turned
    };
    ASSERT_EQ(makeDirectories(joinPath(group(), "news.dat")), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test::convertPicture(c.convert, picture(c.name)));
        if (std::string_view(c.name) == "turned.jpg") {
            auto jpeg = readWholeFile(picture(c.name));
            ASSERT_TRUE(writeFileAtomic(picture(c.name), test::withExifOrientation(*jpeg, 6)));
        }
        const std::string thumb = thumbnailPath(group(), c.name);
        Thumbnail t = thumbnailer().make(picture(c.name), thumb);
        ASSERT_TRUE(t.made);
        EXPECT_EQ(t.width, c.width);
        EXPECT_EQ(t.height, c.height);
        EXPECT_EQ(t.thumbWidth, c.thumbWidth);
        EXPECT_EQ(t.thumbHeight, c.thumbHeight);
        EXPECT_EQ(test::identifySize(thumb),
                  std::to_string(c.thumbWidth) + "x" + std::to_string(c.thumbHeight));
        EXPECT_EQ(readWholeFile(thumb).value_or("").substr(0, 3), "\xff\xd8\xff");
    }
    // A name that libvips would read options from is only a name.
    const std::string odd = picture("photo.jpg[shrink=8]");
    ASSERT_TRUE(writeFileAtomic(odd, readWholeFile(picture("photo.jpg")).value()));
    Thumbnail t = thumbnailer().make(odd, thumbnailPath(group(), "odd"));
    EXPECT_EQ(t.width, 640);
    EXPECT_EQ(t.thumbWidth, 200);
    // The first frame of the GIF, blue, not the second, red.
    test::Colour gif = test::meanColour(thumbnailPath(group(), "small.gif"));
    EXPECT_GT(gif.b, 200);
    EXPECT_LT(gif.r, 50);
    EXPECT_TRUE(m_log.empty()) << m_log.front();
}

// Pictures from the network may lie about their size, be cut off or be no picture at all.
// None may crash or stall the program: each gets no thumbnail and one log line naming it.
TEST_F(ThumbnailerTest, HostilePicturesGetNoThumbnailAndOneLogLine) {
    const std::string jpegPath = m_dir.file("real.jpg");
    ASSERT_TRUE(test::convertPicture("-seed 5 -size 800x600 plasma:fractal", jpegPath));
    const std::string jpeg = readWholeFile(jpegPath).value();
    const std::string png = test::zeroPng(64, 64, true);
    struct Case {
        const char* name;
        std::string content;
        const char* reason;  // in the log line
    };
    const Case cases[] = {
        // Refused from the header, before a single pixel is decoded.
        {"huge.png", test::zeroPng(30000, 30000, false), "30000 x 30000 pixels"},
        {"bomb.png", test::zeroPng(12000, 12000, true), "12000 x 12000 pixels"},  // 130 KB
        {"giant.jpg", test::withJpegSize(jpeg, 65000, 65000), "65000 x 65000 pixels"},
        // Not a picture, whatever the name says; other formats libvips reads are not tried.
        {"notes.jpg", "just some text\n", "not a JPEG, PNG, GIF, BMP or WebP picture"},
        {"empty.gif", "", "not a JPEG"},
        {"drawing.png", "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"9\" height=\"9\"/>",
         "not a JPEG"},
        {"script.bmp", "%!PS-Adobe-3.0\n0 0 moveto showpage\n", "not a JPEG"},
        // Its magic, then nonsense.
        {"garbage.jpg", "\xff\xd8\xff" + std::string(5000, '\x55'), ""},
        {"cut.png", png.substr(0, 40), ""},
        {"nosize.gif", "GIF89a", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        const std::string path = m_dir.write(c.name, c.content);
        const std::string thumb = thumbnailPath(group(), c.name);
        Thumbnail t = thumbnailer().make(path, thumb);
        EXPECT_FALSE(t.made);
        EXPECT_FALSE(fileExists(thumb));
        ASSERT_EQ(m_log.size(), 1u);
        EXPECT_EQ(m_log[0].rfind("No thumbnail for " + path + ": ", 0), 0u) << m_log[0];
        EXPECT_NE(m_log[0].find(c.reason), std::string::npos) << m_log[0];
    }
}

// A cut-off JPEG (a post whose last part never came) shows what arrived, unless a complete
// picture is asked for.
TEST_F(ThumbnailerTest, TruncatedJpegShowsWhatArrivedUnlessTruncationFails) {
    const std::string full = m_dir.file("full.jpg");
    ASSERT_TRUE(test::convertPicture("-seed 6 -size 1000x800 plasma:fractal", full));
    const std::string jpeg = readWholeFile(full).value();
    const std::string cut = m_dir.write("cut.jpg", jpeg.substr(0, jpeg.size() / 2));

    Thumbnail shown = thumbnailer().make(cut, m_dir.file("shown.jpg"));
    EXPECT_TRUE(shown.made);
    EXPECT_EQ(shown.thumbWidth, 200);
    EXPECT_TRUE(m_log.empty());

    ThumbnailOptions strict;
    strict.failOnTruncated = true;
    Thumbnail refused = thumbnailer(strict).make(cut, m_dir.file("no.jpg"));
    EXPECT_FALSE(refused.made);
    EXPECT_EQ(m_log.size(), 1u);
}

// A stop abandons the picture in progress; the program is going away, so no log line.
TEST_F(ThumbnailerTest, StopAbandonsTheDecodeWithoutALogLine) {
    const std::string path = m_dir.file("big.png");
    ASSERT_TRUE(writeFileAtomic(path, test::zeroPng(6000, 6000, true)));
    std::atomic<bool> stop{true};
    Thumbnail t = thumbnailer({}, &stop).make(path, m_dir.file("t.jpg"));
    EXPECT_FALSE(t.made);
    EXPECT_FALSE(fileExists(m_dir.file("t.jpg")));
    EXPECT_TRUE(m_log.empty()) << m_log.front();
}

}  // namespace
}  // namespace qm
