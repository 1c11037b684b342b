// SPDX-License-Identifier: GPL-3.0-or-later
#include "catalog/picturedatabase.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "catalog/perceptualhash.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/tempdir.h"

namespace qm {
namespace {

// Hashes 10+ bits apart from each other, none featureless.
constexpr std::uint64_t Sunset = 0x0f0f'3c3c'5a5a'9696u;
constexpr std::uint64_t Harbour = 0xf0f0'c3c3'a5a5'6969u;
constexpr std::uint64_t SunsetResized = Sunset ^ 0b10'0000'0001u;  // 2 bits from Sunset

Sha256 digest(std::uint8_t seed) {
    Sha256 d{};
    d.fill(seed);
    return d;
}

StoredPicture picture(std::string group, std::string name, std::uint8_t content,
                      std::int64_t date) {
    StoredPicture p;
    p.path = group + "/news.dat/" + name;
    p.group = std::move(group);
    p.size = 1000 + content;
    p.sha256 = digest(content);
    p.date = date;
    p.subject = "Subject of " + name;
    p.messageId = "<" + name + "@example>";
    return p;
}

class PictureDatabaseTest : public ::testing::Test {
  protected:
    PictureDatabase database() {
        return PictureDatabase(m_dir.file("data"),
                               [this](std::string_view l) { m_log.emplace_back(l); });
    }
    std::int64_t recordShown(PictureDatabase& db, const StoredPicture& p, std::uint64_t hash) {
        const std::int64_t id = db.add(p).value_or(0);
        EXPECT_NE(id, 0) << p.path;
        db.complete(id, PictureState::Shown, hash, 800, 600, 200, 150);
        return id;
    }

    test::TempDir m_dir;
    std::vector<std::string> m_log;
};

std::vector<std::string> paths(const std::vector<StoredPicture>& pictures) {
    std::vector<std::string> out;
    for (const StoredPicture& p : pictures) out.push_back(p.path);
    return out;
}

TEST_F(PictureDatabaseTest, FindsPicturesByContentAndByLook) {
    PictureDatabase db = database();
    ASSERT_TRUE(db.open());
    recordShown(db, picture("alt.a", "sunset.jpg", 1, 100), Sunset);
    recordShown(db, picture("alt.a", "harbour.jpg", 2, 200), Harbour);
    const std::int64_t pending = db.add(picture("alt.a", "waiting.jpg", 3, 300)).value_or(0);

    auto first = db.findBySha256(digest(2));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->path, "alt.a/news.dat/harbour.jpg");
    EXPECT_EQ(first->messageId, "<harbour.jpg@example>");
    EXPECT_EQ(first->hash, Harbour);
    EXPECT_EQ(first->state, PictureState::Shown);
    EXPECT_TRUE(db.findBySha256(digest(3)));  // found before its thumbnail exists
    EXPECT_FALSE(db.findBySha256(digest(9)));

    // The resized copy, in another group: both it and the first are marked, and both groups'
    // galleries are out of date.
    const std::int64_t copy = db.add(picture("alt.b", "small.jpg", 4, 400)).value_or(0);
    std::vector<std::string> changed =
        db.complete(copy, PictureState::Shown, SunsetResized, 400, 300, 200, 150);
    EXPECT_EQ(changed, (std::vector<std::string>{"alt.a", "alt.b"}));
    EXPECT_EQ(paths(db.findNear(Sunset, NearDuplicateDistance)),
              (std::vector<std::string>{"alt.a/news.dat/sunset.jpg", "alt.b/news.dat/small.jpg"}));
    EXPECT_TRUE(db.findNear(Sunset ^ 0xffff, NearDuplicateDistance).empty());

    // A gallery lists the group's pictures newest first, with the marks, those still waiting
    // for their thumbnail too.
    std::vector<StoredPicture> gallery = db.groupPictures("alt.a");
    EXPECT_EQ(paths(gallery),
              (std::vector<std::string>{"alt.a/news.dat/waiting.jpg", "alt.a/news.dat/harbour.jpg",
                                        "alt.a/news.dat/sunset.jpg"}));
    EXPECT_FALSE(gallery[1].near);
    EXPECT_TRUE(gallery[2].near);
    EXPECT_EQ(paths(db.pending(10)), (std::vector<std::string>{"alt.a/news.dat/waiting.jpg"}));

