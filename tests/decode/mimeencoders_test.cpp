// SPDX-License-Identifier: GPL-3.0-or-later
// The MIME decoder against encoders nobody here wrote: Python's email package and binascii,
// mpack and uudeview's uuenview, on pictures made by ImageMagick. Their output is made at run
// time in a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "mimefixture.h"

namespace qm::test {
namespace {

bool haveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    return data;
}

// Latin-1 text with the things quoted-printable has to escape: "=", trailing blanks and
// tabs, bytes above 127 and lines longer than 76 characters.
std::string awkwardText() {
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text += "line " + std::to_string(i) + " a=b caf\xe9 \t";
        if (i % 7 == 0) text += std::string(150, 'w') + "=";
        text += i % 5 == 0 ? " \n" : "\n";
    }
    return text;
}

const char PythonEncoder[] = R"(
import base64, hashlib, sys
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.mime.base import MIMEBase
from email import encoders

def md5(data):
    return base64.b64encode(hashlib.md5(data).digest()).decode()

data = open(sys.argv[1], 'rb').read()
text = open(sys.argv[2], 'rb').read()
msg = MIMEMultipart()
msg['Subject'] = 'made by python'
msg.attach(MIMEText('Description of the files.\n'))
b = MIMEBase('application', 'octet-stream')
b.set_payload(data)
encoders.encode_base64(b)
b.add_header('Content-Disposition', 'attachment', filename='data.bin')
b['Content-MD5'] = md5(data)
msg.attach(b)
q = MIMEBase('text', 'plain', charset='iso-8859-1')
q.set_payload(text)
encoders.encode_quopri(q)
q.add_header('Content-Disposition', 'attachment', filename='text.txt')
q['Content-MD5'] = md5(text.replace(b'\n', b'\r\n'))
msg.attach(q)
open(sys.argv[3], 'w').write(msg.as_string())
)";

using MimeEncodersTest = MimeDecodeTest;

TEST_F(MimeEncodersTest, PythonMultipartWithBase64AndQuotedPrintableIsDecodedExactly) {
    ASSERT_TRUE(haveProgram("python3"))
        << "python3 is needed for this test: run scripts/install-deps.sh test";
    const std::string data = randomBytes(300000, 1);
    const std::string text = awkwardText();
    std::string script = dir.write("encode.py", PythonEncoder);
    std::string command = "python3 " + script + " " + dir.write("data.bin", data) + " " +
                          dir.write("text.txt", text) + " " + dir.file("article");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    auto article = readWholeFile(dir.file("article"));
    ASSERT_TRUE(article);

    decode(*article);
    EXPECT_EQ(news("data.bin"), data);
    EXPECT_EQ(news("text.txt"), text);
    EXPECT_EQ(news("data.desc"), "Description of the files.\n");
    EXPECT_EQ(log().find("corrupted in transit"), std::string::npos) << log();

    // The same article damaged in one base64 line: the file is kept, the digest says so.
    std::string damaged = *article;
    size_t line = damaged.find("\n", damaged.find("Content-MD5")) + 200;
    damaged[line] = damaged[line] == 'A' ? 'B' : 'A';
    decode(damaged);
    EXPECT_NE(log().find("1_data.bin was corrupted in transit"), std::string::npos) << log();
}

TEST_F(MimeEncodersTest, MpackFragmentsInAnotherOrderAndAcrossRunsGiveTheOriginalFile) {
    ASSERT_TRUE(haveProgram("mpack"))
        << "mpack is needed for this test: run scripts/install-deps.sh test";
    const std::string data = randomBytes(120000, 2);
    std::string source = dir.write("work/picture.jpg", data);
    std::string command =
        "cd " + dir.file("work") + " && mpack -s 'split picture' -m 20000 -o frag picture.jpg";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<std::string> fragments;
    for (int n = 1; n < 100; ++n) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%02d", n);
        auto text = readWholeFile(dir.file("work/frag") + suffix);
        if (!text) break;
        fragments.push_back(*text);
    }
    ASSERT_GE(fragments.size(), 4u) << "mpack made too few fragments to test anything";

    // Last fragment first, the first one in the middle; the second half in a new run.
    std::vector<size_t> order;
    for (size_t i = fragments.size(); i-- > 1;) order.push_back(i);
    order.insert(order.begin() + static_cast<long>(order.size() / 2), 0);
    const size_t half = order.size() / 2;
    for (size_t i = 0; i < half; ++i) decode(fragments[order[i]]);
    EXPECT_EQ(news("picture.jpg"), "<missing>");
    {
        Decoder secondRun;
        for (size_t i = half; i < order.size(); ++i) {
            std::string path = dir.write("article", fragments[order[i]]);
            EXPECT_FALSE(secondRun.decodeArticle(openFile(path, "rb"), inputs, false, false, false)
                             .outputFailed());
        }
    }
    EXPECT_EQ(news("picture.jpg"), data);
    size_t assembled = 0;
    std::string text = log();
    for (size_t at = text.find("Did one assemble."); at != std::string::npos;
         at = text.find("Did one assemble.", at + 1))
        ++assembled;
    EXPECT_EQ(assembled, 1u) << text;
    EXPECT_EQ(text.find("corrupted in transit"), std::string::npos) << text;
    EXPECT_TRUE(std::filesystem::is_empty(tmpPath())) << "the collection is gone";
}

