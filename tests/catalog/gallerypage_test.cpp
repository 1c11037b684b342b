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
    return p;
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
                        "&lt;/script&gt; &amp; &quot;more&quot;</figcaption></figure>\n"),
              std::string::npos)
        << html;
    EXPECT_NE(html.find("<a href=\"_view.html#news.dat%2Fjavascript%3Aalert%281%29.jpg\">"),
              std::string::npos);
    EXPECT_NE(html.find("<figcaption>javascript:alert(1).jpg</figcaption>"), std::string::npos);
    EXPECT_NE(html.find("<figure class=\"near\"><a href=\"_view.html#news.dat%2F..%252F..%252F"
                        "etc.jpg\">"),
              std::string::npos);
    EXPECT_NE(html.find("<span class=\"nearmark\">Looks like another picture</span>"),
              std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
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
