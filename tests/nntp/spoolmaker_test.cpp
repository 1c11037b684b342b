// SPDX-License-Identifier: GPL-3.0-or-later
// The spool maker's output as the server serves it and as a decoder reads it: the dates, the
// picture spacing and the Lines asked for, a distinct valid picture in every picture post, and
// an rnews batch of the same articles.
#include "newsserver/spoolmaker.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "decode/uucodec.h"
#include "decode/yenc.h"
#include "nntp/newsclientfixture.h"

namespace qm::newsd {
namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file in a single-part post, decoded with the program's own decoders.
std::string decodePicture(std::string_view article, PictureEncoding encoding) {
    std::string_view body = article.substr(article.find("\n\n") + 2);
    body.remove_prefix(body.find('\n') + 1);  // "=ybegin" or "begin"
    std::string data;
    if (encoding == PictureEncoding::Yenc) {
        body = body.substr(0, body.find("=yend"));
        data.resize(body.size());
        YencDecoder decoder;
        data.resize(decoder.decode(body, data.data(), false).produced);
        return data;
    }
    std::array<char, UuMaxLineBytes> out;
    for (std::size_t end; (end = body.find('\n')) != std::string_view::npos;) {
        const std::string_view line = body.substr(0, end + 1);
        if (line == "end\n") break;
        data.append(out.data(), uuDecodeLine(line, out));
        body.remove_prefix(end + 1);
    }
    return data;
}

std::time_t parseDate(const std::string& text) {
    std::tm tm{};
    EXPECT_NE(strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S %z", &tm), nullptr) << text;
    return timegm(&tm);
}

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
    return fields;
}

class SpoolMakerThreads : public NewsClientTest {};

TEST_F(SpoolMakerThreads, SpoolHasTheDatesPicturesAndLinesAskedInBothEncodings) {
    for (PictureEncoding encoding : {PictureEncoding::Yenc, PictureEncoding::Uuencode}) {
        SCOPED_TRACE(encoding == PictureEncoding::Yenc ? "yEnc" : "uuencode");
        const std::string group = encoding == PictureEncoding::Yenc ? "alt.made.y" : "alt.made.u";
        SpoolPlan plan;
        plan.spoolDir = m_spool.path();
        plan.group = group;
        plan.articles = 60;
        plan.firstNumber = 1000;
        plan.pictureEvery = 7;
        plan.pictureBytes = 5000;
        plan.encoding = encoding;
        plan.startTime = 1700000000;
        plan.stepSeconds = 3600;
        plan.rnewsFile = m_spool.file(group + ".rnews");
        const SpoolSummary summary = makeSpool(plan);
        EXPECT_EQ(summary.articles, 60u);
        EXPECT_EQ(summary.pictures, 8u);

        TcpStream client;
        connect(client);
        ASSERT_EQ(ask("GROUP " + group, &client), "211 60 1000 1059 " + group);
        ASSERT_EQ(ask("OVER 1000-1059", &client).substr(0, 4), "224 ");
        std::vector<std::vector<std::string>> over;
        for (std::string l = line(client); l != "." && l != "<end of stream>"; l = line(client))
            over.push_back(split(l, '\t'));
        ASSERT_EQ(over.size(), 60u);
        std::set<std::string> ids, pictures;
        for (std::size_t i = 0; i < over.size(); ++i) {
            ASSERT_EQ(over[i].size(), 8u);
            EXPECT_EQ(parseDate(over[i][3]), 1700000000 + static_cast<std::time_t>(i) * 3600);
            ids.insert(over[i][4]);
            const bool picture = over[i][1].find(".jpg") != std::string::npos;
            EXPECT_EQ(picture, (i + 1) % 7 == 0) << over[i][1];
            const std::string text = fileText(m_spool.path() + "/" + group + "/" + over[i][0]);
            EXPECT_NE(text.find("\nLines: " + over[i][7] + "\n"), std::string::npos)
                << "the Lines header counts the body, as :lines does";
            if (!picture) continue;
            const std::string data = decodePicture(text, encoding);
            EXPECT_EQ(data.size(), 5000u);
            EXPECT_TRUE(data.starts_with("\xff\xd8") && data.ends_with("\xff\xd9"));
            pictures.insert(data);
        }
        EXPECT_EQ(ids.size(), 60u);
        EXPECT_EQ(pictures.size(), 8u) << "every picture is a file of its own";

        // The batch holds the same articles, each counted to the byte.
        const std::string batch = fileText(plan.rnewsFile);
        std::size_t at = 0, count = 0;
        for (std::size_t size = 0; at < batch.size(); at += size, ++count) {
            ASSERT_EQ(std::sscanf(batch.c_str() + at, "#! rnews %zu\n", &size), 1);
            at = batch.find('\n', at) + 1;
            EXPECT_EQ(batch.substr(at, size),
                      fileText(m_spool.path() + "/" + group + "/" + std::to_string(1000 + count)));
        }
        EXPECT_EQ(count, 60u);
    }
}

}  // namespace
}  // namespace qm::newsd
