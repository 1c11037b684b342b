// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/indexpages.h"

#include <gtest/gtest.h>

#include "catalog/picturelist.h"
#include "catalog/pictureview.h"
#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "decode/savedarticle.h"
#include "model/locks.h"
#include "platform/paths.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm {
namespace {

class IndexPagesTest : public ::testing::Test {
  protected:
    IndexPagesTest() : profile(dir.file("qmere.ini")), settings(frontend, profile) {
        settings.dataDirectory = dir.file("data");
        group = &settings.newGroup("alt.binaries.test");
        files = filesDirectory(settings, *group);
        EXPECT_EQ(makeDirectories(files), 0);
    }

    std::string decodedFile(const std::string& name) {
        std::string path = joinPath(files, name);
        dir.write(path.substr(dir.path().size() + 1), "content");
        return path;
    }

    test::TempDir dir;
    test::RecordingFrontend frontend;
    Profile profile;
    AppSettings settings;
    GroupEntry* group = nullptr;
    std::string files;
};

TEST_F(IndexPagesTest, FragmentShowsPicturesWithShowImgAndOtherFilesWithShowFile) {
    struct Case {
        const char* name;
        const char* action;
    };
    for (Case c : {Case{"pic1.jpg", "onClick=\"showImg('news.dat/pic1.jpg')\""},
                   Case{"notes.txt", "onClick=\"showFile('news.dat/notes.txt')\""}}) {
        std::string fragment = pageFragment(decodedFile(c.name), "S");
        EXPECT_NE(fragment.find(c.action), std::string::npos) << fragment;
        EXPECT_NE(fragment.find(std::string("<a href=\"news.dat/") + c.name + "\"><B><i>S</i></B>"),
                  std::string::npos)
            << fragment;
        EXPECT_NE(fragment.find(std::string("<small> ") + c.name + "</small>"), std::string::npos);
        EXPECT_EQ(
            fragment.rfind("<FORM> <table><tr><td><INPUT TYPE=\"button\" value =\"View\" ", 0), 0u);
    }
}

TEST_F(IndexPagesTest, FragmentIsEmptyForAMissingFileAndTreatsTheSubjectAsText) {
    EXPECT_EQ(pageFragment(joinPath(files, "gone.jpg"), "S"), "");
    EXPECT_EQ(pageFragment("", "S"), "");
    std::string fragment = pageFragment(decodedFile("a.jpg"), "<script>alert(1)</script> & co");
    EXPECT_EQ(fragment.find("<script>"), std::string::npos);
    EXPECT_NE(fragment.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; co"), std::string::npos);
}

TEST_F(IndexPagesTest, FirstPreparationMakesTheDayPagesOnceAndFramesAreSeventyThirty) {
    ASSERT_EQ(prepareDayPages(settings, *group), 0);
    std::string day = timeStamp(false);
    std::string groupDir = groupDirectory(settings, *group);
    std::string cont = *readWholeFile(joinPath(groupDir, "cont" + day + ".html"));
    std::string index = *readWholeFile(joinPath(groupDir, "index.html"));
    std::string idx = *readWholeFile(joinPath(groupDir, "idx" + day + ".html"));
    EXPECT_EQ(cont.rfind("<html>\n<base target=\"my_win\">\n<head> <SCRIPT", 0), 0u);
    EXPECT_NE(cont.find("<a href=\"index.html\" target= _top>All Index</a>"), std::string::npos);
    EXPECT_EQ(index.rfind("<html>\n<title> alt.binaries.test</title>\n<body>\n<h1> "
                          "alt.binaries.test</h1> <hr><br>\n<a href=\"idx" +
                              day + ".html\"",
                          0),
              0u);
    EXPECT_NE(idx.find("<frameset cols=\"70%,30%\">\n"), std::string::npos);
    EXPECT_NE(idx.find("<frame src=\"cont" + day + ".html\" target=\"my_win\">"),
              std::string::npos);
    EXPECT_TRUE(fileExists(joinPath(groupDir, std::string(ViewerPageName))));

    // Once per group and program run: a second preparation adds no second link.
    ASSERT_EQ(prepareDayPages(settings, *group), 0);
    EXPECT_EQ(*readWholeFile(joinPath(groupDir, "index.html")), index);
}

TEST_F(IndexPagesTest, DecodedFileOfAGroupGoesToTheContentsPageAndThePictureList) {
    ASSERT_EQ(prepareDayPages(settings, *group), 0);
    DecodeInputs inputs;
    inputs.group = group;
    inputs.subject = " A very long subject line that goes past thirty-six characters";

    std::string path = decodedFile("pic1.jpg");
    onFileDecoded(settings, inputs, path);

    EXPECT_TRUE(frontend.logContains("Decoded file " + path));
    std::string cont = *readWholeFile(group->stats()->contPage());
    EXPECT_NE(cont.find("showImg('news.dat/pic1.jpg')"), std::string::npos);
    EXPECT_NE(cont.find(inputs.subject), std::string::npos) << "the page keeps the whole subject";
    EXPECT_EQ(group->stats()->decoded.load(), 1);
    auto record = findPicture(*group, "pic1.jpg");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->description, inputs.subject.substr(0, 36));
    EXPECT_EQ(record->mark, 'N');
}

TEST_F(IndexPagesTest, ManualDecodeOnlyLogsTheFile) {
    std::string path = decodedFile("pic1.jpg");
    onFileDecoded(settings, DecodeInputs{}, path);
    EXPECT_TRUE(frontend.logContains("Decoded file " + path));
    EXPECT_EQ(group->stats(), nullptr);
}

TEST_F(IndexPagesTest, FullIndexListsEveryRecordAndAnEmptyLineForADeletedFile) {
    decodedFile("here.jpg");
    group->ensureStats();
    setPicture(settings, *group, "here.jpg", PictureRecord{"Here", "12071630-1998", 'N'});
    setPicture(settings, *group, "gone.jpg", PictureRecord{"Gone", "12071630-1998", 'N'});
    std::string page = writeFullIndex(settings, *group);
    ASSERT_EQ(page, joinPath(groupDirectory(settings, *group), "_imgidx.html"));
    EXPECT_NE(readWholeFile(page)->find("<frame src=\"_cnt.html\" target=\"my_win\">"),
              std::string::npos);
    std::string list = *readWholeFile(joinPath(groupDirectory(settings, *group), "_cnt.html"));
    EXPECT_EQ(list.rfind("<html><base target=\"my_win\"><head> <SCRIPT", 0), 0u);
    EXPECT_NE(list.find("</SCRIPT></head><body>\n"), std::string::npos);
    EXPECT_NE(list.find("<i>Here</i>"), std::string::npos);
    EXPECT_EQ(list.find("Gone"), std::string::npos);
    EXPECT_NE(list.find("\n\n"), std::string::npos) << "the deleted file leaves an empty line";
    EXPECT_EQ(list.substr(list.size() - 15), "</body></html>\n");
}

TEST(PictureView, PicturesGetAScaledPageAndOtherFilesTheirOwnAddress) {
    test::TempDir dir;
    EXPECT_EQ(pictureViewPage(dir.path(), "readme.txt", 400), fileUrl(dir.file("readme.txt")));
    EXPECT_FALSE(fileExists(dir.file("__img.html")));

    EXPECT_EQ(pictureViewPage(dir.path(), "a.gif", 400), fileUrl(dir.file("__img.html")));
    std::string page = *readWholeFile(dir.file("__img.html"));
    std::string url = fileUrl(dir.file("a.gif"));
    EXPECT_EQ(page, "<html><body><a href=\"" + url + "\">Original size image</a><br><img src=\"" +
                        url + "\" width=400></body></html>\n");
}

TEST(FileUrl, EncodesWhatAnAddressCannotCarryAndMakesPathsAbsolute) {
    EXPECT_EQ(fileUrl("/data/alt.x/news.dat/a b%.jpg"), "file:///data/alt.x/news.dat/a%20b%25.jpg");
    EXPECT_EQ(fileUrl("/d/#?\"<>"), "file:///d/%23%3F%22%3C%3E");
    std::string relative = fileUrl("x.jpg");
    EXPECT_EQ(relative.rfind("file:///", 0), 0u);
    EXPECT_EQ(relative.substr(relative.size() - 6), "/x.jpg");
}

}  // namespace
}  // namespace qm
