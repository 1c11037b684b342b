// SPDX-License-Identifier: GPL-3.0-or-later
// The article journal: records read back byte for byte whatever their fields hold; a damaged
// record is stepped over and the replay goes on with the next whole one; a record cut short by
// a kill is cut off when the journal is opened; a write that fails leaves the journal as it
// was; and the fold finishes what a killed run left, once, touching nothing outside the data
// folder's "news.dat" and "tmp" folders.
#include "catalog/articlejournal.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <mutex>
#include <string>

#include "catalog/picturelist.h"
#include "config/appsettings.h"
#include "model/locks.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "session/datafolder.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm {
namespace {

JournalRecord hostileRecord() {
    JournalRecord r;
    r.messageId = "<a\tb\\n\r\nc@x>";  // what a hostile server could send
    r.group = "alt.\\t";
    r.number = 9007199254740993;
    r.files.push_back({"alt.x/news.dat/.qmere-decoding-AbC123", "alt.x/news.dat/p\\q.jpg",
                       PictureRecord{"desc\twith tab", "12071630-1998", 'N'}});
    r.files.push_back({"alt.x/news.dat/.qmere-decoding-XyZ987", "alt.x/news.dat/p.desc", {}});
    r.removedFiles = {"tmp/set/1", "tmp/set/CT"};
    r.removedDirectories = {"tmp/set"};
    r.description = '+';
    r.descriptionWork = "tmp/.qmere-decoding-description-7-1";
    return r;
}

TEST(ArticleJournalFormat, RecordsReadBackAndADamagedRecordIsSteppedOverToTheNextWholeOne) {
    JournalRecord manual;  // a manual decoding: no id, no group
    manual.files.push_back({"news.dat/.qmere-decoding-000000", "news.dat/x.gif", {}});
    manual.description = '-';
    const std::string first = formatJournalRecord(hostileRecord());
    const std::string second = formatJournalRecord(manual);

    ParsedJournal whole = parseJournal(first + second);
    ASSERT_EQ(whole.records.size(), 2u);
    EXPECT_EQ(whole.records[0], hostileRecord());
    EXPECT_EQ(whole.records[1], manual);
    EXPECT_FALSE(whole.damaged);
    EXPECT_EQ(whole.used, first.size() + second.size());

    // A kill in the middle of the second record's write, at every byte.
    for (std::size_t cut = 1; cut < second.size(); ++cut) {
        ParsedJournal parsed = parseJournal(first + second.substr(0, cut));
        ASSERT_EQ(parsed.records.size(), 1u) << cut;
        EXPECT_TRUE(parsed.torn) << cut;
        EXPECT_EQ(parsed.skipped, 0) << cut;
        EXPECT_EQ(parsed.used, first.size()) << cut;
    }
    // A changed byte anywhere in a record in the middle: that one record is skipped, the ones
    // on either side are replayed, and the end is whole.
    const std::string third = formatJournalRecord(hostileRecord());
    for (std::size_t at = 0; at < second.size(); ++at) {
        std::string damaged = first + second + third;
        damaged[first.size() + at] = static_cast<char>(damaged[first.size() + at] ^ 0x01);
        ParsedJournal parsed = parseJournal(damaged);
        ASSERT_EQ(parsed.records.size(), 2u) << "byte " << at;
        EXPECT_EQ(parsed.records[1], hostileRecord()) << "byte " << at;
        EXPECT_EQ(parsed.skipped, 1) << "byte " << at;
        EXPECT_FALSE(parsed.torn) << "byte " << at;
        EXPECT_EQ(parsed.used, damaged.size()) << "byte " << at;
    }
    // Garbage in the middle: the records behind it are found again.
    ParsedJournal parsed = parseJournal(first + "\x7f\nJ 9 0\nnot a record\n" + third);
    EXPECT_EQ(parsed.records.size(), 2u);
    EXPECT_EQ(parsed.skipped, 2);
}

class ArticleJournalTest : public ::testing::Test {
  protected:
    ArticleJournalTest()
        : m_xdg(m_dir), m_profile(profilePath()), m_settings(m_frontend, m_profile) {
        m_settings.dataDirectory = m_dir.file("data");
        m_settings.messageIds.setDirectory(m_settings.dataDirectory);
        EXPECT_EQ(makeDirectories(m_settings.dataDirectory), 0);
        EXPECT_TRUE(m_journal.open(m_settings.dataDirectory));
    }

    JournalFold fold() {
        std::lock_guard lock(DecodeLock);
        return foldJournal(m_settings, m_journal);
    }