// uuenview posting a picture in several articles: MIME message/partial fragments whose
// assembled message is an image/jpeg with Content-Transfer-Encoding x-uuencode.
TEST_F(MimeEncodersTest, UuenviewXUuencodePartialsGiveTheOriginalPicture) {
    for (const char* program : {"uuenview", "convert"})
        ASSERT_TRUE(haveProgram(program))
            << program << " is needed for this test: run scripts/install-deps.sh test";
    const std::string work = dir.file("work");
    // Posting goes to the program INEWS names: here one that keeps each article in a file.
    std::string poster = dir.write("work/inews.sh", "#!/bin/sh\nn=$(ls " + work +
                                                        "/posts | wc -l)\n"
                                                        "cat > " +
                                                        work + "/posts/$n\n");
    std::string command = "cd " + work + " && chmod +x inews.sh && mkdir posts && " +
                          "convert -size 320x240 -seed 7 plasma:fractal picture.jpg && " +
                          "INEWS=" + poster + " uuenview -u -p alt.test -200 picture.jpg " +
                          ">/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<std::string> posts;
    for (int n = 0; auto text = readWholeFile(work + "/posts/" + std::to_string(n)); ++n)
        posts.push_back(*text);
    ASSERT_GE(posts.size(), 3u) << "uuenview made too few articles to test anything";
    ASSERT_NE(posts[0].find("x-uuencode"), std::string::npos) << posts[0];

    // The first fragment last, the others backwards.
    for (size_t i = posts.size(); i-- > 1;) decode(posts[i]);
    EXPECT_EQ(news("picture.jpg"), "<missing>");
    decode(posts[0]);
    EXPECT_EQ(news("picture.jpg"), *readWholeFile(work + "/picture.jpg"));
    EXPECT_EQ(log().find("unknown content transfer encoding"), std::string::npos) << log();
    EXPECT_TRUE(std::filesystem::is_empty(tmpPath())) << "the collection is gone";
}

// A GIF sent as quoted-printable holds CR bytes ("=0D") that are data, not line ends; in a
// text part of the same article they stay dropped. Python's quopri leaves CR bytes unencoded
// and its pure-Python fallback splits escapes; binascii in binary mode is the sound encoder.
TEST_F(MimeEncodersTest, QuotedPrintableGifKeepsItsCrBytesAndPassesContentMd5) {
    for (const char* program : {"python3", "convert"})
        ASSERT_TRUE(haveProgram(program))
            << program << " is needed for this test: run scripts/install-deps.sh test";
    const std::string gifPath = dir.file("work/picture.gif");
    std::string command = "mkdir -p " + dir.file("work") +
                          " && convert -size 96x96 -seed 3 plasma:fractal " + gifPath +
                          " && python3 -c 'import base64, binascii, hashlib, sys; "
                          "d = open(sys.argv[1], \"rb\").read(); "
                          "open(sys.argv[2], \"wb\").write(binascii.b2a_qp(d, istext=False)); "
                          "print(base64.b64encode(hashlib.md5(d).digest()).decode(), end=\"\")' " +
                          gifPath + " " + dir.file("work/picture.qp") + " > " +
                          dir.file("work/picture.md5");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string gif = *readWholeFile(gifPath);
    ASSERT_NE(gif.find('\r'), std::string::npos) << "the picture must hold CR bytes";

    decode(
        "Subject: qp picture\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"QP\"\n\n--QP\n"
        "Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n"
        "A picture=0D\nof plasma.=0D\n--QP\n"
        "Content-Type: image/gif; name=\"picture.gif\"\n"
        "Content-Transfer-Encoding: quoted-printable\nContent-MD5: " +
        *readWholeFile(dir.file("work/picture.md5")) + "\n\n" +
        *readWholeFile(dir.file("work/picture.qp")) + "\n--QP--\n");
    EXPECT_EQ(news("picture.gif"), gif);
    EXPECT_EQ(news("picture.desc"), "A picture\nof plasma.");
    EXPECT_EQ(log().find("corrupted in transit"), std::string::npos) << log();
}

}  // namespace
}  // namespace qm::test
