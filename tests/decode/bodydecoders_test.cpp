// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/bodydecoders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/md5.h"
#include "mimefixture.h"

namespace qm {
namespace {

const char AllBytesBase64[] =
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQk"
    "NERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKDhIWG"
    "h4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIyc"
    "rLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==";

std::string allBytes() {
    std::string out;
    for (int i = 0; i < 256; ++i) out += static_cast<char>(i);
    return out;
}

struct Decoded {
    std::string out;
    bool truncated = false;
};

// Decodes in two pieces split at `at`, as a body arriving in two reads would be.
Decoded base64InPieces(std::string_view in, size_t at) {
    Base64Decoder decoder;
    std::vector<char> out(Base64Decoder::outputSize(in.size()) + 8);
    size_t n = decoder.decode(in.substr(0, at), out.data());
    n += decoder.decode(in.substr(at), out.data() + n);
    Decoded result;
    n += decoder.finish(out.data() + n, result.truncated);
    result.out.assign(out.data(), n);
    return result;
}

std::string quotedInPieces(std::string_view in, size_t at) {
    QuotedPrintableDecoder decoder;
    std::vector<char> out(QuotedPrintableDecoder::outputSize(in.size()) + 8);
    size_t n = decoder.decode(in.substr(0, at), out.data());
    n += decoder.decode(in.substr(at), out.data() + n);
    n += decoder.finish(out.data() + n);
    return std::string(out.data(), n);
}

TEST(Base64Decoder, DecodesTheSameWhereverTheInputIsSplit) {
    struct Case {
        std::string in, out;
        bool truncated;
    };
    const Case cases[] = {
        {"YWJj", "abc", false},
        {"YWI=", "ab", false},
        {"YQ==", "a", false},
        {"YW\nJj\r\n", "abc", false},
        {"Y W*J!j\x80\xff", "abc", false},  // bytes outside the alphabet are skipped
        {"YWJj=ZGVm", "abc", false},        // "=" ends the data
        {"YWJjZA", "abcd", true},           // cut inside a group: the whole bytes stay
        {"YWJjZ", "abc", true},
        {AllBytesBase64, allBytes(), false},
    };
    for (const auto& c : cases) {
        for (size_t at = 0; at <= c.in.size(); ++at) {
            Decoded d = base64InPieces(c.in, at);
            EXPECT_EQ(d.out, c.out) << c.in << " split at " << at;
            EXPECT_EQ(d.truncated, c.truncated) << c.in << " split at " << at;
        }
    }
}

TEST(Base64Decoder, LongLinesOfTheFastPathMatchTheSlowPath) {
    // Lines of 76 characters keep groups aligned; 75 forces groups across line ends.
    std::string encoded(AllBytesBase64);
    encoded.resize(encoded.size() - 4);  // drop the padded tail: 255 whole bytes
    for (size_t width : {76u, 75u, 4u, 1u}) {
        std::string lines;
        for (size_t at = 0; at < encoded.size(); at += width)
            lines += encoded.substr(at, width) + "\r\n";
        EXPECT_EQ(base64InPieces(lines, lines.size()).out, allBytes().substr(0, 255))
            << "width " << width;
    }
}

TEST(QuotedPrintableDecoder, DecodesTheSameWhereverTheInputIsSplit) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"a=3Db", "a=b"},
        {"soft=\nbreak", "softbreak"},
        {"soft=\r\nbreak", "softbreak"},
        {"=0D=0A", "\n"},  // an encoded CR is dropped
        {"=41=4a=4B", "AJK"},
        {"a=Zb", "a=Zb"},  // not an escape: written as read
        {"a=4Zb", "a=4Zb"},
        {"x=\ry", "x=\ry"},
        {"end=", "end="},
        {"end=4", "end=4"},
        {"line\r\nnext\n", "line\r\nnext\n"},
        {std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
    };
    for (const auto& c : cases)
        for (size_t at = 0; at <= c.in.size(); ++at)
            EXPECT_EQ(quotedInPieces(c.in, at), c.out) << c.in << " split at " << at;
}

struct BodyRun {
    std::string out;
    std::string md5;
    BodyOutcome outcome;
};

