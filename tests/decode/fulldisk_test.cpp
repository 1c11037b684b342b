// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding onto a file system that fills up: a tmpfs of 1 MiB mounted for the test (mounting
// needs root; the tests are skipped without it). A file that does not fit is neither kept
// nor reported nor described, the decoder says so with ENOSPC, and a split post keeps its
// parts for the next try; what fits is whole.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decode/yenc.h"
#include "uutestfixture.h"

namespace qm::test {
namespace {

// The two halves of text, split at a line end.
std::pair<std::string, std::string> halves(const std::string& text) {
    size_t at = text.find('\n', text.size() / 2) + 1;
    return {text.substr(0, at), text.substr(at)};
}

std::string fragment(int number, std::string_view body) {
    return "Subject: pieces\nContent-Type: message/partial; id=\"full@disk\"; number=" +
           std::to_string(number) + "; total=2\n\n" + std::string(body);
}

class FullDiskTest : public DecoderFixture {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
        m_mount = m_dir.file("small");
        ASSERT_EQ(makeDirectories(m_mount), 0);
        if (::mount("tmpfs", m_mount.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
        m_mounted = true;
        useDataDirectory("small/data");
    }
    void TearDown() override {
        if (m_mounted) ::umount2(m_mount.c_str(), MNT_DETACH);
    }

    std::uint64_t freeBytes() const {
        struct statvfs vfs {};
        if (::statvfs(m_mount.c_str(), &vfs) != 0) return 0;
        return static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    }
    // Fills the file system up to about `left` free bytes.
    void leaveFree(std::uint64_t left) {
        std::uint64_t now = freeBytes();
        ASSERT_GT(now, left);
        FilePtr file = openFile(filler(), "w");
        ASSERT_TRUE(file);
        std::string bytes(now - left, 'f');
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.get()), bytes.size());
        ASSERT_EQ(std::fclose(file.release()), 0);
    }
    std::string filler() const { return m_mount + "/filler"; }

    std::string m_mount;
    bool m_mounted = false;
};

TEST_F(FullDiskTest, AFileThatDoesNotFitIsNeitherKeptNorReported) {
    const std::string small = sampleData(20000, 1);
    decode(article("small", uuencodeBody(small, "small.jpg")));
    ASSERT_FALSE(m_result.outputFailed());
    const std::uint64_t room = freeBytes();
    const std::string big = sampleData(room + 100000, 2);
    struct Case {
        const char* name;
        std::string article;
    };
    const Case cases[] = {
        {"mime.jpg",
         "Subject: big\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=B\n\n--B\n"
         "Content-Type: text/plain\n\nwhat it shows\n--B\n"
         "Content-Type: image/jpeg; name=\"mime.jpg\"\nContent-Transfer-Encoding: base64\n\n" +
             base64Lines(big) + "--B--\n"},
        {"xuu.jpg",
         "Subject: big\nMIME-Version: 1.0\nContent-Type: image/jpeg\n"
         "Content-Transfer-Encoding: x-uuencode\n\n" +
             uuencodeBody(big, "xuu.jpg")},
        {"uu.jpg", article("uu.jpg", uuencodeBody(big, "uu.jpg"))},
        {"set.jpg", article("set.jpg (1/1)", "what it shows\n\n" + uuencodeBody(big, "set.jpg"))},
        {"yenc.jpg", article("yenc", yencSingle(big, "yenc.jpg"))},
    };
    for (const Case& c : cases) {
        decode(c.article);
        EXPECT_EQ(m_result.error, ENOSPC) << c.name;
        EXPECT_EQ(m_result.path, newsFile(c.name)) << c.name;
        // Neither under its name nor as a hidden temporary file, nor a description.
        EXPECT_EQ(listing(news()), std::vector<std::string>{"small.jpg"}) << c.name;
        EXPECT_EQ(m_sink.files.size(), 1u) << c.name << " reported";
        EXPECT_FALSE(fileExists(m_decoder->pendingDescriptionPath())) << c.name;
    }
    EXPECT_EQ(content(newsFile("small.jpg")), small);
    // Nothing large was left anywhere (the log and a description may take a page or two).
    EXPECT_GE(freeBytes() + 4 * 4096, room);
}

// A MIME body that overruns the disk only with its last bytes: those wait in the stream's
// buffer until the file is finished, so only the flush there can find that they did not fit.
TEST_F(FullDiskTest, AFileWhoseLastBytesDoNotFitIsNotKeptEither) {
    decode(article("small", yencSingle(sampleData(20000, 1), "small.jpg")));
    ASSERT_FALSE(m_result.outputFailed());
    for (std::uint64_t over : {1, 1000, 3000}) {
        const std::uint64_t room = freeBytes();
        decode(
            "Subject: last\nMIME-Version: 1.0\nContent-Type: image/jpeg; name=\"last.jpg\"\n"
            "Content-Transfer-Encoding: base64\n\n" +
            base64Lines(sampleData(room + over, 4)));
        EXPECT_EQ(m_result.error, ENOSPC) << over << " bytes over";
        EXPECT_EQ(listing(news()), std::vector<std::string>{"small.jpg"}) << over;
        EXPECT_EQ(m_sink.files.size(), 1u) << over << " bytes over, reported";
    }
}

// The part that completes a set brings more than there is room for: the parts stored
// before stay, and when it comes again with room enough the file is whole.
TEST_F(FullDiskTest, ASetThatCannotBeCompletedKeepsItsPartsForTheNextTry) {
    const std::string data = sampleData(300000, 3);
    auto [uuFirst, uuSecond] = halves(uuencodeBody(data, "uu.jpg"));
    auto [b64First, b64Second] = halves(
        "Content-Type: image/jpeg; name=\"partial.jpg\"\nContent-Transfer-Encoding: base64\n\n" +
        base64Lines(data));
    struct Case {
        const char* name;
        std::string first, completing;
        std::uint64_t room;  // left free before the completing article
    };
    const Case cases[] = {
        {"uu.jpg", article("uu.jpg (1/2)", uuFirst), article("uu.jpg (2/2)", uuSecond), 100000},
        // The fragment is stored; joining the fragments is what does not fit.
        {"partial.jpg", fragment(1, b64First), fragment(2, b64Second), 300000},
        {"yenc.jpg", article("y", yencHalf(data, "yenc.jpg", 1)),
         article("y", yencHalf(data, "yenc.jpg", 2)), 100000},
    };
    for (const Case& c : cases) {
        decode(c.first);
        ASSERT_FALSE(m_result.outputFailed()) << c.name;
        const std::vector<std::string> waiting = listing(tmp());
        leaveFree(c.room);
        decode(c.completing);
        EXPECT_EQ(m_result.error, ENOSPC) << c.name;
        EXPECT_TRUE(listing(news()).empty()) << c.name;
        EXPECT_TRUE(m_sink.files.empty()) << c.name;
        EXPECT_EQ(listing(tmp()), waiting) << c.name << ": the set is as it was";

        // The user makes room; the article is fetched again.
        ASSERT_EQ(std::remove(filler().c_str()), 0);
        decode(c.completing);
        EXPECT_FALSE(m_result.outputFailed()) << c.name;
        EXPECT_EQ(content(newsFile(c.name)), data) << c.name;
        EXPECT_EQ(m_sink.files.size(), 1u) << c.name;
        EXPECT_TRUE(listing(tmp()).empty()) << c.name;
        EXPECT_EQ(std::remove(newsFile(c.name).c_str()), 0);
        m_sink.files.clear();
    }
}

}  // namespace
}  // namespace qm::test
