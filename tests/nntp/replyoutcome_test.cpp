// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/replyoutcome.h"

#include <gtest/gtest.h>

#include "nntp/capabilities.h"
#include "nntp/newsdate.h"
#include "nntp/nntpreply.h"
#include "nntp/overviewline.h"

namespace qm {
namespace {

using C = NntpCommand;
using O = ReplyOutcome;

// What each reply means for the command it answers (RFC 3977, 4643, 8054, 2980).
TEST(ReplyOutcome, EveryReplyOfEveryCommandHasItsOutcome) {
    struct Case {
        C command;
        int code;
        O outcome;
    };
    const Case cases[] = {
        {C::Greeting, 200, O::Ok},
        {C::Greeting, 201, O::Ok},
        {C::Greeting, 400, O::Unavailable},
        {C::Greeting, 502, O::Refused},
        {C::Capabilities, 101, O::Ok},
        {C::Capabilities, 500, O::Unsupported},
        {C::Capabilities, 480, O::AuthRequired},
        {C::ModeReader, 200, O::Ok},
        {C::ModeReader, 201, O::Ok},
        {C::ModeReader, 502, O::Refused},
        {C::AuthinfoUser, 281, O::Ok},
        {C::AuthinfoUser, 381, O::MoreNeeded},
        {C::AuthinfoUser, 483, O::Refused},
        {C::AuthinfoPass, 281, O::Ok},
        {C::AuthinfoPass, 481, O::Refused},
        {C::AuthinfoPass, 482, O::Refused},
        {C::AuthinfoPass, 381, O::ProtocolError},
        {C::Group, 211, O::Ok},
        {C::Group, 411, O::NoSuchGroup},
        {C::Group, 480, O::AuthRequired},
        {C::Group, 500, O::ProtocolError},
        // An old server refuses LISTGROUP with a range; an empty range is no refusal.
        {C::ListGroup, 211, O::Ok},
        {C::ListGroup, 501, O::Unsupported},
        {C::ListGroup, 423, O::NoSuchArticle},
        {C::ListGroup, 411, O::NoSuchGroup},
        {C::Article, 220, O::Ok},
        {C::Article, 423, O::NoSuchArticle},
        {C::Article, 430, O::NoSuchArticle},
        {C::Article, 412, O::NoGroup},
        {C::Article, 221, O::ProtocolError},
        {C::Head, 221, O::Ok},
        {C::Body, 222, O::Ok},
        {C::Body, 420, O::NoSuchArticle},
        {C::Stat, 223, O::Ok},
        {C::Next, 223, O::Ok},
        {C::Next, 421, O::NoSuchArticle},
        {C::Over, 224, O::Ok},
        {C::Over, 423, O::NoSuchArticle},
        {C::Over, 500, O::Unsupported},
        {C::Over, 501, O::Unsupported},
        {C::Hdr, 225, O::Ok},
        {C::Hdr, 503, O::Unsupported},
        {C::Xhdr, 221, O::Ok},
        {C::List, 215, O::Ok},
        {C::Compress, 206, O::Ok},
        {C::Compress, 502, O::Refused},
        {C::Compress, 403, O::Unavailable},
        {C::Compress, 500, O::Unsupported},
        {C::Quit, 205, O::Ok},
        {C::Quit, 400, O::Ok},
        {C::Article, 400, O::Unavailable},
        {C::Article, 403, O::Unavailable},
        {C::Article, 502, O::Refused},
        // Some servers hold back an article they know to be damaged.
        {C::Article, 451, O::Damaged},
        {C::Body, 451, O::Damaged},
        {C::Over, 451, O::ProtocolError},
        {C::Last, 223, O::Ok},
        {C::Article, 99, O::ProtocolError},
        {C::Article, 600, O::ProtocolError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.command)) + " " + std::to_string(c.code));
        EXPECT_EQ(outcomeName(classifyReply(c.command, c.code)), outcomeName(c.outcome));
    }
}

TEST(ReplyOutcome, AReplyLineIsClassifiedByItsLeadingNumberAndNoneIsALostConnection) {
    const NntpReply group = classifyReply(C::Group, " 211 3 1 3 alt.pics");
    EXPECT_TRUE(group.ok());
    EXPECT_EQ(group.code(), 211);
    EXPECT_EQ(group.text(), " 211 3 1 3 alt.pics");
    EXPECT_EQ(group.malformed().outcome(), O::ProtocolError);
    for (const char* line : {"", "abc", "-"}) {
        const NntpReply reply = classifyReply(C::Article, line);
        EXPECT_TRUE(reply.is(O::ConnectionLost)) << line;
        EXPECT_FALSE(reply.hasData()) << line;
    }
    const NntpReply article = classifyReply(C::Article, "220 5 <a@b>");
    EXPECT_TRUE(article.hasData());
    EXPECT_TRUE(article.cutShort().is(O::ConnectionLost));
    EXPECT_EQ(article.cutShort().code(), 220);
    EXPECT_TRUE(NntpReply().is(O::Abandoned)) << "a command never sent";
}

