// The pace a body must keep, as pure logic over times and byte totals.
#include <gtest/gtest.h>

#include <cstdint>

#include "net/rate_floor.h"

namespace {

const std::uint64_t start = 5000000;

std::uint64_t at(double seconds)
{
    return start + static_cast<std::uint64_t>(seconds * 1000 + 0.5);
}

TEST(RateFloor, ATrickleFailsAtTheFirstReadOnceAWholeWindowHasPassed)
{
    // One byte every 20 s, as a server that never trips a per-read bound.
    RateFloor pace(start);
    EXPECT_TRUE(pace.keeps_up(at(20), 1));
    EXPECT_TRUE(pace.keeps_up(at(40), 2));
    EXPECT_TRUE(pace.keeps_up(at(59.999), 3));
    EXPECT_FALSE(pace.keeps_up(at(60), 3));

    // Nothing at all until just before the window ends, then a rush: the
    // first window already holds the floor.
    RateFloor late_start(start);
    EXPECT_TRUE(late_start.keeps_up(at(59), rate_floor_bytes));
    EXPECT_TRUE(late_start.keeps_up(at(75), rate_floor_bytes));
}

TEST(RateFloor, ExactlyTheFloorKeepsUpAndOneByteLessPerSecondDoesNot)
{
    RateFloor steady(start);
    RateFloor short_of_it(start);
    bool steady_kept = true;
    bool short_kept = true;
    for (int second = 1; second <= 300; ++second) {
        steady_kept = steady_kept && steady.keeps_up(at(second), 1024u * second);
        short_kept = short_kept && short_of_it.keeps_up(at(second), 1023u * second);
    }
    EXPECT_TRUE(steady_kept);
    EXPECT_FALSE(short_kept);
}

TEST(RateFloor, EveryWindowCountsNotTheAverageSinceTheStart)
{
    // A fast first minute, then a stall that a per-read bound would not
    // catch: the average since the start stays far above the floor.
    RateFloor pace(start);
    for (int second = 1; second <= 60; ++second)
        ASSERT_TRUE(pace.keeps_up(at(second), 100u * 1024 * second));
    const std::uint64_t total = 100u * 1024 * 60;
    EXPECT_TRUE(pace.keeps_up(at(89), total + 1));
    EXPECT_TRUE(pace.keeps_up(at(118), total + 2));
    // The window (60 s, 120 s] brought 2 bytes.
    EXPECT_FALSE(pace.keeps_up(at(120), total + 3));
}

TEST(RateFloor, ManyReadsAMillisecondApartAreCountedInTheirWindow)
{
    // Thousands of reads a second in a burst each minute: every window holds
    // exactly the floor, until one holds only the end of a burst.
    RateFloor pace(start);
    const int reads = 6144;
    ASSERT_EQ(reads * 10u, rate_floor_bytes);
    std::uint64_t received = 0;
    bool kept = true;
    for (int minute = 0; minute < 3; ++minute)
        for (int read = 0; read < reads; ++read) {
            received += 10;
            kept = kept && pace.keeps_up(start + minute * 60000u + 1000u + read, received);
        }
    EXPECT_TRUE(kept);
    EXPECT_TRUE(pace.keeps_up(at(180.5), received));
    EXPECT_FALSE(pace.keeps_up(at(187), received));
}

}  // namespace
