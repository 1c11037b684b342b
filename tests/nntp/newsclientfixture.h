// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A fixture news server on a spool of the test's own and a client talking to it through the
// same socket class the program uses, for the tests of the fixture server itself.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "newsserver/newsserver.h"
#include "platform/socket.h"
#include "support/tempdir.h"

namespace qm::newsd {

class NewsClientTest : public ::testing::Test {
  protected:
    void SetUp() override { m_options.spool = m_spool.path(); }

    void startServer() {
        m_server = std::make_unique<NewsServer>(m_options);
        m_server->start();
    }

    // Starts the server, connects and returns the greeting.
    std::string connect(TcpStream& stream) {
        if (!m_server) startServer();
        stream.setTimeout(std::chrono::milliseconds(10000));
        EXPECT_EQ(stream.connect("127.0.0.1", m_server->port()), 0) << stream.lastError();
        return line(stream);
    }
    std::string connect() { return connect(m_client); }

    static std::string line(TcpStream& stream) {
        std::string text;
        return stream.readLine(text) ? text : "<end of stream>";
    }

    std::string ask(std::string_view command, TcpStream* stream = nullptr) {
        TcpStream& s = stream ? *stream : m_client;
        s.writeLine(command);
        s.flush();
        return line(s);
    }

    // The data lines of a multi-line reply as sent (still dot-stuffed), without the final ".".
    std::vector<std::string> data() {
        std::vector<std::string> lines;
        for (std::string l = line(m_client); l != "." && l != "<end of stream>"; l = line(m_client))
            lines.push_back(l);
        return lines;
    }

    test::TempDir m_spool;
    NewsServerOptions m_options;
    std::unique_ptr<NewsServer> m_server;
    TcpStream m_client;
};

}  // namespace qm::newsd
