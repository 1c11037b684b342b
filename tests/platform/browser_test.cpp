// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/browser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/tempdir.h"

namespace qm {
namespace {

TEST(Browser, TheExecLineGivesItsProgram) {
    struct Case {
        const char* entry;
        const char* program;
    };
    const Case cases[] = {
        {"[Desktop Entry]\nName=Web\nExec=firefox-esr %u\n", "firefox-esr"},
        {"[Desktop Entry]\r\nExec=\"/opt/My Browser/run\" --new %U\r\n", "/opt/My Browser/run"},
        {"[Desktop Action new]\nExec=wrong\n[Desktop Entry]\nExec=right\n", "right"},
        {"[Desktop Entry]\nExec=%u\n", ""},
        {"[Desktop Entry]\nName=no exec\n", ""},
        {"Exec=outside-any-group\n", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(execProgram(c.entry), c.program) << c.entry;
}

TEST(Browser, DesktopFilesAreFoundInTheFirstFolderThatHasThem) {
    test::TempDir dir;
    dir.write("b/applications/web.desktop", "x");
    dir.write("a/applications/other.desktop", "x");
    std::vector<std::string> dirs = {dir.file("a/applications"), dir.file("b/applications")};
    EXPECT_EQ(findDesktopFile("web.desktop", dirs), dir.file("b/applications/web.desktop"));
    EXPECT_EQ(findDesktopFile("missing.desktop", dirs), "");
    EXPECT_EQ(findDesktopFile("../applications/web.desktop", dirs), "");
    EXPECT_EQ(findDesktopFile("", dirs), "");
}

TEST(Browser, ProgramsResolveThroughPathToAnExecutable) {
    test::TempDir dir;
    std::string tool = dir.write("bin2/web", "#!/bin/sh\n");
    chmod(tool.c_str(), 0755);
    dir.write("bin1/web", "not executable");
    std::string path = "relative:" + dir.file("bin1") + ":" + dir.file("bin2");
    EXPECT_EQ(resolveProgram("web", path), tool);
    EXPECT_EQ(resolveProgram(tool, ""), tool);
    EXPECT_EQ(resolveProgram("nothere", path), "");
    EXPECT_EQ(resolveProgram("", path), "");
    EXPECT_EQ(resolveProgram(dir.file("bin1/web"), path), "");
}

}  // namespace
}  // namespace qm
