// SPDX-License-Identifier: GPL-3.0-or-later
#include "nntp/readingposition.h"

#include <gtest/gtest.h>

#include "config/appsettings.h"
#include "model/groupentry.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm {
namespace {

class ReadingPosition : public ::testing::Test {
  protected:
    ReadingPosition() : m_xdg(m_dir), m_profile(profilePath()), m_settings(m_frontend, m_profile) {
        m_settings.dataDirectory = m_dir.file("data");
        EXPECT_EQ(makeDirectories(groupDirectory(m_settings, m_group)), 0);
    }

    test::TempDir m_dir;
    test::ScopedXdgHome m_xdg;
    Profile m_profile;
    test::RecordingFrontend m_frontend;
    AppSettings m_settings;
    GroupEntry m_group{"alt.pics"};
};

TEST_F(ReadingPosition, TheReadingPositionRoundTripsIn64Bits) {
    m_group.ensureStats().current = 5'000'000'123LL;
    writeLastFile(m_settings, m_group);
    EXPECT_EQ(m_dir.read("data/alt.pics/Last"), "5000000123");
    m_group.stats()->current = -1;
    readLastFile(m_settings, m_group);
    EXPECT_EQ(m_group.stats()->current.load(), 5'000'000'123LL);
}

TEST_F(ReadingPosition, ALastFileWithoutANumberLeavesThePosition) {
    for (const char* content : {"abc", "", "-", "\xff\xfe"}) {
        m_dir.write("data/alt.pics/Last", content);
        m_group.ensureStats().current = 42;
        readLastFile(m_settings, m_group);
        EXPECT_EQ(m_group.stats()->current.load(), 42) << content;
    }
    m_dir.write("data/alt.pics/Last", " 77\n");
    readLastFile(m_settings, m_group);
    EXPECT_EQ(m_group.stats()->current.load(), 77);
}

}  // namespace
}  // namespace qm
