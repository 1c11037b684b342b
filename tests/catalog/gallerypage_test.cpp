// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/gallerypage.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/paths.h"
#include "support/tempdir.h"

namespace qm {
namespace {

StoredPicture shown(std::string name, std::string subject, bool near = false) {
    StoredPicture p;
    p.path = "alt.x/news.dat/" + name;
    p.subject = std::move(subject);
    p.thumbWidth = 200;
    p.thumbHeight = 150;
    p.near = near;
    p.state = PictureState::Shown;
    return p;
}

std::size_t occurrences(const std::string& text, std::string_view part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Names and subjects come from the network: in the page they are text and addresses, never
// markup, and every address stays a relative one.
TEST(GalleryPageTest, HostileNamesAndSubjectsStayTextAndRelativeAddresses) {
    const StoredPicture pictures[] = {
        shown("a b\"'<x>%.jpg", "<script>alert(1)</script> & \"more\""),
        shown("javascript:alert(1).jpg", ""),  // no subject: captioned with its name
        shown("..%2F..%2Fetc.jpg", "Look", true),
    };
    const std::string html = galleryHtml("alt.<b>", pictures);
    EXPECT_NE(html.find("<title>alt.&lt;b&gt;: gallery</title>"), std::string::npos);
    EXPECT_NE(html.find("<p class=\"about\">3 pictures, newest first.</p>"), std::string::npos);
    EXPECT_NE(html.find("<figure><a href=\"_view.html#news.dat%2Fa%20b%22%27%3Cx%3E%25.jpg\">"
                        "<img src=\"thumbs/a%20b%22%27%3Cx%3E%25.jpg.jpg\" width=\"200\" "
                        "height=\"150\" loading=\"lazy\" decoding=\"async\" "
                        "alt=\"a b&quot;'&lt;x&gt;%.jpg\"></a><figcaption>&lt;script&gt;alert(1)"
                        "&lt;/script&gt; &amp; &quot;more&quot;<span class=\"meta\">0 bytes</span>"
                        "</figcaption></figure>\n"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("<a href=\"_view.html#news.dat%2Fjavascript%3Aalert%281%29.jpg\">"),
              std::string::npos);
    EXPECT_NE(html.find("<figcaption>javascript:alert(1).jpg<span"), std::string::npos);
    EXPECT_NE(html.find("<figure class=\"near\"><a href=\"_view.html#news.dat%2F..%252F..%252F"
                        "etc.jpg\">"),
              std::string::npos);
    EXPECT_NE(html.find("<span class=\"nearmark\">Looks like another picture</span>"),
              std::string::npos);
    EXPECT_EQ(occurrences(html, "<script"), 1u) << "the page's own viewer only";
}

// Every picture of the group gets a card: one without a thumbnail (not made yet, or
// unreadable) says so instead of being left out, and each card has its date and size.
TEST(GalleryPageTest, PicturesWithoutAThumbnailGetANoPreviewCardAndEveryCardItsDateAndSize) {
    StoredPicture waiting = shown("waiting.jpg", "Waiting");
    waiting.state = PictureState::Pending;
    StoredPicture broken = shown("broken.jpg", "Broken", true);
    broken.state = PictureState::Unreadable;
    broken.size = 1536 * 1024;
    StoredPicture fine = shown("fine.jpg", "Fine");
    fine.date = 1765289100;  // 2025-12-09 14:05 UTC
    fine.size = 12345;
    const StoredPicture pictures[] = {waiting, broken, fine};
    const std::string html = galleryHtml("alt.x", pictures);

    EXPECT_NE(html.find("<p class=\"about\">3 pictures, newest first; 2 without a preview.</p>"),
              std::string::npos);
    EXPECT_EQ(occurrences(html, "<figure"), 3u);
    EXPECT_EQ(occurrences(html, "<img src=\"thumbs/"), 1u);
    EXPECT_NE(html.find("<figure class=\"nopreview\"><a href=\"_view.html#news.dat%2Fwaiting.jpg\">"
                        "<span class=\"noimg\">no preview</span></a>"),
              std::string::npos);
    EXPECT_NE(html.find("<figure class=\"near nopreview\"><a href=\"_view.html#news.dat%2F"
                        "broken.jpg\"><span class=\"noimg\">no preview</span></a>"),
              std::string::npos);
    EXPECT_NE(html.find("<span class=\"meta\">1.5 MB</span>"), std::string::npos);
    EXPECT_NE(html.find("<span class=\"meta\"><time datetime=\"2025-12-09T14:05:00Z\">"),
              std::string::npos);
    EXPECT_NE(html.find("</time> &middot; 12 KB</span>"), std::string::npos);

    for (const auto& [bytes, text] : std::initializer_list<std::pair<std::int64_t, const char*>>{
             {0, "0 bytes"},
             {1023, "1023 bytes"},
             {1024, "1.0 KB"},
             {10 * 1024, "10 KB"},
             {1536 * 1024, "1.5 MB"},
             {std::int64_t{5} << 40, "5.0 TB"},
             {std::int64_t{5000} << 40, "5000 TB"}})
        EXPECT_EQ(readableSize(bytes), text) << bytes;
}

TEST(GalleryPageTest, WritingPutsTheViewerPageBeside) {
    test::TempDir dir;
    const StoredPicture one[] = {shown("a.jpg", "A")};
    ASSERT_TRUE(writeGalleryPage(dir.file("alt.x"), "alt.x", one));
    EXPECT_EQ(dir.read("alt.x/gallery.html"), galleryHtml("alt.x", one));
    EXPECT_TRUE(fileExists(dir.file("alt.x/_view.html")));
    EXPECT_FALSE(writeGalleryPage("/dev/null/alt.x", "alt.x", one));
}

}  // namespace
}  // namespace qm
