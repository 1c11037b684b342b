// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/subject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "config/patternlist.h"

namespace qm {
namespace {

constexpr int Unchanged = -7;  // what part and total hold when recognition leaves them

struct Recognized {
    int result;
    int part = Unchanged;
    int total = Unchanged;
    std::string key = "<unset>";
};

Recognized recognize(std::string_view subject) {
    Recognized r{};
    r.result = recognizeSubject(subject, r.key, r.part, r.total);
    return r;
}

struct SubjectCase {
    std::string_view subject;
    int result, part, total;
    std::string_view key;
};

TEST(RecognizeSubject, ReadsPartNumbersAndFileNameKeys) {
    const SubjectCase cases[] = {
        {"Holiday [3/12] beach.jpg", 0, 3, 12, "Holidbeach.jpg"},
        {"pic.JPG 1 of 2", 0, 1, 2, "picFJpic.jpg"},
        {"pic.jpg 1 OF 2", 0, 1, 2, "picFjpic.jpg"},
        {"Re: nice sunset.JPG (1/2)", 0, 1, 2, "ReFFnsunset.jpg"},
        {"file01/10 (2/3)", 0, 1, 10, "file011023"},  // leftmost match wins
        {"x 12 of 34", 0, 12, 34, "x12of34"},
        {"x 12/34", 0, 12, 34, "x1234"},
        {"x 12-of-34", 0, 12, 34, "x12of34"},
        {"x 12 o 34", 0, 12, 34, "x12o34"},
        {"x 12-o-34", 0, 12, 34, "x12o34"},
        {"Re: my pics", 1, Unchanged, Unchanged, "Remypics"},
        {"", 1, Unchanged, Unchanged, ""},
        {"my_pic.gif", 1, Unchanged, Unchanged, "myFpimy_pic.gif"},  // \w takes underscores
        {"pic.jpgx", 1, Unchanged, Unchanged, "picFjpic.jpg"},       // no word boundary needed
        {"a.tar.gz", 1, Unchanged, Unchanged, "aFtara.tar"},
        {"a.gz", 1, Unchanged, Unchanged, "aFgzFa.gz"},    // past the end counts as F too
        {"index.html 2/2", 0, 2, 2, "indexindex.html"},    // the longest alternative
        {"a 1 of 2\r\nb 3 of 4 c.jpg", 0, 1, 2, "a1of2"},  // only the first line counts
        {"a 1\nof 2", 1, Unchanged, Unchanged, "a1"},
        {std::string_view("x.gif\0 5 of 6", 13), 1, Unchanged, Unchanged, "xFgifx.gif"},
    };
    for (const SubjectCase& c : cases) {
        Recognized r = recognize(c.subject);
        EXPECT_EQ(r.result, c.result) << c.subject;
        EXPECT_EQ(r.part, c.part) << c.subject;
        EXPECT_EQ(r.total, c.total) << c.subject;
        EXPECT_EQ(r.key, c.key) << c.subject;
    }
}

TEST(RecognizeSubject, HostileSubjectsAreBounded) {
    // A 100 KB subject: only the first 1023 characters are searched, the key is cut at 255.
    std::string huge(100 * 1024, 'a');
    huge += " 1 of 2 z.jpg";
    Recognized r = recognize(huge);
    EXPECT_EQ(r.result, 1) << "the numbering lies past the working copy";
    EXPECT_EQ(r.key, std::string(255, 'a'));

    std::string early = "7 of 9 " + std::string(100 * 1024, 'b') + ".jpg";
    r = recognize(early);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.part, 7);
    EXPECT_EQ(r.total, 9);
    EXPECT_EQ(r.key.size(), 255u);

    // A long file name: the match is cut at 254 characters, the key at 255.
    std::string longName = std::string(600, 'n') + ".jpg";
    r = recognize(longName);
    EXPECT_EQ(r.key, "nnnnn" + std::string(250, 'n'));

    // Every byte value but the line ends, over and over.
    std::string binary;
    for (int round = 0; round < 8; ++round)
        for (int b = 1; b < 256; ++b)
            if (b != '\r' && b != '\n') binary += static_cast<char>(b);
    r = recognize(binary);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.key.size(), 255u);
    for (char c : r.key) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << int(c);

    std::string highBytes = "\xe9t\xe9 \xff\xfe 3 of 4 \x80\x81.jpg";
    r = recognize(highBytes);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.part, 3);
    EXPECT_EQ(r.total, 4);
    EXPECT_EQ(r.key, "t3of4jpg") << "bytes above 127 are neither letters nor digits";
}

TEST(RecognizeSubject, NumbersThatOverflowAnIntAreRejected) {
    const SubjectCase cases[] = {
        {"a 99999999999 of 2", 1, Unchanged, Unchanged, "a99999999999of2"},
        {"a 2147483647 of 2147483647", 0, 2147483647, 2147483647, "a2147483647of2147483647"},
    };
    for (const SubjectCase& c : cases) {
        Recognized r = recognize(c.subject);
        EXPECT_EQ(r.result, c.result) << c.subject;
        EXPECT_EQ(r.part, c.part) << c.subject;
        EXPECT_EQ(r.total, c.total) << c.subject;
        EXPECT_EQ(r.key, c.key) << c.subject;
    }
    // A first number longer than the 254 characters read is rejected too, not half-read.
    Recognized r = recognize("a " + std::string(300, '1') + " of 2");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.part, Unchanged);
}

// Reader threads recognise subjects and apply the kill list at the same time, on the same
// compiled patterns.
TEST(SubjectRecognitionThreads, ConcurrentCallsGiveTheSameResults) {
    PatternList kill;
    ASSERT_EQ(kill.compile("sunset, [0-9]+"), std::nullopt);
    struct Expected {
        std::string subject;
        int result, part, total;
        std::string key;
        bool killed;
    };
    std::vector<Expected> expected;
    for (int i = 0; i < 50; ++i) {
        std::string n = std::to_string(i);
        expected.push_back({"Re: nice sunset" + n + ".JPG (" + n + "/77)", 0, i, 77,
                            "ReFFnsunset" + n + ".jpg", true});
        expected.push_back({"Holiday [" + n + "/12] beach.jpg", 0, i, 12, "Holidbeach.jpg", false});
        expected.push_back({"no numbers here", 1, -1, -1, "nonumbershere", false});
    }
    std::atomic<int> failures{0};
    std::atomic<int> checked{0};
    auto work = [&] {
        for (int round = 0; round < 20; ++round) {
            for (const Expected& e : expected) {
                std::string key;
                int part = -1, total = -1;
                int result = recognizeSubject(e.subject, key, part, total);
                bool ok = result == e.result && part == e.part && total == e.total &&
                          key == e.key && kill.matches(e.subject) == e.killed;
                if (!ok) ++failures;
                ++checked;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(checked.load(), 4 * 20 * static_cast<int>(expected.size()));
}

}  // namespace
}  // namespace qm
