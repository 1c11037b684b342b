// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A settings record on a throw-away profile and data folder, with a recording front end and
// no dependence on the machine's browser or free space.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "config/appsettings.h"
#include "config/threadcontext.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "support/recordingfrontend.h"
#include "support/tempdir.h"

namespace qm::test {

class SettingsTest : public ::testing::Test {
  protected:
    SettingsTest() : m_xdg(m_dir), m_profile(profilePath()) {}

    void SetUp() override { fresh(); }
    void TearDown() override { ThreadContext::current() = ThreadContext{}; }

    // A new settings record on the same profile and files, as at the next program start.
    AppSettings& fresh() {
        m_settings.reset();
        m_settings = std::make_unique<AppSettings>(m_frontend, m_profile);
        m_settings->browserLookup = [this] { return m_browser; };
        m_settings->freeSpaceProbe = [this](const std::string&) { return m_freeKB; };
        return *m_settings;
    }

    AppSettings& settings() { return *m_settings; }

    TempDir m_dir;
    ScopedXdgHome m_xdg;
    Profile m_profile;
    RecordingFrontend m_frontend;
    std::string m_browser = "/usr/bin/test-browser";
    std::int64_t m_freeKB = 1024 * 1024 * 1024;  // 1 TB

  private:
    std::unique_ptr<AppSettings> m_settings;
};

}  // namespace qm::test
