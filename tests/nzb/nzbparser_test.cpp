// SPDX-License-Identifier: GPL-3.0-or-later
// NZB files come from indexers and strangers: each hostile one is refused with a reason or
// tamed, and what the writer makes reads back the same and is valid NZB 1.1.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "nzb/nzbparser.h"
#include "nzb/nzbwriter.h"
#include "support/nzbdtd.h"
#include "support/tempdir.h"

namespace qm {
namespace {

std::string nzbWith(std::string_view files, std::string_view doctype = {}) {
    return "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n" + std::string(doctype) +
           "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n" + std::string(files) +
           "</nzb>\n";
}

std::string fileWith(std::string_view subject, std::string_view segments) {
    return "<file poster=\"p\" date=\"1700000000\" subject=\"" + std::string(subject) +
           "\"><groups><group>alt.test</group></groups><segments>" + std::string(segments) +
           "</segments></file>\n";
}

TEST(NzbParser, EntityTricksAndBrokenXmlAreRefusedWithAReason) {
    const std::string laughs =
        "<!DOCTYPE nzb [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d "
        "\"&c;&c;&c;&c;&c;&c;&c;&c;\">]>\n";
    NzbParse parse =
        parseNzb(nzbWith(fileWith("&d;", "<segment number=\"1\">a@b</segment>"), laughs));
    EXPECT_NE(parse.error.find("entities"), std::string::npos) << parse.error;
    EXPECT_TRUE(parse.document.files.empty());

    const std::string external = "<!DOCTYPE nzb [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n";
    parse = parseNzb(nzbWith(fileWith("&x;", "<segment number=\"1\">a@b</segment>"), external));
    EXPECT_NE(parse.error.find("entities"), std::string::npos) << parse.error;

    EXPECT_NE(parseNzb("<nzb><file>").error.find("not a valid NZB"), std::string::npos);
    EXPECT_NE(parseNzb("").error, "");
    EXPECT_EQ(parseNzb(nzbWith("")).error, "the NZB lists no file to fetch");
}

TEST(NzbParser, SegmentsAreSortedDeduplicatedAndUnsafeIdsDropped) {
    const NzbParse parse =
        parseNzb(nzbWith(fileWith("set &quot;a.jpg&quot; (1/5)",
                                  "<segment bytes=\"30\" number=\"3\">&lt;c@x&gt;</segment>"
                                  "<segment bytes=\"10\" number=\"1\">a@x</segment>"
                                  "<segment bytes=\"11\" number=\"1\">again@x</segment>"
                                  "<segment number=\"2\">b@x&#13;&#10;QUIT</segment>"
                                  "<segment number=\"5\">e x@y</segment>"
                                  "<segment number=\"-4\">f@x</segment>")));
    ASSERT_TRUE(parse.ok()) << parse.error;
    ASSERT_EQ(parse.document.files.size(), 1u);
    const NzbFile& file = parse.document.files[0];
    ASSERT_EQ(file.segments.size(), 2u);
    EXPECT_EQ(file.segments[0], (NzbSegment{1, 10, "a@x"}));  // the first of number 1 kept
    EXPECT_EQ(file.segments[1], (NzbSegment{3, 30, "c@x"}));  // brackets taken off
    EXPECT_EQ(file.missingSegments, 1);                       // 2 was dropped; 5 went with its id
    EXPECT_EQ(nzbFileName(file.subject), "a.jpg");
    EXPECT_GE(parse.notes.size(), 4u);
}

TEST(NzbParser, AFileLargerThanAnyPostNeedsIsRefusedUnread) {
    test::TempDir dir;
    const std::string path = dir.file("huge.nzb");
    ASSERT_EQ(::truncate(dir.write("huge.nzb", "<nzb>").c_str(), 100 << 20), 0);
    const NzbParse parse = readNzbFile(path);
    EXPECT_NE(parse.error.find("larger than"), std::string::npos) << parse.error;
}

TEST(NzbWriter, WhatIsWrittenReadsBackTheSameAndIsValidNzb11) {
    NzbDocument document;
    NzbFile file;
    file.poster = "Poster <p@x>";
    file.date = 1700000000;
    file.subject = "Tom & Jerry's \"pic.jpg\" <1/2>";
    file.groups = {"alt.binaries.pictures", "alt.test"};
    file.segments = {{1, 700123, "part1&x@y"}, {2, 5000, "part2@y"}};
    document.files.push_back(file);
    const std::string text = formatNzb(document);
    const NzbParse parse = parseNzb(text);
    ASSERT_TRUE(parse.ok()) << parse.error;
    EXPECT_EQ(parse.document, document);

    if (!test::haveXmllint()) GTEST_SKIP() << "xmllint (libxml2-utils) is not installed";
    test::TempDir dir;
    EXPECT_TRUE(test::validNzb11(dir, dir.write("out.nzb", text))) << text;
}

}  // namespace
}  // namespace qm
