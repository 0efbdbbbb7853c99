#include "update/rollout_group.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::string machine(int i)
{
    return "6f1c2a3b-0000-4000-8000-" + std::to_string(100000000000 + i);
}

}  // namespace

TEST(RolloutGroup, IsStablePerVersionSpreadEvenlyAndSaltedByProductAndVersion)
{
    // The same on every check, and what the server's fleet tests compute:
    // the first 8 bytes of SHA-256("p\n7\n<id>"), big-endian, modulo 100.
    EXPECT_EQ(rollout_group("p", 7, machine(1)), rollout_group("p", 7, machine(1)));
    EXPECT_EQ(rollout_group("updates.example.com", 3, "{d1d2}"), 89);

    const int machines = 10000;
    std::vector<int> counts(100);
    int moved_by_version = 0;
    int moved_by_product = 0;
    int first_both_times = 0;
    for (int i = 0; i < machines; ++i) {
        int group = rollout_group("p", 7, machine(i));
        ASSERT_GE(group, 0);
        ASSERT_LT(group, 100);
        ++counts[group];
        moved_by_version += rollout_group("p", 8, machine(i)) != group;
        moved_by_product += rollout_group("q", 7, machine(i)) != group;
        first_both_times += group < 10 && rollout_group("p", 8, machine(i)) < 10;
    }
    // 100 expected in each group: 5 standard deviations either side.
    for (int group = 0; group < 100; ++group) {
        EXPECT_GT(counts[group], 50) << group;
        EXPECT_LT(counts[group], 150) << group;
    }
    // Another release or product draws the groups anew: the first 10 %
    // of one release are mostly not the first of the next.
    EXPECT_GT(moved_by_version, machines * 95 / 100);
    EXPECT_GT(moved_by_product, machines * 95 / 100);
    EXPECT_LT(first_both_times, machines * 2 / 100);
}

TEST(RolloutGroup, AnUnreadIdentityFallsIntoTheFixedGroupWhichIsSentAsAHeaderLine)
{
    EXPECT_EQ(rollout_group("p", 7, ""), fixed_rollout_group);
    EXPECT_EQ(rollout_group("p", 8, ""), fixed_rollout_group);
    EXPECT_EQ(fixed_rollout_group, 99);
    EXPECT_EQ(rollout_group_line(0), "X-Update-Group: 0\r\n");
    EXPECT_EQ(rollout_group_line(42), "X-Update-Group: 42\r\n");
}
