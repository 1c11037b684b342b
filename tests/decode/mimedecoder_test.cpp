// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/mimedecoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>

#include "mimefixture.h"
#include "support/encoders.h"

namespace qm::test {
namespace {

// base64 of "\xff\xd8\xff\xe0JFIF\0picture bytes"
const char JpegBase64[] = "/9j/4EpGSUYAcGljdHVyZSBieXRlcw==";
const std::string JpegBytes("\xff\xd8\xff\xe0JFIF\0picture bytes", 22);

std::string uuencodeLine(std::string_view bytes) {
    auto enc = [](unsigned v) { return static_cast<char>(v ? (v & 63) + 32 : '`'); };
    std::string line(1, enc(static_cast<unsigned>(bytes.size())));
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned char b[3] = {};
        for (size_t j = 0; j < 3 && i + j < bytes.size(); ++j) b[j] = bytes[i + j];
        line += enc(b[0] >> 2);
        line += enc(((b[0] & 3) << 4) | (b[1] >> 4));
        line += enc(((b[1] & 15) << 2) | (b[2] >> 6));
        line += enc(b[2] & 63);
    }
    return line + "\n";
}

size_t count(const std::string& text, std::string_view what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

using MimeDecoderTest = MimeDecodeTest;

TEST_F(MimeDecoderTest, ArticleWithoutMimeHeadersReachesTheScannerWithItsSubject) {
    decode("From: someone\nSubject: holiday.bin (1/1)\n\nsome words\nbegin 644 holiday.bin\n" +
           uuencodeLine("uuencoded content") + "`\nend\n");
    EXPECT_EQ(news("holiday.bin"), "uuencoded content");
    EXPECT_NE(log().find("Saving part 1 of 1 "), std::string::npos) << log();
}

TEST_F(MimeDecoderTest, TextAndJpegPartsGiveTheJpegWithTheTextAsDescription) {
    decode(std::string("Subject: look\nMIME-Version: 1.0\n"
                       "Content-Type: multipart/mixed; boundary=\"XYZ\"\n\n"
                       "preamble\n--XYZ\nContent-Type: text/plain\n\nA photo of the beach.\n\n"
                       "--XYZ\nContent-Type: image/jpeg; name=\"beach.jpg\"\n"
                       "Content-Transfer-Encoding: base64\n\n") +
           JpegBase64 + "\n--XYZ--\nepilogue\n");
    EXPECT_EQ(news("beach.jpg"), JpegBytes);
    EXPECT_EQ(news("beach.desc"), "A photo of the beach.\n");
    EXPECT_FALSE(fileExists(dir.file("data/tmp/tempdesc.txt")));
}

TEST_F(MimeDecoderTest, ContentMd5IsCheckedAndAMismatchStillKeepsTheFile) {
    struct Case {
        std::string md5;
        bool corrupt;
    };
    // md5("\xff\xd8...") in base64, computed with md5sum | xxd -r -p | base64
    const Case cases[] = {{"Jqeisk4jaltVvFMEvpP7Bg==", false}, {"AAAAAAAAAAAAAAAAAAAAAA==", true}};
    for (const auto& c : cases) {
        decode(
            "Content-Type: image/jpeg; name=\"m.jpg\"\nContent-Transfer-Encoding: base64\n"
            "Content-MD5: " +
            c.md5 + "\n\n" + JpegBase64 + "\n");
        EXPECT_EQ(news("m.jpg"), JpegBytes);
        std::string warning = "Warning: " + decoder.lastOutputPath() + " was corrupted in transit";
        EXPECT_EQ(log().find(warning) != std::string::npos, c.corrupt) << c.md5 << "\n" << log();
    }
}

std::string fragment(int number, std::optional<int> total, std::string_view body) {
    std::string type =
        "Content-Type: message/partial; id=\"set1@host\"; number=" + std::to_string(number);
    if (total) type += "; total=" + std::to_string(*total);
    return "Subject: pieces\nMessage-ID: <p" + std::to_string(number) + "@host>\n" + type + "\n\n" +
           std::string(body);
}

TEST_F(MimeDecoderTest, PartialFragmentsInAnyOrderAreJoinedOnceAllArrived) {
    const std::string first =
        "Content-Type: application/octet-stream; name=\"joined.bin\"\n"
        "Content-Transfer-Encoding: base64\nX-Dropped: inner field\n\nYWJjZGVm\n";
    decode(fragment(3, 3, "amts\n"));
    decode(fragment(1, std::nullopt, first));
    EXPECT_EQ(news("joined.bin"), "<missing>");
    EXPECT_NE(log().find("Saving part 1 of 3 set1@host"), std::string::npos) << log();
    decode(fragment(2, std::nullopt, "Z2hp\n"));
    EXPECT_EQ(news("joined.bin"), "abcdefghijkl");
    EXPECT_EQ(count(log(), "Warning: Did one assemble."), 1u) << log();
    EXPECT_TRUE(std::filesystem::is_empty(tmpPath())) << "the collection is gone";
}

TEST_F(MimeDecoderTest, NestedMultipartWithoutInnerCloseDelimiterEndsAtTheOuterBoundary) {
    decode(
        "Content-Type: multipart/mixed; boundary=OUT\n\n--OUT\n"
        "Content-Type: multipart/alternative; boundary=IN\n\n--IN\n"
        "Content-Type: application/octet-stream; name=a.bin\nContent-Transfer-Encoding: base64\n"
        "\nYWFh\n--OUT\n"
        "Content-Type: application/octet-stream; name=b.bin\nContent-Transfer-Encoding: base64\n"
        "\nYmJi\n--OUT--\n");
    EXPECT_EQ(news("a.bin"), "aaa");
    EXPECT_EQ(news("b.bin"), "bbb");
}

TEST_F(MimeDecoderTest, DigestPartsWithoutContentTypeAreMessages) {
    decode(
        "Content-Type: multipart/digest; boundary=D\n\n--D\n\n"
        "Subject: one\nContent-Type: application/octet-stream; name=d1.bin\n"
        "Content-Transfer-Encoding: base64\n\nZDE=\n--D\n\n"
        "Content-Type: application/octet-stream; name=d2.bin\n\nplain d2\n--D--\n");
    EXPECT_EQ(news("d1.bin"), "d1");
    EXPECT_EQ(news("d2.bin"), "plain d2");
}

TEST_F(MimeDecoderTest, Base64CutInsideAGroupKeepsTheBytesAndWarns) {
    decode(
        "Content-Type: application/octet-stream; name=cut.bin\n"
        "Content-Transfer-Encoding: base64\n\nYWJjZGVm\nYWJ");
    EXPECT_EQ(news("cut.bin"), "abcdefab");
    EXPECT_NE(log().find("Warning: Premature EOF\n"), std::string::npos) << log();
}

TEST_F(MimeDecoderTest, QuotedPrintableAttachmentIsDecoded) {
    decode(
        "Content-Type: application/octet-stream; name=q.bin\n"
        "Content-Transfer-Encoding: quoted-printable\n\nA=3DB=\nC=00\n=FF\n");
    EXPECT_EQ(news("q.bin"), std::string("A=BC\0\n\xff\n", 8));
}

// Text before the "begin" line and after the "end" line is no data; the name of the header
// wins over the begin line's, which names the file when the header does not.
TEST_F(MimeDecoderTest, UuencodedBodiesAreDecodedAndTheirHeaderNameWins) {
    const std::string data("uu\r\ndata\0\xff", 10);
    struct Case {
        std::string encoding, parameter, beginName, file;
    };
    const Case cases[] = {
        {"x-uuencode", "; name=\"header.jpg\"", "inner.jpg", "header.jpg"},
        {"X-UUE", "", "inner.bin", "inner.bin"},
        {"uue (poster)", "", "", "part1"},
    };
    for (const Case& c : cases) {
        decode("Subject: uu\nContent-Type: application/octet-stream" + c.parameter +
               "\nContent-Transfer-Encoding: " + c.encoding + "\n\nsome words\nbegin 644 " +
               c.beginName + "\n" + uuencodeLine(data) + "`\nend\ntrailing words\n");
        EXPECT_EQ(news(c.file), data) << c.encoding;
    }
    EXPECT_EQ(log().find("unknown content transfer encoding"), std::string::npos) << log();

    decode(
        "Subject: packed\nContent-Type: application/octet-stream; name=g.bin\n"
        "Content-Transfer-Encoding: x-gzip64\n\nkept as it is\n");
    EXPECT_EQ(news("g.bin"), "kept as it is\n");
    EXPECT_NE(log().find("Warning: ignoring unknown content transfer encoding\n"),
              std::string::npos);
}

TEST_F(MimeDecoderTest, MalformedStructuresAreWarnedAbout) {
    struct Case {
        std::string article, warning;
    };
    const std::string partial = "Content-Type: message/partial";
    const Case cases[] = {
        {"Content-Type: multipart/mixed\n\nbody\n", "multipart message has no boundary parameter"},
        {"Content-Type: text/plain\nContent-Transfer-Encoding: x-gzip\n\nhi\n",
         "ignoring unknown content transfer encoding\n"},
        {partial + "; number=1\n\nx\n", "partial message has no id parameter"},
        {partial + "; id=a\n\nx\n", "partial message doesn't have number parameter"},
        {partial + "; id=a; number=1; total=0\n\nx\n",
         "partial message has invalid number of parts"},
        {partial + "; id=a; number=1; total=99999999999\n\nx\n",
         "partial message has invalid number of parts"},
        {partial + "; id=a; number=0\n\nx\n", "partial message has invalid number"},
        {partial + "; id=a; number=-3\n\nx\n", "partial message has invalid number"},
        {partial + "; id=a; number=4294967297\n\nx\n", "partial message has invalid number"},
        {partial + "; id=a; number=5; total=4\n\nx\n", "partial message has invalid number"},
        {"Content-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n\n",
         "ignoring invalid content encoding on message/rfc822"},
    };
    for (const auto& c : cases) {
        decode(c.article);
        EXPECT_NE(log().find("Warning: " + c.warning + "\n"), std::string::npos)
            << c.article << "\n"
            << log();
    }
}

TEST_F(MimeDecoderTest, HostileFragmentIdsStayInsideTheCollectionFolder) {
    const std::string ids[] = {"../../escape", "/etc/x", "..", "a/../../b", "\x01\x7f\xff"};
    for (const auto& id : ids)
        decode("Content-Type: message/partial; id=\"" + id + "\"; number=2; total=2\n\nx\n");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        std::string path = entry.path().string();
        bool inside = path.starts_with(dir.file("data")) || path.starts_with(dir.file("group")) ||
                      path.starts_with(dir.file("config")) || path == dir.file("article");
        EXPECT_TRUE(inside) << path;
    }
}

TEST_F(MimeDecoderTest, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    std::string multiparts, messages;
    for (int i = 0; i < 20000; ++i) {
        multiparts += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" +
                      std::to_string(i) + "\n";
        messages += "Content-Type: message/rfc822\n\n";
    }
    decode(multiparts + "\ninnermost\n");
    EXPECT_NE(log().find("nested too deeply"), std::string::npos);
    decode(messages + "Content-Type: application/octet-stream; name=deep.bin\n\nx\n");
    EXPECT_NE(log().find("nested too deeply"), std::string::npos);
}

}  // namespace
}  // namespace qm::test

namespace qm::test {
namespace {

// A single-part yEnc post of data.
std::string yencPost(std::string_view data, std::string_view name) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08lx",
                  crc32(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
    return "=ybegin line=128 size=" + std::to_string(data.size()) + " name=" + std::string(name) +
           "\n" + yencLines(data) + "=yend size=" + std::to_string(data.size()) + " crc32=" + crc +
           "\n";
}

TEST_F(MimeDecodeTest, AYencPostInATextPartOfAMultipartIsDecoded) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>((i * 7919) & 0xff);
    decode(
        "Subject: picture\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"b\"\n\n"
        "--b\nContent-Type: text/plain\n\nA harbour at dusk.\n"
        "--b\nContent-Type: text/plain\n\n" +
        yencPost(data, "harbour at dusk.jpg") + "--b--\n");
    EXPECT_EQ(news("harbourXatXdusk.jpg"), data);
    EXPECT_EQ(news("harbourXatXdusk.desc"),
              "A harbour at dusk.");  // its line end is the delimiter's
    EXPECT_EQ(log().find("CRC"), std::string::npos) << log();
}

}  // namespace
}  // namespace qm::test
