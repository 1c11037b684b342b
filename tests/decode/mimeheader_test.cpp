// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/mimeheader.h"

#include <gtest/gtest.h>

#include <string>

#include "mimefixture.h"

namespace qm {
namespace {

MimeHeader headerOf(std::string_view text) {
    MimeHeader header;
    header.assign(text);
    return header;
}

TEST(MimeHeader, FieldsAreFoundInAnyCaseAtLineStartsOnly) {
    MimeHeader header = headerOf(
        "X-Note: Content-Type: fake/type\n"
        "content-TYPE:  (a comment (nested \\) still)) image/gif ;\n"
        "\tname=\"a b.gif\"\n"
        "Subject: pic.jpg\n"
        " (1/2)\r\n"
        "Content-MD5: abc\n");
    auto type = header.contentType();
    ASSERT_TRUE(type);
    EXPECT_EQ(*type, "image/gif ;\n\tname=\"a b.gif\"");
    EXPECT_EQ(header.subject(), "pic.jpg (1/2)");
    EXPECT_EQ(header.contentMd5().value_or("-"), "abc");
    EXPECT_FALSE(header.transferEncoding());
    EXPECT_FALSE(header.field("Content"));
}

TEST(MimeHeader, EncodingTokensAreRecognised) {
    struct Case {
        std::string value;
        TransferEncoding encoding;
        bool unknown;
    };
    const Case cases[] = {
        {"base64", TransferEncoding::Base64, false},
        {"BASE64\r", TransferEncoding::Base64, false},
        {"(c) Quoted-Printable (x)", TransferEncoding::QuotedPrintable, false},
        {"7bit", TransferEncoding::None, false},
        {"8BIT", TransferEncoding::None, false},
        {"binary", TransferEncoding::None, false},
        {"base64x", TransferEncoding::None, true},
        {"x-uuencode", TransferEncoding::Uuencode, false},
        {"X-UUE (poster)", TransferEncoding::Uuencode, false},
        {"UUencode", TransferEncoding::Uuencode, false},
        {"uue", TransferEncoding::Uuencode, false},
        {"x-uuencoded", TransferEncoding::None, true},
        {"9bit", TransferEncoding::None, true},
        {"", TransferEncoding::None, true},
        {"(unbalanced", TransferEncoding::None, true},
    };
    for (const auto& c : cases) {
        bool unknown = false;
        EXPECT_EQ(parseEncoding(c.value, unknown), c.encoding) << c.value;
        EXPECT_EQ(unknown, c.unknown) << c.value;
    }
}

TEST(ContentType, ParametersAreFoundByNameWithQuotesEscapesAndComments) {
    ContentType type = parseContentType(
        "multipart/mixed (x;y) ; BOUNDARY = \"a;b\\\"c\" ; name=plain.gif (a comment) ;"
        " filename=\"f.jpg\"; empty=; id=\"x(y)z\"");
    EXPECT_EQ(type.type, "multipart/mixed");
    struct Case {
        std::string name;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"boundary", "a;b\"c"}, {"name", "plain.gif"},     {"filename", "f.jpg"},   {"empty", ""},
        {"id", "x(y)z"},        {"missing", std::nullopt}, {"bound", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(type.parameter(c.name), c.value) << c.name;
}

TEST(ContentType, HostileValuesDoNotBreakParsing) {
    const std::string cases[] = {"",
                                 ";",
                                 "(((",
                                 "a/b; x=\"unterminated",
                                 "a/b; x=\\",
                                 "a/b; (;) x=1",
                                 std::string(100000, ';') + "x=1"};
    for (const auto& c : cases) {
        ContentType type = parseContentType(c);
        (void)type.parameter("x");
    }
    EXPECT_EQ(parseContentType(std::string(100000, ';') + "x=1").parameter("x"), "1");
    EXPECT_EQ(parseContentType("a/b; (;) x=1").parameter("x"), "1");
}

struct Read {
    std::string header, body;
};

Read readHeader(std::string_view input) {
    auto reader = test::readerOver(input);
    MimeHeader header;
    header.read(*reader);
    return {std::string(header.text()), test::readToEnd(*reader)};
}

TEST(MimeHeader, ReadStopsAtTheBlankLineOrTheFirstBodyLine) {
    struct Case {
        std::string input, header, body;
    };
    const Case cases[] = {
        {"A: 1\nB: 2\n\nbody\n", "\nA: 1\nB: 2\n", "body\n"},
        {"A: 1\r\n\r\nbody\r\n", "\nA: 1\r\n", "body\r\n"},
        {"A: 1\n cont\nnot a header\nmore", "\nA: 1\n cont\n", "not a header\nmore"},
        {" leading blank\n\n", "\n", " leading blank\n\n"},
        {"From someone Tue\nA: 1\n", "\n", "From someone Tue\nA: 1\n"},
        {"A: 1", "\nA: 1", ""},
        {"", "\n", ""},
    };
    for (const auto& c : cases) {
        Read read = readHeader(c.input);
        EXPECT_EQ(read.header, c.header) << c.input;
        EXPECT_EQ(read.body, c.body) << c.input;
    }
}

TEST(MimeHeader, HugeHeadersAreBoundedAndTheBodyStaysIntact) {
    std::string endless = "Subject: x\n";
    for (int i = 0; i < 100000; ++i)
        endless += " continuation line number " + std::to_string(i) + "\n";
    std::string longLine = "X-Long: " + std::string(3'000'000, 'a') + "\n";
    std::string longBody = std::string(3'000'000, 'b');
    const std::string inputs[] = {endless + "\nbody", longLine + "\nbody", "A: 1\n" + longBody};
    const std::string bodies[] = {"body", "body", longBody};
    for (int i = 0; i < 3; ++i) {
        Read read = readHeader(inputs[i]);
        EXPECT_LE(read.header.size(), MimeHeader::MaxHeaderBytes) << i;
        EXPECT_EQ(read.body, bodies[i]) << i;
    }
}

}  // namespace
}  // namespace qm
