// Ten-second streams that must arrive byte for byte, with and without loss.

#include "tests/protocol/ssync_fixture.h"

namespace {

using namespace vellora_test;
using VELLORA::SSync;

struct LongCase {
  const char* name;
  uint64_t format;
  uint32_t rate;
  uint64_t dropEvery;
  bool dataPort;  // headerless on the data port, else on the control port
};

class SSyncLong : public ::testing::TestWithParam<LongCase> {};

TEST_P(SSyncLong, TenSecondsArriveByteForByte) {
  VELLORA_REQUIRE_PRIVATE_NET();
  const LongCase& c = GetParam();
  vsim::SinkConfig config = pcmSink();
  config.answerSynchroNode = c.dataPort;
  StreamRun r(config);
  r.sink->dropEvery(c.dropEvery);
  r.stream(c.format, uint64_t{c.rate} * 10, var1ms);
  const vsim::SinkStats st = r.sink->stats();
  EXPECT_TRUE(audioMatches(r.sink->audio(), r.expected, 0, true))
      << "packets " << st.packets << " dropped " << st.dropped << " gaps " << st.gaps << " ahead "
      << st.ahead << " duplicates " << st.duplicates << " resend requests " << st.resendRequests;
  if (c.dropEvery) {
    EXPECT_GE(st.dropped, st.packets / c.dropEvery / 2);
    EXPECT_GE(st.resendRequests, st.gaps);
  } else {
    EXPECT_EQ(st.gaps, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SSyncLong,
    // The data port's 7-bit tags cannot place a resend run that comes more
    // than 64 packets late, which a sanitizer build at 5000 packets per
    // second can make happen; the lossy 192 kHz stream uses the control port.
    ::testing::Values(LongCase{"stereo16at48k", kStereo16At48k, 48000, 0, true},
                      LongCase{"stereo16at48kLossy", kStereo16At48k, 48000, 100, true},
                      LongCase{"eight32at192k", kEight32At192k, 192000, 0, true},
                      LongCase{"eight32at192kLossy", kEight32At192k, 192000, 100, false}),
    [](const ::testing::TestParamInfo<LongCase>& info) { return std::string(info.param.name); });

}  // namespace
