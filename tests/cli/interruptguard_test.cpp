// SPDX-License-Identifier: GPL-3.0-or-later
// The stop signals of the long commands: each one is taken as Ctrl-C while a guard lives (the
// process goes on to save its work) and says how the command ends; afterwards the handlers
// that were there before are back.
#include "cli/interruptguard.h"

#include <gtest/gtest.h>

namespace qm::cli {
namespace {

extern "C" void ignoreSignal(int) {}

TEST(InterruptGuard, EveryStopSignalStopsTheWorkInsteadOfTheProcessAndSaysWhichCame) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        struct sigaction before {};
        before.sa_handler = ignoreSignal;
        sigemptyset(&before.sa_mask);
        struct sigaction saved {};
        ASSERT_EQ(::sigaction(signalNumber, &before, &saved), 0);
        {
            InterruptGuard guard;
            EXPECT_FALSE(guard.wait(0));
            EXPECT_FALSE(InterruptGuard::flag());
            ASSERT_EQ(::raise(signalNumber), 0);  // without the guard: the test ends here
            EXPECT_TRUE(guard.wait(1000));
            EXPECT_TRUE(InterruptGuard::flag());
            EXPECT_EQ(InterruptGuard::exitStatus(), 128 + signalNumber);
            // A second signal of another kind does not change how the command ends.
            ASSERT_EQ(::raise(signalNumber == SIGINT ? SIGTERM : SIGINT), 0);
            EXPECT_EQ(InterruptGuard::exitStatus(), 128 + signalNumber);
        }
        struct sigaction after {};
        ::sigaction(signalNumber, nullptr, &after);
        EXPECT_EQ(after.sa_handler, ignoreSignal);
        ::sigaction(signalNumber, &saved, nullptr);
    }
}

}  // namespace
}  // namespace qm::cli
