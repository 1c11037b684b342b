// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/deflate.h"
#include "platform/file.h"

namespace qm {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A listening loopback socket; the kernel completes the handshake from its backlog, so a test
// can connect a TcpStream and accept the far end on one thread, then play the server.
class LoopbackPeer {
  public:
    explicit LoopbackPeer(int family = AF_INET) {
        m_listener.reset(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!m_listener) return;
        sockaddr_storage address{};
        socklen_t size;
        if (family == AF_INET6) {
            auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
            a6->sin6_family = AF_INET6;
            a6->sin6_addr = in6addr_loopback;
            size = sizeof *a6;
        } else {
            auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
            a4->sin_family = AF_INET;
            a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            size = sizeof *a4;
        }
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        if (::bind(m_listener.get(), raw, size) != 0 || ::listen(m_listener.get(), 8) != 0 ||
            getsockname(m_listener.get(), raw, &size) != 0) {
            m_listener.reset();
            return;
        }
        m_port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(raw)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(raw)->sin_port);
    }

    bool listening() const { return static_cast<bool>(m_listener); }
    int port() const { return m_port; }

    // Connects the stream and accepts its far end.
    void connect(TcpStream& stream, const char* host = "127.0.0.1") {
        ASSERT_EQ(stream.connect(host, m_port), 0) << stream.lastError();
        m_peer.reset(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(m_peer);
    }

    void send(std::string_view bytes) {
        ASSERT_EQ(::send(m_peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void endOutput() { ::shutdown(m_peer.get(), SHUT_WR); }

    // Everything the stream sent until it closed.
    std::string receiveAll() {
        std::string all;
        char buffer[8192];
        ssize_t n;
        while ((n = ::recv(m_peer.get(), buffer, sizeof buffer, 0)) > 0) all.append(buffer, n);
        return all;
    }

  private:
    UniqueFd m_listener;
    UniqueFd m_peer;
    int m_port = 0;
};

std::vector<std::string> readAllLines(TcpStream& stream) {
    std::vector<std::string> lines;
    std::string line;
    while (stream.readLine(line)) lines.push_back(line);
    return lines;
}

struct LineCase {
    const char* name;
    std::string wire;
    std::vector<std::string> lines;
};

TEST(TcpStreamLines, FollowTheLineRules) {
    const std::string x2048(2048, 'x');
    const std::vector<LineCase> cases = {
        {"CR LF", "one\r\ntwo\r\n", {"one", "two"}},
        {"bare LF", "one\ntwo\n", {"one", "two"}},
        {"bare CR", "one\rtwo\r", {"one", "two"}},
        {"CR keeps the byte after it unless it is LF", "a\rb\r\rc\n", {"a", "b", "", "c"}},
        {"empty lines", "\r\n\n\r\n", {"", "", ""}},
        {"partial last line", "one\r\npart", {"one", "part"}},
        {"nothing at all", "", {}},
        {"binary bytes", std::string("a\0b\xff\x7f", 5) + "\r\n", {std::string("a\0b\xff\x7f", 5)}},
        {"long line in pieces",
         std::string(5000, 'y') + "\r\nz\r\n",
         {std::string(2048, 'y'), std::string(2048, 'y'), std::string(904, 'y'), "z"}},
        {"full-length line keeps its own line end", x2048 + "\r\nnext\r\n", {x2048, "next"}},
        {"empty line after a full-length line", x2048 + "\r\n\r\nnext\n", {x2048, "", "next"}},
        {"full-length pieces then end of stream", x2048 + x2048, {x2048, x2048}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPeer peer;
        TcpStream stream;
        ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
        peer.send(c.wire);
        peer.endOutput();
        EXPECT_EQ(readAllLines(stream), c.lines);
        std::string line;
        EXPECT_FALSE(stream.readLine(line)) << "the end of the stream stays the end";
    }
}

// The line rules written out plainly, one byte at a time, for comparison.
std::vector<std::string> referenceLines(std::string_view wire) {
    std::vector<std::string> lines;
    std::string current;
    bool skipLf = false, afterFull = false;
    for (char c : wire) {
        if (skipLf) {
            skipLf = false;
            if (c == '\n') continue;
        }
        if (afterFull) {
            afterFull = false;
            if (c == '\n' || c == '\r') {
                skipLf = c == '\r';
                continue;
            }
        }
        if (c == '\n' || c == '\r') {
            lines.push_back(std::move(current));
            current.clear();
            skipLf = c == '\r';
            continue;
        }
        current += c;
        if (current.size() == TcpStream::MaxLineLength) {
            lines.push_back(std::move(current));
            current.clear();
            afterFull = true;
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

// Random streams of short and long lines with every kind of line end, larger than one
// receive: whatever the receive boundaries, the lines are the ones the rules give.
TEST(TcpStreamLines, RandomStreamsGiveTheLinesOfTheRules) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 40; ++round) {
        std::string wire;
        while (wire.size() < 150000) {
            const int kind = static_cast<int>(random() % 10);
            const std::size_t length = kind == 0 ? 1500 + random() % 3000 : random() % 80;
            for (std::size_t i = 0; i < length; ++i) wire += "ab.."[random() % 4];
            const char* ends[] = {"\r\n", "\n", "\r", "\r\r\n", "\n\r"};
            wire += ends[random() % 5];
        }
        SCOPED_TRACE(round);
        LoopbackPeer peer;
        TcpStream stream;
        ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
        std::thread sender([&] {
            for (std::size_t at = 0; at < wire.size();) {
                const std::size_t piece =
                    std::min<std::size_t>(1 + random() % 9000, wire.size() - at);
                peer.send(std::string_view(wire).substr(at, piece));
                at += piece;
            }
            peer.endOutput();
        });
        const std::vector<std::string> lines = readAllLines(stream);
        sender.join();
        ASSERT_EQ(lines, referenceLines(wire));
    }
}

TEST(TcpStreamLines, CrAtTheEndOfOneReadAndLfAtTheStartOfTheNextMakeOneLineEnd) {
    LoopbackPeer peer;
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
    std::string line;
    peer.send("200 hello\r");
    // The line is complete at the CR: reading it must not wait for the LF.
    ASSERT_TRUE(stream.readLine(line));
    EXPECT_EQ(line, "200 hello");
    peer.send("\n211 next\r\n");
    ASSERT_TRUE(stream.readLine(line));
    EXPECT_EQ(line, "211 next");
}

TEST(TcpStreamLines, AReadOfASilentPeerFailsAtTheDeadline) {
    LoopbackPeer peer;
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
    stream.setTimeout(milliseconds(300));
    std::string line;
    const auto start = Clock::now();
    try {
        stream.readLine(line);
        FAIL() << "a silent peer must make the read fail";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), ETIMEDOUT);
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:"), std::string::npos) << e.what();
    }
    EXPECT_GE(Clock::now() - start, milliseconds(250));
}

// Overview lines may be longer than the line rules' 2048 characters: read whole up to a
// limit, and a line of exactly full length is still a line of its own.
TEST(TcpStreamLines, LongLinesComeWholeUpToTheLimit) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.listening());
    TcpStream stream;
    peer.connect(stream);
    std::thread writer([&] {
        peer.send(std::string(5000, 'A') + "\r\n" + std::string(2048, 'B') + "\r\n" +
                  std::string(70000, 'C') + "\nend\r\n" + std::string(2048, 'D'));
        peer.endOutput();
    });
    std::vector<std::string> lines;
    std::string line;
    while (stream.readLongLine(line, 65536)) lines.push_back(line);
    writer.join();
    EXPECT_EQ(lines,
              (std::vector<std::string>{std::string(5000, 'A'), std::string(2048, 'B'),
                                        std::string(65536, 'C'), "end", std::string(2048, 'D')}));
}

// After "206" to COMPRESS DEFLATE both directions are raw deflate streams; what arrived
// behind the reply in the same receive is compressed already.
TEST(TcpStreamCompression, BothDirectionsAreDeflatedFromTheReplyOn) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.listening());
    TcpStream stream;
    peer.connect(stream);
    Deflater deflater;
    std::string wire = "206 Compression active\r\n";
    const std::string text = "224 Overview\r\n" + std::string(3000, 'o') + "\r\n.\r\n";
    deflater.compress(text, wire);
    peer.send(wire);
    std::string line;
    ASSERT_TRUE(stream.readLine(line));
    EXPECT_EQ(line, "206 Compression active");
    stream.startCompression();
    std::vector<std::string> lines;
    for (int i = 0; i < 3 && stream.readLongLine(line, 65536); ++i) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"224 Overview", std::string(3000, 'o'), "."}));
    EXPECT_LT(stream.wireBytesReceived(), 300u) << "what crossed the wire was compressed";

    stream.writeLine("QUIT");
    stream.flush();
    stream.close();
    const std::string sent = peer.receiveAll();
    Inflater inflater;
    char out[64];
    const Inflater::Result r = inflater.inflate(sent, out);
    EXPECT_FALSE(r.damaged);
    EXPECT_EQ(std::string(out, r.produced), "QUIT\r\n");
}

