// SPDX-License-Identifier: GPL-3.0-or-later
// The lock of a folder: one holder at a time, named by its process id; released, the file is
// emptied and free; a file left by a holder that died is simply taken over.
#include "platform/lockfile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/tempdir.h"

namespace qm {
namespace {

TEST(LockFile, OneHolderAtATimeNamedByItsProcessAndAStaleFileIsTakenOver) {
    test::TempDir dir;
    const std::string path = dir.file(".lock");
    const std::string self = std::to_string(::getpid()) + "\n";
    // What a killed holder leaves: its id, and no lock (the kernel dropped it).
    dir.write(".lock", "999999999\n");

    LockFile first;
    ASSERT_EQ(first.acquire(path), LockFile::Status::Held);
    EXPECT_EQ(dir.read(".lock"), self);

    LockFile second;  // another open of the file excludes it, even in one process
    EXPECT_EQ(second.acquire(path), LockFile::Status::InUse);
    EXPECT_EQ(second.holder(), ::getpid());
    EXPECT_FALSE(second.held());

    first.release();
    EXPECT_EQ(dir.read(".lock"), "");
    EXPECT_EQ(second.acquire(path), LockFile::Status::Held);

    LockFile moved = std::move(second);  // the lock goes with the object
    EXPECT_EQ(first.acquire(path), LockFile::Status::InUse);
    moved = LockFile();
    EXPECT_EQ(first.acquire(path), LockFile::Status::Held);

    EXPECT_EQ(LockFile().acquire(dir.file("missing/.lock")), LockFile::Status::Failed);
}

}  // namespace
}  // namespace qm
