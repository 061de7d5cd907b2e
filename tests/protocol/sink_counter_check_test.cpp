// The stand-in sink's checks for long, fast streams: without keeping the
// audio it still counts and checksums it, and it finds silence put into the
// card player's frame counter and samples out of order.
#include "tests/protocol/ssync_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using namespace vellora_test;

// 32-bit little-endian samples holding first, first + 1, ...
void appendCounter(std::vector<uint8_t>& out, uint32_t first, uint32_t count) {
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t v = first + k;
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    out.insert(out.end(), b, b + 4);
  }
}

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

TEST(SinkCounterCheck, FindsSilenceAndDisorderWithOrWithoutKeepingAudio) {
  VELLORA_REQUIRE_PRIVATE_NET();
  constexpr uint32_t kFrameBytes = 32;  // 8 channels of 32 bits
  constexpr uint32_t kSamples = 8 * 4800;
  struct Case {
    const char* what;
    bool keep;
    // The audio: the counter 1 .. kSamples with a change in the middle.
    uint32_t zerosInserted;   // zero samples put in after the first half
    uint32_t samplesSkipped;  // samples left out after the first half
    uint64_t silences;
    uint64_t breaks;
  };
  const Case cases[] = {
      {"the counter as played, kept", true, 0, 0, 0, 0},
      {"the counter as played, not kept", false, 0, 0, 0, 0},
      {"one period of silence inside it", false, 8 * 480, 0, 1, 0},
      {"a frame left out", false, 0, 8, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> audio;
    appendCounter(audio, 1, kSamples / 2);
    audio.insert(audio.end(), size_t{c.zerosInserted} * 4, 0);
    appendCounter(audio, kSamples / 2 + 1 + c.samplesSkipped, kSamples / 2 - c.samplesSkipped);

    vsim::SinkConfig config = pcmSink();
    config.keepAudio = c.keep;
    config.checkCounter = true;
    StreamRun r(config);
    ASSERT_TRUE(openTo(r.host, *r.sink, r.mode));
    ASSERT_TRUE(r.host.setSinkConfigure(kEight32At192k));
    ASSERT_TRUE(var1ms(r.host));
    r.host.setAudio(audio, 480 * kFrameBytes, 0);
    ASSERT_TRUE(connectHost(r.host));
    r.host.play();
    ASSERT_TRUE(eventually([&] { return r.host.allHandedOut(); }, std::chrono::seconds(30)));
    // The prefill's mute comes first, the source's silence after the audio.
    ASSERT_TRUE(r.sink->waitAudio(audio.size() + kFrameBytes, std::chrono::seconds(30)));
    r.host.disconnect();

    const vsim::SinkStats s = r.sink->stats();
    EXPECT_EQ(s.counterSilences, c.silences);
    EXPECT_EQ(s.counterBreaks, c.breaks);
    EXPECT_GE(s.audioBytes, audio.size());
    const std::vector<uint8_t> kept = r.sink->audio();
    if (c.keep) {
      EXPECT_EQ(kept.size(), s.audioBytes);
      EXPECT_EQ(s.checksum, fnv1a(kept));
      EXPECT_FALSE(r.sink->packets().empty());
    } else {
      EXPECT_TRUE(kept.empty());
      EXPECT_TRUE(r.sink->packets().empty());
    }
  }
}

}  // namespace