TEST(ReplyOutcome, CommandLinesAreKnownByTheirFirstWordAndDataRepliesByTheirCode) {
    EXPECT_EQ(commandOf("ARTICLE 5"), C::Article);
    EXPECT_EQ(commandOf("xover 1-9"), C::Over);
    EXPECT_EQ(commandOf("AUTHINFO PASS x"), C::AuthinfoPass);
    EXPECT_EQ(commandOf("AUTHINFO USER x"), C::AuthinfoUser);
    EXPECT_EQ(commandOf("MODE READER"), C::ModeReader);
    EXPECT_EQ(commandOf("FOO"), C::Other);
    EXPECT_EQ(commandOf(""), C::Other);
    EXPECT_TRUE(replyHasData(C::Article, 220));
    EXPECT_TRUE(replyHasData(C::Xhdr, 221));
    EXPECT_FALSE(replyHasData(C::Stat, 223));
    EXPECT_FALSE(replyHasData(C::Article, 423));
    // A LISTGROUP sent ahead and dropped is read to its end; a GROUP has nothing to read.
    EXPECT_TRUE(replyHasData(commandOf("LISTGROUP alt.x 1-5"), 211));
    EXPECT_FALSE(replyHasData(commandOf("GROUP alt.x"), 211));
}

TEST(Capabilities, TheListSaysWhatTheReaderUses) {
    Capabilities caps;
    for (const char* line :
         {"VERSION 2", "reader", "OVER MSGID", "HDR", "compress deflate shrink", "AUTHINFO USER"})
        caps.addLine(line);
    EXPECT_TRUE(caps.reader && caps.over && caps.hdr && caps.compressDeflate && caps.authinfo);
    EXPECT_FALSE(caps.modeReader);
    Capabilities transit;
    for (const char* line : {"VERSION 2", "MODE-READER", "COMPRESS", "OVERVIEW", ""})
        transit.addLine(line);
    EXPECT_TRUE(transit.modeReader);
    EXPECT_FALSE(transit.over || transit.compressDeflate || transit.reader);
}

// Overview and header lines come from the network: each is parsed or refused, whatever it
// holds.
TEST(OverviewLine, FieldsAreTakenByPositionAndHostileLinesRefused) {
    auto entry = parseOverviewLine(
        "42\tpic.jpg (1/2)\tA <a@b>\tMon, 01 Jan 2024 00:00:00 +0000\t<id@x>\t<r@x>\t61234\t"
        "812\tXref: h g:42");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->number, 42);
    EXPECT_EQ(entry->subject, "pic.jpg (1/2)");
    EXPECT_EQ(entry->messageId, "<id@x>");
    EXPECT_EQ(entry->date, "Mon, 01 Jan 2024 00:00:00 +0000");
    EXPECT_EQ(entry->bytes, 61234);
    EXPECT_EQ(entry->lines, 812);
    auto full = parseOverviewLine("7\ts\tf\td\t<i>\t\tBytes: 10\tLines: 3");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->lines, 3) << "the full form of the count fields";
    auto shortLine = parseOverviewLine("8\tonly a subject");
    ASSERT_TRUE(shortLine);
    EXPECT_EQ(shortLine->messageId, "");
    EXPECT_EQ(shortLine->lines, 0);
    for (const char* bad :
         {"", "\t", "x\ty", "-3\ts", "0\ts", "12", "99999999999999999999\ts", "5x\ts"})
        EXPECT_FALSE(parseOverviewLine(bad)) << bad;
    EXPECT_EQ(parseOverviewLine("9\ts\tf\td\t<i>\t\t-5\tnot a number")->lines, 0);

    auto header = parseHeaderLine("12 Mon, 01 Jan 2024 00:00:00 GMT");
    ASSERT_TRUE(header);
    EXPECT_EQ(header->number, 12);
    EXPECT_EQ(header->value, "Mon, 01 Jan 2024 00:00:00 GMT");
    EXPECT_EQ(parseHeaderLine("13")->value, "");
    EXPECT_FALSE(parseHeaderLine("x 1"));
    EXPECT_FALSE(parseHeaderLine(""));
}

TEST(NewsDate, TheFormsNewsServersWriteAreRead) {
    const std::int64_t newYear = 1704067200;  // 2024-01-01 00:00:00 UTC
    struct Case {
        const char* text;
        std::int64_t expected;
    };
    for (Case c :
         {Case{"Mon, 01 Jan 2024 00:00:00 +0000", newYear}, Case{"1 Jan 2024 00:00 GMT", newYear},
          Case{"Sun, 31 Dec 2023 19:00:00 -0500", newYear},
          Case{"Mon, 1 Jan 2024 01:30:00 +0130 (CET)", newYear},
          Case{"Sun, 31 Dec 2023 16:00:00 PST", newYear}, Case{"01 Jan 24 00:00:00 UT", newYear},
          Case{"Thu, 29 Feb 2024 12:00:00 +0000", newYear + 59 * 86400 + 43200},
          Case{"Wed, 31 Dec 1969 23:59:59 +0000", -1}}) {
        SCOPED_TRACE(c.text);
        const auto parsed = parseNewsDate(c.text);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(*parsed, c.expected);
    }
    for (const char* bad : {"", "yesterday", "Mon, 01 Foo 2024 00:00:00", "01 Jan 2024",
                            "99:99:99 01 Jan 2024", "(((", "1 Jan 2024 25:00:00"})
        EXPECT_FALSE(parseNewsDate(bad)) << bad;
}

}  // namespace
}  // namespace qm
