// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture server as a modern server (CAPABILITIES, OVER, HDR, COMPRESS DEFLATE) and, by its
// switches, as an older one.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "newsserver/newsserver.h"
#include "nntp/newsclientfixture.h"
#include "relay/tcp.h"

namespace qm::newsd {
namespace {

using Lines = std::vector<std::string>;

// alt.ov holds articles whose headers are awkward in every way OVER must mend: a tab in a
// value, folded lines, a name in capitals given twice, CR LF line ends, no Message-ID, no
// Lines, an empty body; and one large article for the compressed stream.
class NewsOverviewThreads : public NewsClientTest {
  protected:
    void SetUp() override {
        NewsClientTest::SetUp();
        writeSpoolArticle(m_spool.path(), "alt.ov", 10,
                          "Subject: tab\there\nFrom: Folded\n <folded@example>\n"
                          "Date: Mon, 01 Jan 2024 00:00:00 +0000\nMessage-ID: <ten@test>\n"
                          "References: <a@x>\n\t<b@x>\nLines: 2",
                          "one\n.two\n");
        writeSpoolArticle(m_spool.path(), "alt.ov", 11,
                          "SUBJECT: upper case  \r\nSubject: second one\r\nX-Extra: \t padded\r\n",
                          "x\r\n");
        std::string big;
        for (int i = 0; i < 4000; ++i) big += "line " + std::to_string(i * 7919) + " of text\n";
        writeSpoolArticle(m_spool.path(), "alt.ov", 12, "Subject: big\nMessage-ID: <big@test>",
                          big);
        writeSpoolArticle(m_spool.path(), "alt.ov", 15,
                          "Subject: empty\nMessage-ID: <fifteen@test>", "");
    }

    // The numbers an OVER or HDR reply lists, or its status when it is not a listing.
    Lines listed(std::string_view command) {
        const std::string status = ask(command);
        if (status.substr(0, 4) != "224 " && status.substr(0, 4) != "225 ")
            return {status.substr(0, 3)};
        Lines numbers;
        for (const std::string& l : data()) numbers.push_back(l.substr(0, l.find_first_of("\t ")));
        return numbers;
    }

