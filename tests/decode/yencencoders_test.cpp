// SPDX-License-Identifier: GPL-3.0-or-later
// The yEnc decoding against encoders written by others: Debian's python3-yenc module (its C
// extension does the encoding; the keyword lines are written around it as posting tools do)
// and uudeview's "uuenview -y".
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "uutestfixture.h"

namespace qm::test {
namespace {

constexpr const char* Python = "/usr/bin/python3";

bool haveTool(const std::string& check) {
    return std::system((check + " >/dev/null 2>&1").c_str()) == 0;
}

// Writes <out>/<n> for each of count parts (count 1: a single-part post).
constexpr const char* PythonEncoder = R"(
import sys, yenc, zlib
src, name, out, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
data = open(src, 'rb').read()
each = -(-len(data) // count)
for n in range(1, count + 1):
    piece = data[(n - 1) * each:n * each]
    enc = yenc.Encoder()
    enc.feed(piece)
    enc.terminate()
    body = enc.getEncoded()
    crc = '%08x' % (zlib.crc32(data) & 0xffffffff)
    if count == 1:
        head = '=ybegin line=128 size=%d name=%s\r\n' % (len(data), name)
        tail = '=yend size=%d crc32=%s\r\n' % (len(data), crc)
    else:
        head = ('=ybegin part=%d total=%d line=128 size=%d name=%s\r\n=ypart begin=%d end=%d\r\n'
                % (n, count, len(data), name, (n - 1) * each + 1, (n - 1) * each + len(piece)))
        tail = '=yend size=%d part=%d pcrc32=%s crc32=%s\r\n' % (len(piece), n,
                                                                enc.getCrc32(), crc)
    open('%s/%d' % (out, n), 'wb').write(head.encode() + body + tail.encode())
)";

class YencEncodersTest : public DecoderFixture {
  protected:
    std::string makeOriginal(std::string_view name, size_t size) {
        return m_dir.write("orig/" + std::string(name), sampleData(size, 21));
    }
    void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

    // Encodes the original into count articles with python3-yenc; their paths, by part.
    std::vector<std::string> pythonEncode(std::string_view name, int count) {
        std::string script = m_dir.write("encode.py", PythonEncoder);
        std::string out = m_dir.file("py");
        run("mkdir -p " + out + " && " + Python + " " + script + " " +
            m_dir.file("orig/" + std::string(name)) + " " + std::string(name) + " " + out + " " +
            std::to_string(count));
        std::vector<std::string> parts;
        for (int n = 1; n <= count; ++n) parts.push_back(joinPath(out, std::to_string(n)));
        return parts;
    }

    // Feeds the parts in a shuffled order, the second half in a new run.
    void feedShuffled(const std::vector<std::string>& parts, std::string_view name) {
        const int total = static_cast<int>(parts.size());
        std::vector<int> order;
        for (int n = total; n >= 1; n -= 2) order.push_back(n);
        for (int n = total - 1; n >= 1; n -= 2) order.push_back(n);
        for (size_t i = 0; i < order.size(); ++i) {
            if (i == order.size() / 2) restartDecoder();
            decode(article("scrambled " + std::to_string(i), content(parts[order[i] - 1])));
            if (i + 1 < order.size()) {
                EXPECT_FALSE(fileExists(newsFile(name))) << order[i];
            }
        }
    }

    bool sameFile(const std::string& a, const std::string& b) { return content(a) == content(b); }
};

TEST_F(YencEncodersTest, PythonYencSinglePostDecodesToTheOriginal) {
    if (!haveTool(std::string(Python) + " -c 'import yenc'")) GTEST_SKIP() << "no python3-yenc";
    std::string original = makeOriginal("clip.mpg", 400000);
    std::vector<std::string> parts = pythonEncode("clip.mpg", 1);
    decode(article("clip", "Some text first\r\n\r\n" + content(parts[0])));
    EXPECT_TRUE(sameFile(newsFile("clip.mpg"), original));
    EXPECT_EQ(log().find("Warning"), std::string::npos) << log();
}

TEST_F(YencEncodersTest, PythonYencPartsInAnyOrderAcrossTwoRunsDecodeToTheOriginal) {
    if (!haveTool(std::string(Python) + " -c 'import yenc'")) GTEST_SKIP() << "no python3-yenc";
    std::string original = makeOriginal("album.zip", 700000);
    feedShuffled(pythonEncode("album.zip", 7), "album.zip");
    EXPECT_TRUE(sameFile(newsFile("album.zip"), original));
    EXPECT_EQ(m_sink.assembled, 1);
    EXPECT_EQ(log().find("Warning"), std::string::npos) << log();
    EXPECT_TRUE(listing(tmp()).empty());
}

TEST_F(YencEncodersTest, UuenviewPartsInAnyOrderAcrossTwoRunsDecodeToTheOriginal) {
    if (!haveTool("command -v uuenview")) GTEST_SKIP() << "uudeview's uuenview is not installed";
    std::string original = makeOriginal("scan.jpg", 150000);  // six parts of 200 lines
    std::string out = m_dir.file("split");
    run("mkdir -p " + out + " && cd " + m_dir.file("orig") + " && uuenview -y -200 -od " + out +
        " scan.jpg >/dev/null 2>&1");
    std::vector<std::string> names = listing(out);
    ASSERT_GE(names.size(), 3u);
    std::vector<std::string> parts;
    for (const std::string& name : names) parts.push_back(joinPath(out, name));
    feedShuffled(parts, "scan.jpg");
    EXPECT_TRUE(sameFile(newsFile("scan.jpg"), original));
    EXPECT_EQ(m_sink.assembled, 1);
    EXPECT_EQ(log().find("Warning"), std::string::npos) << log();
    EXPECT_TRUE(listing(tmp()).empty());
}

TEST_F(YencEncodersTest, FlippedByteAndTruncatedPartOfRealEncodingsAreReported) {
    if (!haveTool(std::string(Python) + " -c 'import yenc'")) GTEST_SKIP() << "no python3-yenc";
    std::string original = makeOriginal("doc.pdf", 300000);
    std::vector<std::string> parts = pythonEncode("doc.pdf", 3);
    std::string second = content(parts[1]);
    size_t at = second.size() / 2;
    while (second[at] == '\r' || second[at] == '\n' || second[at] == '=' || second[at - 1] == '=')
        ++at;
    second[at] = static_cast<char>(second[at] == 'a' ? 'b' : 'a');
    decode(article("one", content(parts[0])));
    decode(article("two", second));
    decode(article("three", content(parts[2])));
    EXPECT_NE(log().find(newsFile("doc.pdf") + " failed its CRC check"), std::string::npos)
        << log();

    useDataDirectory("cut");
    std::string cut = content(parts[2]);
    decode(article("three", content(parts[0])));
    decode(article("one", cut.substr(0, cut.size() * 2 / 3)));
    decode(article("two", content(parts[1])));
    EXPECT_NE(log().find(newsFile("doc.pdf") + " is shorter than its size"), std::string::npos)
        << log();
}

}  // namespace
}  // namespace qm::test
