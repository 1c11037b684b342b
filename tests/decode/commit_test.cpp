// SPDX-License-Identifier: GPL-3.0-or-later
// An article is committed whole or not at all: until its record is written (the catalogue's
// journal, here a sink that can refuse it as a full disk would), none of its files has a
// name and the part collections are as they were; decoded again, it gives what one decode
// would have.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>

#include "uutestfixture.h"

namespace qm::test {
namespace {

// Size and CRC: short enough to show in a failure.
std::string digest(std::string_view bytes) {
    return std::to_string(bytes.size()) + ":" + crcText(bytes);
}

// Records the files like RecordingSink; refuses commits while refuse is set.
class RefusingSink : public RecordingSink {
  public:
    DecodeResult commitArticle(const DecodeInputs&, const ArticleOutputs& outputs) override {
        if (!refuse) return {};
        refused = outputs;
        DecodeResult failed;
        failed.error = ENOSPC;
        failed.path = "journal";
        return failed;
    }
    bool refuse = false;
    ArticleOutputs refused;
};

class CommitTest : public DecoderFixture {
  protected:
    CommitTest() { m_decoder->setSink(&m_refusing); }

    // Every file below dir (relative path: content), hidden ones included.
    static std::map<std::string, std::string> tree(const std::string& dir) {
        std::map<std::string, std::string> files;
        std::error_code ec;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec)) {
            const std::string relative = entry.path().string().substr(dir.size());
            files[relative] =
                entry.is_directory() ? "<folder>" : digest(content(entry.path().string()));
        }
        return files;
    }

    RefusingSink m_refusing;
};

std::string fragment(int number, std::string_view body) {
    return "Subject: pieces\nContent-Type: message/partial; id=\"commit@test\"; number=" +
           std::to_string(number) + "; total=2\n\n" + std::string(body);
}

std::pair<std::string, std::string> halves(const std::string& text) {
    size_t at = text.find('\n', text.size() / 2) + 1;
    return {text.substr(0, at), text.substr(at)};
}

TEST_F(CommitTest, AnArticleNotCommittedLeavesNoFileAndItsSetsAsTheyWereForTheNextTry) {
    const std::string data = sampleData(30000, 5);
    const std::string other = sampleData(2000, 6);
    auto [uuFirst, uuSecond] = halves(uuencodeBody(data, "uu.jpg"));
    auto [b64First, b64Second] = halves(
        "Content-Type: image/jpeg; name=\"partial.jpg\"\nContent-Transfer-Encoding: base64\n\n" +
        base64Lines(data));
    struct Case {
        const char* name;
        std::string first;  // stored before (empty: none)
        std::string completing;
        std::map<std::string, std::string> files;  // what the completing article gives
    };
    const Case cases[] = {
        // The set's description goes with the file, and stays with the set until then.
        {"uu.jpg",
         article("uu.jpg (1/2)", "about uu\n\n" + uuFirst),
         article("uu.jpg (2/2)", uuSecond),
         {{"uu.jpg", data}, {"uu.desc", "about uu\n\n"}}},
        {"partial.jpg", fragment(1, b64First), fragment(2, b64Second), {{"partial.jpg", data}}},
        // The set's data stays in the set until the commit: a second name is committed.
        {"yenc.jpg",
         article("y", yencHalf(data, "yenc.jpg", 1)),
         article("y", yencHalf(data, "yenc.jpg", 2)),
         {{"yenc.jpg", data}}},
        {"pair",
         "",
         "Subject: pair\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=B\n\n--B\n"
         "Content-Type: text/plain\n\nwhat they show\n--B\n"
         "Content-Type: image/jpeg; name=\"a.jpg\"\nContent-Transfer-Encoding: base64\n\n" +
             base64Lines(data) +
             "--B\nContent-Type: image/gif; name=\"a.jpg\"\nContent-Transfer-Encoding: "
             "base64\n\n" +
             base64Lines(other) + "--B--\n",
         // Two files of one name in one article: the second is numbered though neither is
         // on disk before the commit.
         {{"a.jpg", data}, {"a.desc", "what they show"}, {"1_a.jpg", other}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.first.empty()) {
            decode(c.first);
            ASSERT_FALSE(m_result.outputFailed());
        }
        const auto waiting = tree(tmp());
        m_refusing.refuse = true;
        decode(c.completing);
        m_refusing.refuse = false;
        EXPECT_EQ(m_result.error, ENOSPC);
        EXPECT_EQ(m_result.path, "journal");
        std::size_t described = 0;
        for (const auto& [name, bytes] : c.files) described += name.ends_with(".desc") ? 1 : 0;
        EXPECT_EQ(m_refusing.refused.files.size(), c.files.size() - described)
            << "offered to the record";
        EXPECT_TRUE(tree(news()).empty()) << "no file, hidden or named";
        EXPECT_TRUE(m_sink.files.empty() && m_refusing.files.empty()) << "nothing reported";
        // The set holds all it held (the completing part may have been stored beside it).
        const auto left = tree(tmp());
        for (const auto& [name, bytes] : waiting) EXPECT_TRUE(left.count(name)) << name;

        decode(c.completing);
        EXPECT_FALSE(m_result.outputFailed());
        std::map<std::string, std::string> expected;
        for (const auto& [name, bytes] : c.files) expected["/" + name] = digest(bytes);
        EXPECT_EQ(tree(news()), expected);
        EXPECT_EQ(m_refusing.files.size(), c.files.size() - described) << "each reported once";
        for (const auto& [name, bytes] : tree(tmp()))
            EXPECT_EQ(bytes, "<folder>") << name << " left in tmp";
        std::filesystem::remove_all(news());
        std::filesystem::remove_all(tmp());
        m_refusing.files.clear();
    }
}

}  // namespace
}  // namespace qm::test