    // The wire size of ARTICLE n (CR LF line ends, dot-stuffing undone) and its body lines.
    std::pair<std::string, std::string> measured(int number) {
        EXPECT_EQ(ask("ARTICLE " + std::to_string(number)).substr(0, 4), "220 ");
        std::size_t bytes = 0, lines = 0;
        bool body = false;
        for (const std::string& l : data()) {
            bytes += l.size() - (l.starts_with("..") ? 1 : 0) + 2;
            if (body) ++lines;
            body = body || l.empty();
        }
        return {std::to_string(bytes), std::to_string(lines)};
    }
};

TEST_F(NewsOverviewThreads, OverviewLinesMendAwkwardHeadersAndMeasureTheArticle) {
    connect();
    EXPECT_EQ(ask("LIST OVERVIEW.FMT").substr(0, 4), "215 ");
    EXPECT_EQ(data(), (Lines{"Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes",
                             ":lines"}));
    ASSERT_EQ(ask("GROUP alt.ov"), "211 4 10 15 alt.ov");
    ASSERT_EQ(ask("OVER 10-15").substr(0, 4), "224 ");
    const Lines over = data();
    ASSERT_EQ(over.size(), 4u);
    const auto [bytes10, lines10] = measured(10);
    const auto [bytes11, lines11] = measured(11);
    const auto [bytes15, lines15] = measured(15);
    EXPECT_EQ(over[0],
              "10\ttab here\tFolded <folded@example>\tMon, 01 Jan 2024 00:00:00 +0000\t"
              "<ten@test>\t<a@x> <b@x>\t" +
                  bytes10 + "\t" + lines10);
    EXPECT_EQ(over[1], "11\tupper case\t\t\t<11.alt.ov@qmere-newsd>\t\t" + bytes11 + "\t" + lines11)
        << "the first Subject counts; a missing Message-ID is the one STAT gives";
    EXPECT_EQ(over[3], "15\tempty\t\t\t<fifteen@test>\t\t" + bytes15 + "\t0");
    EXPECT_EQ(lines10, "2");
    EXPECT_EQ(ask("STAT 11"), "223 11 <11.alt.ov@qmere-newsd>");
}

TEST_F(NewsOverviewThreads, OverAndXoverTakeRangesTheCurrentArticleAndMessageIds) {
    connect();
    EXPECT_EQ(listed("OVER 10-11"), Lines{"412"}) << "no group selected";
    EXPECT_EQ(listed("OVER <ten@test>"), Lines{"0"}) << "by message-id, from anywhere";
    ASSERT_EQ(ask("GROUP alt.ov").substr(0, 4), "211 ");
    const std::vector<std::pair<std::string, Lines>> cases = {
        {"OVER", {"10"}},  // the current article
        {"OVER 11", {"11"}},
        {"OVER 11-", {"11", "12", "15"}},
        {"XOVER 10-12", {"10", "11", "12"}},
        {"OVER 13-14", {"423"}},
        {"OVER 12-11", {"423"}},
        {"OVER 99999999999999999999", {"501"}},
        {"OVER 1x-", {"501"}},
        {"OVER <fifteen@test>", {"0"}},
        {"OVER <nowhere@test>", {"430"}},
    };
    for (const auto& [command, expected] : cases) EXPECT_EQ(listed(command), expected) << command;
    EXPECT_EQ(ask("NEXT").substr(0, 4), "223 ");
    EXPECT_EQ(listed("XOVER"), Lines{"11"}) << "follows the current article";
    // An article added while the server runs is in the next overview.
    writeSpoolArticle(m_spool.path(), "alt.ov", 20, "Subject: late", "late\n");
    EXPECT_EQ(listed("OVER 15-"), (Lines{"15", "20"}));
}

TEST_F(NewsOverviewThreads, HdrAndXhdrGiveHeadersAndMetadata) {
    connect();
    ASSERT_EQ(ask("GROUP alt.ov").substr(0, 4), "211 ");
    ASSERT_EQ(ask("HDR subject 10-11").substr(0, 4), "225 ");
    EXPECT_EQ(data(), (Lines{"10 tab here", "11 upper case"}));
    ASSERT_EQ(ask("HDR :lines 10-").substr(0, 4), "225 ");
    EXPECT_EQ(data(), (Lines{"10 2", "11 1", "12 4000", "15 0"}));
    ASSERT_EQ(ask("HDR X-Extra 11").substr(0, 4), "225 ") << "a header outside the overview";
    EXPECT_EQ(data(), Lines{"11 padded"});
    ASSERT_EQ(ask("HDR Lines 10-11").substr(0, 4), "225 ");
    EXPECT_EQ(data(), (Lines{"10 2", "11 "}));
    ASSERT_EQ(ask("XHDR Lines 10-11").substr(0, 4), "221 ");
    EXPECT_EQ(data(), (Lines{"10 2", "11 (none)"}));
    ASSERT_EQ(ask("HDR Message-ID <big@test>").substr(0, 4), "225 ");
    EXPECT_EQ(data(), Lines{"0 <big@test>"});
    EXPECT_EQ(ask("HDR :nothing 10").substr(0, 4), "503 ");
    EXPECT_EQ(ask("HDR").substr(0, 4), "501 ");
    EXPECT_EQ(ask("HDR Subject 13").substr(0, 4), "423 ");
    EXPECT_EQ(ask("LIST HEADERS").substr(0, 4), "215 ");
    EXPECT_EQ(data(), (Lines{":", ":bytes", ":lines"}));
}

struct ServerKind {
    const char* name;
    bool noOverview, noCapabilities, noCompress;
    Lines capabilities;  // empty: CAPABILITIES answered 500
    const char* over;    // the status of OVER, XOVER, HDR and XHDR
    const char* compress;
};

TEST_F(NewsOverviewThreads, SwitchesMakeAnOlderServer) {
    const std::vector<ServerKind> kinds = {
        {"modern",
         false,
         false,
         false,
         {"VERSION 2", "READER", "OVER MSGID", "HDR", "LIST ACTIVE OVERVIEW.FMT HEADERS",
          "COMPRESS DEFLATE"},
         "22",
         "206"},
        {"--no-overview",
         true,
         false,
         false,
         {"VERSION 2", "READER", "LIST ACTIVE", "COMPRESS DEFLATE"},
         "500",
         "206"},
        {"--no-capabilities", false, true, false, {}, "22", "206"},
        {"--no-compress",
         false,
         false,
         true,
         {"VERSION 2", "READER", "OVER MSGID", "HDR", "LIST ACTIVE OVERVIEW.FMT HEADERS"},
         "22",
         "500"},
    };
    for (const ServerKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        m_options.noOverview = kind.noOverview;
        m_options.noCapabilities = kind.noCapabilities;
        m_options.noCompress = kind.noCompress;
        m_server.reset();
        TcpStream client;
        connect(client);
        const std::string status = ask("CAPABILITIES", &client);
        if (kind.capabilities.empty()) {
            EXPECT_EQ(status.substr(0, 4), "500 ");
        } else {
            ASSERT_EQ(status.substr(0, 4), "101 ");
            Lines lines;
            for (std::string l = line(client); l != "." && l != "<end of stream>"; l = line(client))
                lines.push_back(l);
            EXPECT_EQ(lines, kind.capabilities);
        }
        ASSERT_EQ(ask("GROUP alt.ov", &client).substr(0, 4), "211 ");
        for (const char* command : {"OVER 15", "XOVER 15", "HDR Subject 15", "XHDR Subject 15"}) {
            const std::string reply = ask(command, &client);
            EXPECT_EQ(reply.substr(0, std::strlen(kind.over)), kind.over) << command;
            if (reply[0] != '2') continue;
            EXPECT_EQ(line(client).substr(0, 2), "15");
            EXPECT_EQ(line(client), ".");
        }
        const std::string format = ask("LIST OVERVIEW.FMT", &client);
        EXPECT_EQ(format.substr(0, 1), kind.noOverview ? "5" : "2");
        while (format[0] == '2' && line(client) != ".") continue;
        EXPECT_EQ(ask("COMPRESS DEFLATE", &client).substr(0, 3), kind.compress);
    }
}

// A client of the compressed stream written straight on zlib: it deflates what it sends and
// inflates what it reads, and fails rather than waits when a reply does not arrive whole.
class DeflateClient {
  public:
    explicit DeflateClient(int port) : m_fd(relay::connectTo("127.0.0.1", port, kLimit)) {
        deflateInit2(&m_out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        inflateInit2(&m_in, -15);
    }
    ~DeflateClient() {
        deflateEnd(&m_out);
        inflateEnd(&m_in);
    }
    void sendPlain(std::string_view text) { sendRaw(text); }
    void send(std::string_view text) {
        std::string packed(text.size() + 64, '\0');
        m_out.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        m_out.avail_in = static_cast<uInt>(text.size());
        m_out.next_out = reinterpret_cast<Bytef*>(packed.data());
        m_out.avail_out = static_cast<uInt>(packed.size());
        EXPECT_EQ(deflate(&m_out, Z_SYNC_FLUSH), Z_OK);
        packed.resize(packed.size() - m_out.avail_out);
        sendRaw(packed);
    }
    // Reads until the text read so far ends with tail; the whole text, or what came before
    // the stream stalled or ended.
    std::string readUntil(std::string_view tail, bool inflating) {
        while (!m_text.ends_with(tail)) {
            pollfd p{m_fd.get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(kLimit.count())) != 1) break;
            char raw[16384];
            const ssize_t n = ::recv(m_fd.get(), raw, sizeof raw, 0);
            if (n <= 0) break;
            if (!inflating) {
                m_text.append(raw, static_cast<std::size_t>(n));
                continue;
            }
            m_in.next_in = reinterpret_cast<Bytef*>(raw);
            m_in.avail_in = static_cast<uInt>(n);
            do {
                char out[65536];
                m_in.next_out = reinterpret_cast<Bytef*>(out);
                m_in.avail_out = sizeof out;
                const int rc = inflate(&m_in, Z_SYNC_FLUSH);
                EXPECT_TRUE(rc == Z_OK || rc == Z_BUF_ERROR) << rc;
                m_text.append(out, sizeof out - m_in.avail_out);
            } while (m_in.avail_in > 0 || m_in.avail_out == 0);
        }
        return std::exchange(m_text, {});
    }

