// The automatic profile choice as a connection keeps it: a choice that gave
// up leaves entries no stream starts from, and the connection refuses.
#include "tests/host/log_capture.h"
#include "tests/protocol/ssync_fixture.h"

#include <gtest/gtest.h>

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

}  // namespace