TEST(TcpStreamCompression, ADamagedStreamFailsTheRead) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.listening());
    TcpStream stream;
    peer.connect(stream);
    peer.send("206 ok\r\n\xff\xff\xff\xff garbage");
    std::string line;
    ASSERT_TRUE(stream.readLine(line));
    stream.startCompression();
    try {
        stream.readLine(line);
        ADD_FAILURE() << "read " << line;
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), EBADMSG);
    }
}

TEST(TcpStreamWriter, SendsEverythingWrittenInOrderOnFlush) {
    LoopbackPeer peer;
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
    std::string expected;
    for (int i = 0; i < 500; ++i) {
        std::string text = "ARTICLE " + std::to_string(i);
        stream.writeLine(text);
        expected += text + "\r\n";
    }
    const std::string big(10000, 'b');  // larger than the buffer: goes out directly
    stream.write(big);
    stream.writeLine("QUIT");
    expected += big + "QUIT\r\n";
    stream.flush();
    stream.close();
    EXPECT_EQ(peer.receiveAll(), expected);
}

TEST(TcpStreamConnect, ReportsTheErrnoOfARefusedConnection) {
    int freePort;
    {
        LoopbackPeer closed;  // its port is free again once it goes
        freePort = closed.port();
    }
    TcpStream stream;
    EXPECT_EQ(stream.connect("127.0.0.1", freePort), ECONNREFUSED);
    EXPECT_NE(stream.lastError().find("127.0.0.1:" + std::to_string(freePort)), std::string::npos)
        << stream.lastError();
    EXPECT_FALSE(stream.isOpen());
}

