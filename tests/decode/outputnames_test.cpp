// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/outputnames.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

struct NameCase {
    std::string input;
    std::string expected;
};

TEST(OutputNames, OutputNamesKeepOnlySafeCharacters) {
    const NameCase cases[] = {
        {"my pic (1).jpg", "myXpicXX1X.jpg"},
        {"..\\..\\x", "..X..Xx"},
        {"../../x", "..X..Xx"},
        {"/etc/passwd", "XetcXpasswd"},
        {"C:\\boot.ini", "CXXboot.ini"},
        {"~~~pic.jpg", "pic.jpg"},
        {"a~b.jpg", "a~b.jpg"},
        {"..", "XX"},
        {".", "X"},
        {"...", "..."},
        {std::string("\x01\x1b[2J\x7f\xe9.gif"), "XXX2JXX.gif"},
        {"tab\there", "tabXhere"},
        {"@#+=!$&*()|'\";<>[]{}?/`\\ ", std::string(25, 'X')},
        {"plain-name_1.2,3%.jpg", "plain-name_1.2,3%.jpg"},
        // The program's own hidden names are never given to a decoded file; others stay.
        {".qmere-decoding-evil.jpg", "_qmere-decoding-evil.jpg"},
        {"~.qmere.lock", "_qmere.lock"},
        {".qmerely.gif", "_qmerely.gif"},
        {".hidden.jpg", ".hidden.jpg"},
    };
    for (const NameCase& c : cases) EXPECT_EQ(safeOutputName(c.input), c.expected) << c.input;
}

TEST(OutputNames, NamelessWhenOnlyTildesOrEmpty) {
    EXPECT_EQ(safeOutputName(""), "");
    EXPECT_EQ(safeOutputName("~~~"), "");
}

TEST(OutputNames, LongNamesAreShortenedKeepingTheExtension) {
    std::string name = safeOutputName(std::string(5000, 'a') + ".jpg");
    EXPECT_EQ(name.size(), MaxNameBytes);
    EXPECT_EQ(name.substr(name.size() - 4), ".jpg");
    // An "extension" that is really most of the name is not kept whole.
    std::string odd = safeOutputName("a." + std::string(5000, 'b'));
    EXPECT_EQ(odd.size(), MaxNameBytes);
    // A file system that takes fewer bytes (eCryptfs: 143).
    EXPECT_EQ(safeOutputName(std::string(200, 'c') + ".jpeg", 143),
              std::string(138, 'c') + ".jpeg");
    EXPECT_EQ(descriptionPathFor("/d/" + std::string(200, 'c') + ".jpeg", 143),
              "/d/" + std::string(138, 'c') + ".desc");
    EXPECT_EQ(fitFileName("short.jpg"), "short.jpg");
}

TEST(OutputNames, CollectionNamesDropUnsafeCharacters) {
    const NameCase cases[] = {
        {"a/b c\\d", "abcd"},
        {"<part1.123@host.example>", "part1.123host.example"},
        {"", "unknown"},
        {"/// ", "unknown"},
        {"..", "XX"},
        {"../..", "XXXX"},
        {std::string("\x01pic\xff"), "pic"},
        {std::string(400, 'k'), std::string(MaxNameBytes, 'k')},
        // What the decoder keeps in "tmp" beside the collections.
        {".qmere-decoding-description-x", "_qmere-decoding-description-x"},
        {"tempdesc.txt", "_tempdesc.txt"},
        {"tempdesc.txt.1", "tempdesc.txt.1"},
    };
    for (const NameCase& c : cases) EXPECT_EQ(collectionName(c.input), c.expected) << c.input;
}

TEST(OutputNames, DescriptionReplacesTheExtension) {
    const NameCase cases[] = {
        {"/d/news.dat/photo.jpg", "/d/news.dat/photo.desc"},
        {"/d/news.dat/README", "/d/news.dat/README.desc"},
        {"/d.x/news.dat/README", "/d.x/news.dat/README.desc"},
        {"/d/news.dat/a.tar.gz", "/d/news.dat/a.tar.desc"},
        {"/d/part3", "/d/part3.desc"},
    };
    for (const NameCase& c : cases) EXPECT_EQ(descriptionPathFor(c.input), c.expected);
    std::string longName = "/d/" + std::string(MaxNameBytes, 'r');
    EXPECT_EQ(descriptionPathFor(longName).size(), 3 + MaxNameBytes);
}

TEST(OutputNames, ContentTypeFollowsTheLastExtension) {
    const NameCase cases[] = {
        {"a.gif", "image/gif"},
        {"A.GIF", "image/gif"},
        {"a.jpg", "image/jpeg"},
        {"a.Jpeg", "image/jpeg"},
        {"a.mpg", "video/mpeg"},
        {"a.MPEG", "video/mpeg"},
        {"a.jpg.zip", "application/octet-stream"},
        {"jpg", "application/octet-stream"},
        {"a.png", "application/octet-stream"},
    };
    for (const NameCase& c : cases) EXPECT_EQ(contentTypeForName(c.input), c.expected);
}

}  // namespace
}  // namespace qm
