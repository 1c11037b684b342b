// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/grouptable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

TEST(GroupTable, NamesWithEqualHashesAreBothKeptAndFound) {
    GroupEntry ab("ab"), ba("ba");
    ASSERT_EQ(ab.hash(), 196u);
    ASSERT_EQ(ba.hash(), 196u);
    GroupTable t;
    EXPECT_TRUE(t.add(ab));
    EXPECT_TRUE(t.add(ba));
    EXPECT_EQ(t.find("ab"), &ab);
    EXPECT_EQ(t.find("ba"), &ba);
    EXPECT_EQ(t.find("AB"), nullptr) << "names are case-sensitive";
    EXPECT_TRUE(t.remove("ab"));
    EXPECT_EQ(t.find("ab"), nullptr);
    EXPECT_EQ(t.find("ba"), &ba);
}

}  // namespace
}  // namespace qm