TEST(TcpStreamConnect, ReachesAnIpv6Listener) {
    LoopbackPeer peer(AF_INET6);
    if (!peer.listening()) GTEST_SKIP() << "no IPv6 loopback here";
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream, "::1"));
    peer.send("200 over six\r\n");
    std::string line;
    ASSERT_TRUE(stream.readLine(line));
    EXPECT_EQ(line, "200 over six");
}

TEST(TcpStreamConnect, ANewConnectionForgetsAnEarlierCancel) {
    LoopbackPeer peer;
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
    stream.cancel();
    std::string line;
    try {
        stream.readLine(line);
        FAIL() << "a cancelled stream must not read";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.code(), ECANCELED);
    }
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
    peer.send("200 again\r\n");
    ASSERT_TRUE(stream.readLine(line));
    EXPECT_EQ(line, "200 again");
}

// Reads from a silent peer on this thread while another thread ends the wait; returns the
// error code and how long the read took after the request.
template <typename Request>
std::pair<int, Clock::duration> interruptedRead(TcpStream& stream, Request request) {
    std::atomic<Clock::time_point> requestedAt{Clock::time_point::max()};
    std::thread other([&] {
        std::this_thread::sleep_for(milliseconds(100));
        requestedAt = Clock::now();
        request();
    });
    int code = 0;
    std::string line;
    try {
        stream.readLine(line);
    } catch (const SocketError& e) {
        code = e.code();
    }
    const auto end = Clock::now();
    other.join();
    return {code, end - requestedAt.load()};
}

TEST(TcpStreamThreads, CancelFromAnotherThreadEndsABlockedReadAtOnce) {
    LoopbackPeer peer;
    TcpStream stream;
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
    auto [code, took] = interruptedRead(stream, [&] { stream.cancel(); });
    EXPECT_EQ(code, ECANCELED);
    EXPECT_LT(took, milliseconds(5000))
        << "the default time-out is 120 s; this must end long before";
}

TEST(TcpStreamThreads, AStopRequestEndsABlockedReadWithinASecond) {
    LoopbackPeer peer;
    TcpStream stream;
    std::atomic<bool> stop{false};
    stream.setStopPredicate([&] { return stop.load(); });
    ASSERT_NO_FATAL_FAILURE(peer.connect(stream));
    auto [code, took] = interruptedRead(stream, [&] { stop = true; });
    EXPECT_EQ(code, ECANCELED);
    EXPECT_LT(took, milliseconds(5000))
        << "the default time-out is 120 s; this must end long before";
}

}  // namespace
}  // namespace qm