    // An unreadable picture leaves the pending list, and stays in its gallery (without a
    // preview).
    EXPECT_TRUE(db.complete(pending, PictureState::Unreadable, 0, 0, 0, 0, 0).empty());
    EXPECT_TRUE(db.pending(10).empty());
    gallery = db.groupPictures("alt.a");
    ASSERT_EQ(gallery.size(), 3u);
    EXPECT_EQ(gallery[0].state, PictureState::Unreadable);
    EXPECT_TRUE(m_log.empty()) << m_log.front();
}

// Many pictures recorded and completed in one transaction each: ids in order, look-alikes of
// the same batch marked as when completed one by one, and another connection's cache sees
// the batch.
TEST_F(PictureDatabaseTest, BatchesRecordAndCompleteAsSingleChangesDo) {
    PictureDatabase db = database();
    ASSERT_TRUE(db.open());
    const std::vector<StoredPicture> batch = {picture("alt.a", "sunset.jpg", 1, 100),
                                              picture("alt.b", "harbour.jpg", 2, 200),
                                              picture("alt.c", "small.jpg", 3, 300)};
    const std::vector<std::int64_t> ids = db.addEach(batch);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(db.findBySha256(digest(2))->id, ids[1]);
    const std::vector<PictureDatabase::Completion> done = {
        {ids[0], PictureState::Shown, Sunset, 800, 600, 200, 150},
        {ids[1], PictureState::Shown, Harbour, 800, 600, 200, 150},
        {ids[2], PictureState::Shown, SunsetResized, 400, 300, 200, 150}};
    EXPECT_EQ(db.completeEach(done), (std::vector<std::string>{"alt.a", "alt.c"}));
    for (const StoredPicture& p : db.all()) EXPECT_EQ(p.near, p.group != "alt.b") << p.path;
    EXPECT_TRUE(db.pending(10).empty());

    PictureDatabase other = database();
    ASSERT_TRUE(other.open(false));
    const std::int64_t later = other.add(picture("alt.d", "again.jpg", 4, 400)).value_or(0);
    EXPECT_EQ(other.complete(later, PictureState::Shown, Harbour ^ 1, 800, 600, 200, 150),
              (std::vector<std::string>{"alt.b", "alt.d"}));
    EXPECT_TRUE(m_log.empty()) << m_log.front();
}

// Flat pictures (a blank frame, a plain colour) all hash to nearly nothing: they must not be
// taken for copies of each other.
TEST_F(PictureDatabaseTest, FeaturelessPicturesLookLikeNothing) {
    PictureDatabase db = database();
    ASSERT_TRUE(db.open());
    recordShown(db, picture("alt.a", "black.jpg", 1, 100), 0);
    recordShown(db, picture("alt.a", "grey.jpg", 2, 200), 0b1000);
    EXPECT_TRUE(db.findNear(0, 8).empty());
    for (const StoredPicture& p : db.all()) EXPECT_FALSE(p.near) << p.path;
}

// The hashes a connection keeps in memory follow the changes of another connection.
TEST_F(PictureDatabaseTest, ConnectionsSeeEachOthersPictures) {
    PictureDatabase a = database(), b = database();
    ASSERT_TRUE(a.open());
    ASSERT_TRUE(b.open());
    EXPECT_TRUE(b.findNear(Sunset, NearDuplicateDistance).empty());  // b's cache loaded, empty
    recordShown(a, picture("alt.a", "sunset.jpg", 1, 100), Sunset);
    EXPECT_EQ(b.findNear(Sunset, NearDuplicateDistance).size(), 1u);
    const std::int64_t copy = b.add(picture("alt.a", "copy.jpg", 2, 200)).value_or(0);
    EXPECT_EQ(b.complete(copy, PictureState::Shown, SunsetResized, 1, 1, 1, 1),
              (std::vector<std::string>{"alt.a"}));
    EXPECT_EQ(a.findNear(SunsetResized, NearDuplicateDistance).size(), 2u);
    EXPECT_TRUE(a.remove("alt.a/news.dat/copy.jpg"));
    EXPECT_EQ(b.findNear(SunsetResized, NearDuplicateDistance).size(), 1u);
}

TEST_F(PictureDatabaseTest, DuplicatesListsCopiesAndLookAlikesOfTheGroupsAsked) {
    PictureDatabase db = database();
    ASSERT_TRUE(db.open());
    recordShown(db, picture("alt.a", "sunset.jpg", 1, 100), Sunset);
    StoredPicture again = picture("alt.b", "sunset-again.jpg", 1, 200);  // same content
    recordShown(db, again, Sunset);
    recordShown(db, picture("alt.c", "small.jpg", 2, 300), SunsetResized);
    recordShown(db, picture("alt.c", "harbour.jpg", 3, 400), Harbour);

    auto describe = [](const std::vector<DuplicatePair>& pairs) {
        std::vector<std::string> out;
        for (const DuplicatePair& d : pairs) {
            out.push_back((d.exact ? "copy " : "near ") + d.first.path + " " + d.second.path + " " +
                          std::to_string(d.distance));
        }
        return out;
    };
    EXPECT_EQ(describe(db.duplicates({}, NearDuplicateDistance)),
              (std::vector<std::string>{
                  "copy alt.a/news.dat/sunset.jpg alt.b/news.dat/sunset-again.jpg 0",
                  "near alt.a/news.dat/sunset.jpg alt.c/news.dat/small.jpg 2",
                  "near alt.b/news.dat/sunset-again.jpg alt.c/news.dat/small.jpg 2"}));
    const std::string onlyB[] = {"alt.b"};
    EXPECT_EQ(describe(db.duplicates(onlyB, NearDuplicateDistance)).size(), 2u);
    const std::string none[] = {"alt.none"};
    EXPECT_TRUE(db.duplicates(none, NearDuplicateDistance).empty());
}

// What is not a database, or a database cut short, is set aside and a new one made; where no
// database can be had at all, every operation is a no-op and the reason is logged.
TEST_F(PictureDatabaseTest, DamagedFileIsSetAsideAndNoDatabaseIsNoFailure) {
    const std::string file = m_dir.file("data/pictures.db");
    {
        PictureDatabase db = database();
        ASSERT_TRUE(db.open());
        for (int i = 0; i < 300; ++i) {
            db.add(picture("alt.a", "p" + std::to_string(i) + ".jpg", static_cast<std::uint8_t>(i),
                           i));
        }
    }
    const std::string whole = readWholeFile(file).value();
    const std::string damages[] = {
        "this is no database, only text that happens to be there\n",
        whole.substr(0, whole.size() / 2),
        std::string(whole).replace(whole.size() / 2, 4096, 4096, '\x5a'),
    };
    for (const std::string& content : damages) {
        SCOPED_TRACE(content.size());
        ASSERT_TRUE(writeFileAtomic(file, content));
        m_log.clear();
        PictureDatabase db = database();
        ASSERT_TRUE(db.open());
        EXPECT_EQ(readWholeFile(file + ".damaged"), content);
        ASSERT_FALSE(m_log.empty());
        EXPECT_NE(m_log.back().find("set aside as " + file + ".damaged"), std::string::npos)
            << m_log.back();
        EXPECT_TRUE(db.all().empty());
        EXPECT_TRUE(db.add(picture("alt.a", "new.jpg", 1, 1)));
    }

    // The data directory cannot be made: a file stands where it should be.
    m_log.clear();
    PictureDatabase none("/dev/null/data", [this](std::string_view l) { m_log.emplace_back(l); });
    EXPECT_FALSE(none.open());
    EXPECT_EQ(m_log.size(), 1u);
    EXPECT_FALSE(none.add(picture("alt.a", "x.jpg", 1, 1)));
    EXPECT_FALSE(none.findBySha256(digest(1)));
    EXPECT_TRUE(none.complete(1, PictureState::Shown, Sunset, 1, 1, 1, 1).empty());
    EXPECT_TRUE(none.groupPictures("alt.a").empty());
    EXPECT_FALSE(none.replaceAll({}));
}

// A program killed in the middle of recording pictures loses none that were committed, and
// leaves a file that opens without being set aside.
TEST_F(PictureDatabaseTest, SurvivesBeingKilledWhileWriting) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        PictureDatabase db(m_dir.file("data"), [](std::string_view) {});
        if (!db.open()) ::_exit(1);
        for (int i = 0;; ++i) {
            auto id = db.add(picture("alt.a", "p" + std::to_string(i) + ".jpg",
                                     static_cast<std::uint8_t>(i), i));
            if (!id) ::_exit(2);
            db.complete(*id, PictureState::Shown, Sunset + i, 1, 1, 1, 1);
            if (::write(ready[1], "+", 1) != 1) ::_exit(3);  // committed
        }
    }
    ::close(ready[1]);
    int committed = 0;
    char c;
    while (committed < 200 && ::read(ready[0], &c, 1) == 1) ++committed;
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    while (::read(ready[0], &c, 1) == 1) ++committed;  // those committed before the kill
    ::close(ready[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
    ASSERT_EQ(committed >= 200, true);

    PictureDatabase db = database();
    ASSERT_TRUE(db.open());
    EXPECT_TRUE(m_log.empty()) << m_log.front();
    EXPECT_FALSE(fileExists(m_dir.file("data/pictures.db.damaged")));
    const std::vector<StoredPicture> all = db.all();
    EXPECT_GE(all.size(), static_cast<std::size_t>(committed));
    EXPECT_TRUE(std::all_of(all.begin(), all.begin() + committed,
                            [](const StoredPicture& p) { return p.state == PictureState::Shown; }));
}

}  // namespace
}  // namespace qm
