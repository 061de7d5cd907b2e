#include "base/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

namespace {

using KALMO::Clock;

constexpr uint64_t kMax = ~uint64_t{0};
constexpr uint64_t kHalf = uint64_t{1} << 63;

TEST(Clock, CompOrdersAcrossTheWrap) {
  struct Case {
    uint64_t a, b;
    int expected;
  } const cases[] = {
      {5, 5, 0},
      {0, 0, 0},
      {2, 1, 1},
      {1, 2, -1},
      {1, kMax, 1},  // 1 is just past the wrap, so later
      {kMax, 1, -1},
      {kHalf, 0, -1},  // exactly 2^63 apart: the smaller count is later
      {0, kHalf, 1},
      {kHalf - 1, 0, 1},
      {0, kHalf - 1, -1},
      {kHalf + 1, 1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Clock(c.a).Comp(Clock(c.b)), c.expected) << c.a << " vs " << c.b;
  }
}

TEST(Clock, ElapsedAcrossTheWrapIsTheSmallTrueDifference) {
  const Clock start(kMax - 499);  // 500 ps before the wrap
  const Clock later(1500);        // 1500 ps after it
  const Clock elapsed = later - start;
  EXPECT_EQ(elapsed.get(), 2000u);
  EXPECT_EQ(later.Comp(start), 1);
  EXPECT_EQ(elapsed.Comp(Clock(1999)), 1);
  EXPECT_EQ(elapsed.Comp(Clock(2001)), -1);
  // A deadline past the wrap is still ahead of the start.
  const Clock deadline = start + Clock(1000);
  EXPECT_EQ(deadline.Comp(start), 1);
}

TEST(Clock, ConversionOfAReadingNeverGivesZero) {
  EXPECT_EQ(Clock::fromTime(0, 0), 1u);
  EXPECT_EQ(Clock::fromTime(1, 0), 1'000'000'000'000u);
  EXPECT_EQ(Clock::fromTime(2, 3), 2'000'000'003'000u);
  // 2^64 ps is 18446744 s + 73709551.616 ns; wrapping lands on the count.
  EXPECT_EQ(Clock::fromTime(18446744, 73709552), 384u);
}

TEST(Clock, NowFollowsTheMonotonicClock) {
  timespec before{};
  ::clock_gettime(CLOCK_MONOTONIC, &before);
  Clock t;
  Clock& same = t.now();
  EXPECT_EQ(&same, &t);
  timespec after{};
  ::clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_NE(t.get(), 0u);
  const Clock lo = Clock::fromTime(before.tv_sec, before.tv_nsec);
  const Clock hi = Clock::fromTime(after.tv_sec, after.tv_nsec);
  EXPECT_NE(t.Comp(lo), -1);
  EXPECT_NE(t.Comp(hi), 1);
  Clock u;
  u.now();
  EXPECT_NE(u.Comp(t), -1);
}

TEST(Clock, RemainingOfAWindowNeverUnderflows) {
  Clock start;
  start.now();
  const uint64_t hour = 3'600'000'000'000'000ULL;
  const uint64_t left = Clock::remaining(start, hour);
  EXPECT_GT(left, 0u);
  EXPECT_LE(left, hour);
  // A window that ended long ago, and one of no length, have nothing left.
  EXPECT_EQ(Clock::remaining(Clock(start.get() - hour), 1'000'000), 0u);
  EXPECT_EQ(Clock::remaining(start, 0), 0u);
}

}  // namespace