    test::TempDir m_dir;
    test::ScopedXdgHome m_xdg;
    Profile m_profile;
    test::RecordingFrontend m_frontend;
    AppSettings m_settings;
    ArticleJournal m_journal;
};

TEST_F(ArticleJournalTest, AWriteThatFailsHalfWayLeavesTheJournalAsItWas) {
    JournalRecord small;
    small.messageId = "<1@x>";
    ASSERT_TRUE(m_journal.append(small));
    const std::string before = m_dir.read("data/MSGLIST.log");
    JournalRecord big = hostileRecord();
    big.files.resize(200, big.files[0]);

    // A file-size limit makes the write stop part-way, as a full disk would (even for root).
    struct rlimit previous {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = previous;
    limit.rlim_cur = before.size() + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool appended = m_journal.append(big);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(appended);
    EXPECT_EQ(m_dir.read("data/MSGLIST.log"), before);
    ASSERT_TRUE(m_journal.append(small)) << "the next record follows the whole ones";
    EXPECT_EQ(parseJournal(m_dir.read("data/MSGLIST.log")).records.size(), 2u);
}

TEST_F(ArticleJournalTest, ATornLastRecordIsCutOffAtOpenSoTheNextOneIsReadBehindTheWholeOnes) {
    JournalRecord small;
    small.messageId = "<1@x>";
    ASSERT_TRUE(m_journal.append(small));
    const std::string whole = m_dir.read("data/MSGLIST.log");
    m_dir.write("data/MSGLIST.log", whole + formatJournalRecord(hostileRecord()).substr(0, 30));
    ASSERT_TRUE(m_journal.open(m_settings.dataDirectory));
    EXPECT_EQ(m_journal.cutAtOpen(), 30u);
    EXPECT_EQ(m_dir.read("data/MSGLIST.log"), whole);
    ASSERT_TRUE(m_journal.append(hostileRecord()));
    const ParsedJournal parsed = parseJournal(m_dir.read("data/MSGLIST.log"));
    EXPECT_EQ(parsed.records.size(), 2u);
    EXPECT_FALSE(parsed.damaged);
}

TEST_F(ArticleJournalTest, TheFoldFinishesWhatAKillLeftOnceAndTouchesNothingOutside) {
    // Killed after the record of article 1, before its file was named; article 2 was named
    // and its list saved with a view mark since; article 3 used up a set.
    m_dir.write("data/alt.a/news.dat/.qmere-decoding-AAAAAA", "picture one");
    m_dir.write("data/alt.a/news.dat/.qmere-decoding-DDDDDD", "about one");
    m_dir.write("data/alt.a/news.dat/two.jpg", "picture two");
    m_dir.write("data/alt.a/data.lst", "seen\ttwo.jpg\t01011200-2024\tV\n");
    m_dir.write("data/tmp/set/1", "part");
    m_dir.write("data/MSGLIST", "<old@x>\n<2@a>\n");  // folded once, journal not emptied
    ASSERT_EQ(m_settings.messageIds.load(), 0);
    m_dir.write("outside/.qmere-decoding-BBBBBB", "not ours");
    m_dir.write("data/alt.a/keep", "not in tmp");

    JournalRecord one;
    one.messageId = "<1@a>";
    one.group = "alt.a";
    one.number = 1;
    one.files.push_back({"alt.a/news.dat/.qmere-decoding-AAAAAA", "alt.a/news.dat/one.jpg",
                         PictureRecord{"subject one", "01011200-2024", 'N'}});
    one.files.push_back(
        {"alt.a/news.dat/.qmere-decoding-DDDDDD", "alt.a/news.dat/one.desc", std::nullopt});
    JournalRecord two = one;
    two.messageId = "<2@a>";
    two.number = 2;
    two.files = {{"alt.a/news.dat/.qmere-decoding-CCCCCC", "alt.a/news.dat/two.jpg",
                  PictureRecord{"subject two", "01011200-2024", 'N'}}};
    JournalRecord three;
    three.messageId = "<3@a>";
    three.group = "alt.a";
    three.removedFiles = {"tmp/set/1"};
    three.removedDirectories = {"tmp/set"};
    // Article 1 consumed the pending description, article 3 left a new one that the kill
    // kept from its name; a later article, not committed, had started a copy of its own.
    one.description = '-';
    three.description = '+';
    three.descriptionWork = "tmp/.qmere-decoding-description-1-3";
    m_dir.write("data/tmp/tempdesc.txt", "before article one");
    m_dir.write("data/tmp/.qmere-decoding-description-1-3", "left by three");
    m_dir.write("data/tmp/.qmere-decoding-description-1-4", "not committed");
    JournalRecord hostile;  // a damaged journal must not reach outside its folders
    hostile.messageId = "<4@a>";
    hostile.group = "alt.a";
    hostile.files = {{"../outside/.qmere-decoding-BBBBBB", "../outside/taken", std::nullopt},
                     {"alt.a/news.dat/.qmere-decoding-AAAAAA", "/tmp/elsewhere", std::nullopt}};
    hostile.removedFiles = {"alt.a/keep", "tmp/../alt.a/keep", "/etc/hostname"};
    for (const JournalRecord& r : {one, two, three, hostile}) ASSERT_TRUE(m_journal.append(r));
    // A record with a flipped bit between them: skipped, the others replayed.
    {
        JournalRecord lost = one;
        lost.messageId = "<lost@a>";
        std::string damaged = formatJournalRecord(lost);
        damaged[damaged.size() / 2] ^= 0x04;
        const std::string text = m_dir.read("data/MSGLIST.log");
        const std::size_t afterOne = formatJournalRecord(one).size();
        m_dir.write("data/MSGLIST.log", text.substr(0, afterOne) + damaged + text.substr(afterOne));
    }
    // And the last record cut short by the kill.
    m_dir.write("data/MSGLIST.log",
                m_dir.read("data/MSGLIST.log") + formatJournalRecord(one).substr(0, 20));

    const JournalFold done = fold();
    EXPECT_EQ(done.records, 4);
    EXPECT_EQ(done.skipped, 1);
    EXPECT_EQ(done.renamed, 2);
    EXPECT_EQ(done.catalogued, 1);
    EXPECT_TRUE(done.damaged);
    EXPECT_TRUE(done.folded);
    EXPECT_EQ(m_dir.read("data/alt.a/news.dat/one.jpg"), "picture one");
    EXPECT_EQ(m_dir.read("data/alt.a/news.dat/one.desc"), "about one");
    EXPECT_FALSE(fileExists(m_dir.file("data/alt.a/news.dat/.qmere-decoding-AAAAAA")));
    const std::string list = m_dir.read("data/alt.a/data.lst");
    EXPECT_NE(list.find("subject one\tone.jpg\t01011200-2024\tN\n"), std::string::npos) << list;
    EXPECT_NE(list.find("seen\ttwo.jpg\t01011200-2024\tV\n"), std::string::npos) << list;
    EXPECT_EQ(list.find("subject two"), std::string::npos) << "a listed file keeps its record";
    EXPECT_EQ(m_dir.read("data/MSGLIST"), "<old@x>\n<2@a>\n<1@a>\n<3@a>\n<4@a>\n");
    EXPECT_FALSE(isDirectory(m_dir.file("data/tmp/set")));
    EXPECT_EQ(m_dir.read("data/tmp/tempdesc.txt"), "left by three");
    EXPECT_EQ(m_dir.read("data/tmp/.qmere-decoding-description-1-4"), "not committed")
        << "the leftovers' to remove, after the fold";
    EXPECT_EQ(m_dir.read("outside/.qmere-decoding-BBBBBB"), "not ours");
    EXPECT_FALSE(fileExists(m_dir.file("outside/taken")));
    EXPECT_EQ(m_dir.read("data/alt.a/keep"), "not in tmp");
    EXPECT_EQ(m_dir.read("data/MSGLIST.log"), "");

    // Folding again finds nothing to do: what was done is not done twice.
    EXPECT_EQ(fold().records, 0);
    EXPECT_EQ(m_dir.read("data/MSGLIST"), "<old@x>\n<2@a>\n<1@a>\n<3@a>\n<4@a>\n");
}

// What a kill leaves of the pictures' own writes goes before a run, and nothing else of theirs.
TEST(DataFolderLeftovers, TheGalleryAndThumbnailsCutShortByAKillAreRemoved) {
    test::TempDir dir;
    const std::vector<std::string> leftovers = {"alt.a/.gallery.html.Ab12Cd", "alt.a/.gallery-4242",
                                                "alt.a/..gallery-4242.Zz9Yy8",
                                                "alt.a/thumbs/.sunset.jpg.jpg.Qw3Er4"};
    const std::vector<std::string> kept = {"alt.a/gallery.html", "alt.a/thumbs/sunset.jpg.jpg",
                                           "alt.a/thumbs/.notes", "alt.a/.gallery-draft"};
    for (const std::string& name : leftovers) dir.write("data/" + name, "cut short");
    for (const std::string& name : kept) dir.write("data/" + name, "whole");
    EXPECT_EQ(removeLeftovers(dir.file("data")), static_cast<int>(leftovers.size()));
    for (const std::string& name : leftovers)
        EXPECT_FALSE(fileExists(dir.file("data/" + name))) << name;
    for (const std::string& name : kept) EXPECT_EQ(dir.read("data/" + name), "whole") << name;
}

}  // namespace
}  // namespace qm
