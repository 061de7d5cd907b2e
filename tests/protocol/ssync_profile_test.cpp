// The automatic profile choice as a connection keeps it: a choice that gave
// up leaves entries no stream starts from, and the connection refuses.
#include "tests/host/log_capture.h"
#include "tests/protocol/ssync_fixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace vellora_test;
using VELLORA::SSync;

TEST(SSyncProfile, AnAutomaticChoiceThatGaveUpIsNotStreamed) {
  const struct {
    const char* what;
    uint64_t format;
    uint16_t mtu, max;
  } cases[] = {
      {"stereo 16-bit 48 kHz, mtu 72", kStereo16At48k, 72, 100},
      {"8 channels 32-bit 192 kHz, mtu 296", kEight32At192k, 296, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SSync host;
    host.wireFormat = c.format;
    host.setPackSize(c.mtu, c.max);
    // The sink's PARAMETER answer: one cycle of 10 us, no profile flags.
    ASSERT_TRUE(host.profileMaker.setParameter(1, 1, 0, 4, 4));
    host.configTransferAuto(400 * kUs, 0, 1000 * kUs);
    ASSERT_EQ(host.profileCount, 2);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(host.profiles[i].packetsPerCycle, 0) << i;
      EXPECT_EQ(host.profiles[i].cycle, 0u) << i;
    }
    host_test::LogCapture log;
    EXPECT_FALSE(host.connect(-1));
    EXPECT_EQ(log.count("profile invalid"), 1u);
    EXPECT_FALSE(host.workerThread.joinable());
    EXPECT_EQ(host.syncState.load(), SSync::Idle);
  }
}

// The stream buffer is sized for the longest cycle the worker may step to
// when it falls behind: only the streamable entries that follow the first
// without a gap count, as in the worker.
TEST(SSyncProfile, TheLongestCycleIsThatOfTheEntriesTheWorkerMayUse) {
  auto entry = [](uint64_t cycleUs, uint16_t packets) {
    VELLORA::Profile p;
    p.cycle = cycleUs * kUs;
    p.packetsPerCycle = packets;
    return p;
  };
  const struct {
    const char* what;
    std::vector<VELLORA::Profile> entries;
    int32_t usable;
    uint64_t longestUs;
  } cases[] = {
      {"one entry", {entry(1000, 4)}, 1, 1000},
      {"a longer second entry", {entry(1000, 4), entry(100000, 8)}, 2, 100000},
      {"a shorter second entry", {entry(5000, 4), entry(2000, 8)}, 2, 5000},
      {"an unstreamable second entry", {entry(1000, 4), entry(100000, 0)}, 1, 1000},
      {"a gap before a longer entry", {entry(1000, 4), entry(0, 0), entry(100000, 8)}, 1, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SSync host;
    for (size_t i = 0; i < c.entries.size(); ++i) host.profiles[i] = c.entries[i];
    host.profileCount = static_cast<int32_t>(c.entries.size());
    EXPECT_EQ(host.usableProfileCount(), c.usable);
    EXPECT_EQ(host.getLongestCycleTime().get(), c.longestUs * kUs);
  }
}

}  // namespace
