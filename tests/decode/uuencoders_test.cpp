// SPDX-License-Identifier: GPL-3.0-or-later
// The decoder against encoders written by others: sharutils "uuencode" for single posts and
// uudeview's "uuenview" for posts split over several articles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "uutestfixture.h"

namespace qm::test {
namespace {

bool haveTool(const char* name) {
    std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

class RealEncodersTest : public DecoderFixture {
  protected:
    std::string makeOriginal(std::string_view name, size_t size) {
        return m_dir.write("orig/" + std::string(name), sampleData(size, 7));
    }
    void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
};

TEST_F(RealEncodersTest, SharutilsUuencodeSinglePostDecodesToTheOriginal) {
    if (!haveTool("uuencode")) GTEST_SKIP() << "sharutils uuencode is not installed";
    std::string original = makeOriginal("holiday.jpg", 300000);
    std::string encoded = m_dir.file("enc/holiday.uue");
    run("mkdir -p " + m_dir.file("enc") + " && uuencode " + original + " holiday.jpg > " + encoded);
    decode(article("my holiday", "Here it is:\n\n" + content(encoded) + "\n-- \nsig\n"));
    EXPECT_EQ(content(newsFile("holiday.jpg")), content(original));
    EXPECT_EQ(m_sink.files.size(), 1u);
    EXPECT_TRUE(listing(tmp()).empty());
}

TEST_F(RealEncodersTest, UuenviewSplitPostInAnyOrderAcrossTwoRunsDecodesToTheOriginal) {
    if (!haveTool("uuenview")) GTEST_SKIP() << "uudeview's uuenview is not installed";
    std::string original = makeOriginal("scan.jpg", 120000);  // about six parts of 500 lines
    std::string out = m_dir.file("split");
    run("mkdir -p " + out + " && cd " + m_dir.file("orig") + " && uuenview -500 -od " + out +
        " scan.jpg >/dev/null 2>&1");
    std::vector<std::string> parts = listing(out);
    ASSERT_GE(parts.size(), 3u);
    const int total = static_cast<int>(parts.size());
    std::vector<int> order;
    for (int n = total; n >= 1; n -= 2) order.push_back(n);  // evens and odds, backwards
    for (int n = total - 1; n >= 1; n -= 2) order.push_back(n);
    ASSERT_EQ(order.size(), parts.size());
    for (size_t i = 0; i < order.size(); ++i) {
        if (i == order.size() / 2) restartDecoder();  // the rest arrives in the next run
        int n = order[i];
        std::string subject = "scan.jpg (" + std::to_string(n) + "/" + std::to_string(total) + ")";
        decode(article(subject, content(joinPath(out, parts[n - 1]))));
        if (i + 1 < order.size()) {
            EXPECT_FALSE(fileExists(newsFile("scan.jpg"))) << subject;
        }
    }
    EXPECT_EQ(content(newsFile("scan.jpg")), content(original));
    EXPECT_EQ(m_sink.assembled, 1);
    EXPECT_TRUE(listing(tmp()).empty());
}

}  // namespace
}  // namespace qm::test