BodyRun runBody(std::string_view body, TransferEncoding encoding, bool suppressCr,
                std::string_view boundary = {}) {
    auto reader = test::readerOver(body);
    if (!boundary.empty()) reader->addBoundary(boundary);
    FilePtr out(std::tmpfile());
    Md5 md5;
    BodyRun run;
    run.outcome = decodeBody(*reader, out.get(), encoding, &md5, suppressCr);
    run.md5 = Md5::toHex(md5.finish());
    std::fflush(out.get());
    std::rewind(out.get());
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out.get())) > 0) run.out.append(buffer, n);
    return run;
}

std::string md5Hex(std::string_view data) {
    Md5 md5;
    md5.update(data);
    return Md5::toHex(md5.finish());
}

TEST(DecodeBody, DigestsTheCanonicalFormOfWhatItWrites) {
    struct Case {
        std::string body;
        TransferEncoding encoding;
        bool suppressCr;
        std::string out, digested;
    };
    const Case cases[] = {
        // base64: the digest sees the CR that suppression drops from the file
        {"YQ0KYg==\n", TransferEncoding::Base64, true, "a\nb", "a\r\nb"},
        {"YQ0KYg==\n", TransferEncoding::Base64, false, "a\r\nb", "a\r\nb"},
        // copy and quoted-printable: line ends digested as CR LF, never CR CR LF
        {"one\ntwo\n", TransferEncoding::None, false, "one\ntwo\n", "one\r\ntwo\r\n"},
        {"one\r\ntwo\r\n", TransferEncoding::None, false, "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
        {"caf=E9\nx=\ny\n", TransferEncoding::QuotedPrintable, true, "caf\xe9\nxy\n",
         "caf\xe9\r\nxy\r\n"},
        // quoted-printable text drops an encoded CR; other data keeps it, digested as it is
        {"a=0D\nb=0D=0A", TransferEncoding::QuotedPrintable, true, "a\nb\n", "a\r\nb\r\n"},
        {"a=0D\nb=0D=0A", TransferEncoding::QuotedPrintable, false, "a\r\nb\r\n", "a\r\nb\r\n"},
        {"a\nb=0A", TransferEncoding::QuotedPrintable, false, "a\nb\n", "a\nb\n"},
        // uuencode: only the lines from "begin" to "end" are data, digested as decoded
        {"text\nbegin 644 x\n$80T*8@``\n`\nend\nafter\n", TransferEncoding::Uuencode, false,
         "a\r\nb", "a\r\nb"},
        {"begin 644 x\n$80T*8@``\nend\n", TransferEncoding::Uuencode, true, "a\nb", "a\r\nb"},
    };
    for (const auto& c : cases) {
        BodyRun run = runBody(c.body, c.encoding, c.suppressCr);
        EXPECT_EQ(run.out, c.out) << c.body;
        EXPECT_EQ(run.md5, md5Hex(c.digested)) << c.body;
        EXPECT_FALSE(run.outcome.truncated);
    }
}

TEST(DecodeBody, StopsAtTheBoundaryWithItsLineEnd) {
    BodyRun lf = runBody("text\n\n--b\nafter", TransferEncoding::None, false, "b");
    EXPECT_EQ(lf.out, "text\n");
    BodyRun crlf = runBody("text\r\n\r\n--b\r\nafter", TransferEncoding::None, false, "b");
    EXPECT_EQ(crlf.out, "text\r\n") << "the CR before the delimiter belongs to it";
    BodyRun qp = runBody("a=3D\r\n--b--\r\n", TransferEncoding::QuotedPrintable, false, "b");
    EXPECT_EQ(qp.out, "a=");
}

TEST(DecodeBody, Base64CutInsideAGroupIsReportedAndKeepsWhatWasDecoded) {
    BodyRun run = runBody("YWJjZGVm\nYWJ", TransferEncoding::Base64, false);
    EXPECT_TRUE(run.outcome.truncated);
    EXPECT_EQ(run.out, "abcdefab");
}

TEST(DecodeBody, AFailedWriteIsReported) {
    auto reader = test::readerOver("YWJjZGVm\n");
    FilePtr full = openFile("/dev/full", "w");
    ASSERT_TRUE(full) << "/dev/full is needed for this test";
    std::setvbuf(full.get(), nullptr, _IONBF, 0);
    BodyOutcome outcome = decodeBody(*reader, full.get(), TransferEncoding::Base64, nullptr, false);
    EXPECT_TRUE(outcome.writeFailed);
    EXPECT_EQ(outcome.error, ENOSPC);
}

}  // namespace
}  // namespace qm
