#include "protocol/ssync_pacing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace VELLORA;

constexpr uint64_t kUs = 1000000ull;

TEST(SSyncPacing, ResendRingSize) {
  struct Case {
    uint64_t cycle;
    uint16_t packets;
    uint32_t n;
  } cases[] = {
      {1000 * kUs, 3, 4096},   {1000 * kUs, 1, 1024}, {50000 * kUs, 1, 32},
      {1000 * kUs, 2, 2048},   {125 * kUs, 1, 8192},  {2000000 * kUs, 1, 32},
      {2000000 * kUs, 100, 128},  // at least one cycle's packets
      {1 * kUs, 65535, kResendRingMax},  // capped
      {999999, 1, 0},          // below 1 us: no ring
      {0, 1, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(resendRingSize(c.cycle, c.packets), c.n) << c.cycle;
}

TEST(SSyncPacing, LatenessPlan) {
  struct Case {
    bool late, noFast, ms;
    uint16_t resend;
    int32_t score;
    int packets;
    bool extra;
    int32_t newScore;
  } cases[] = {
      {false, false, false, 0, 0, 3, false, 0},
      {false, false, false, 0, 5, 3, false, 4},
      {false, false, true, 2, 5, 6, false, 4},   // MS resends catch up
      {false, false, false, 2, 5, 3, false, 4},
      {true, false, false, 0, 0, 6, true, 10},   // double cycle
      {true, false, false, 0, 995, 6, true, 1005},
      {true, false, false, 0, 1000, 6, true, 1000},
      {true, true, false, 0, 20, 3, false, 30},  // back to back instead
      {true, true, true, 1, 20, 6, false, 30},
  };
  for (const auto& c : cases) {
    const CyclePlan p = planCycle(c.late, c.noFast, c.ms, c.resend, 3, c.score);
    EXPECT_EQ(p.packets, c.packets);
    EXPECT_EQ(p.extraCycle, c.extra);
    EXPECT_EQ(p.lateScore, c.newScore);
  }
}

TEST(SSyncPacing, FrameAccumulatorAlternatesOneAndTwoFrames) {
  int32_t acc = 0;
  std::vector<uint32_t> sizes;
  for (int i = 0; i < 6; ++i) sizes.push_back(nextPacketBytes(0, acc, 16384 * 3 / 2, 4, 1432));
  EXPECT_EQ(sizes, (std::vector<uint32_t>{4, 8, 4, 8, 4, 8}));
  EXPECT_EQ(acc, 0);
}

TEST(SSyncPacing, PacketSizeLimits) {
  int32_t acc = 0;
  // 400 frames of 6 bytes do not fit 1432: cut to 238 whole frames.
  EXPECT_EQ(nextPacketBytes(0, acc, 400 * 16384, 6, 1432), 1428u);
  EXPECT_EQ(acc, 0);
  EXPECT_EQ(nextPacketBytes(196, acc, 0, 4, 1432), 196u);
  // A fixed size beyond the packet limit never grows a packet past it.
  EXPECT_EQ(nextPacketBytes(70000, acc, 0, 32, 65464), 65440u);
  // Huge accumulator input does not wrap.
  acc = 16383;
  EXPECT_EQ(nextPacketBytes(0, acc, 0x7FFFFFFF - 16383, 128, 65464), 65408u);
}

}  // namespace