  private:
    static constexpr std::chrono::milliseconds kLimit{5000};
    void sendRaw(std::string_view bytes) {
        ASSERT_EQ(::send(m_fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    Descriptor m_fd;
    z_stream m_out{};
    z_stream m_in{};
    std::string m_text;
};

TEST_F(NewsOverviewThreads, CompressDeflateCarriesCommandsAndRepliesBothWays) {
    startServer();
    const std::string commands = "GROUP alt.ov\r\nOVER 10-15\r\nARTICLE 12\r\nHDR :lines 15\r\n";
    // The same commands unpacked on a connection of their own give the replies to expect.
    DeflateClient plain(m_server->port());
    plain.readUntil("\r\n", false);
    plain.sendPlain(commands);
    const std::string expected = plain.readUntil("15 0\r\n.\r\n", false);
    ASSERT_TRUE(expected.starts_with("211 ")) << expected.substr(0, 80);

    DeflateClient packed(m_server->port());
    packed.readUntil("\r\n", false);
    packed.sendPlain("COMPRESS DEFLATE\r\n");
    EXPECT_EQ(packed.readUntil("\r\n", false), "206 Compression active\r\n");
    // Sent together, each reply flushed as it is finished: all four inflate without more.
    packed.send(commands);
    EXPECT_EQ(packed.readUntil(expected.substr(expected.size() - 12), true), expected);
    packed.send("CAPABILITIES\r\n");
    const std::string capabilities = packed.readUntil("\r\n.\r\n", true);
    EXPECT_EQ(capabilities.find("COMPRESS"), std::string::npos) << "offered only until used";
    packed.send("COMPRESS DEFLATE\r\n");
    EXPECT_EQ(packed.readUntil("\r\n", true).substr(0, 4), "502 ");

    // Bytes that are not a deflate stream end the session; the server serves on.
    DeflateClient broken(m_server->port());
    broken.readUntil("\r\n", false);
    broken.sendPlain("COMPRESS DEFLATE\r\n");
    broken.readUntil("\r\n", false);
    broken.sendPlain(std::string(64, '\xff') + "GROUP alt.ov\r\n");
    EXPECT_EQ(broken.readUntil("never", true), "");
    EXPECT_EQ(connect().substr(0, 4), "200 ");
}

}  // namespace
}  // namespace qm::newsd
