#pragma once
// A streaming connection whose audio is a frame counter, the stand-in sink it
// streams to, and the checks on what arrived.

#include "protocol/ssync.h"
#include "protocol/syslog_vellora.h"
#include "sim/target/sink.h"
#include "sim/target/target_sim.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace vellora_test {

constexpr uint64_t kUs = 1000000ull;
constexpr uint64_t kMs = 1000000000ull;

// Rate family and multiplier bits of a format word.
constexpr uint64_t kRate44k = 1ull << 33;
constexpr uint64_t kRate48k = 1ull << 34;
constexpr uint64_t mult(int log2) { return 1ull << (35 + log2); }

constexpr uint64_t kStereo16At48k = 0x02 | 0x0200 | kRate48k | mult(0);
constexpr uint64_t kEight32At192k = 0x10 | 0x0800 | kRate48k | mult(2);

// Byte j of frame i of the test audio; never 0x00, 0x69, 0x96 or 0xFF, so no
// audio byte reads as silence in any format or phase.
inline uint8_t patternByte(uint64_t i, uint32_t j) {
  uint8_t v = static_cast<uint8_t>((i * 131 + j * 29 + (i >> 8) * 7) % 250 + 1);
  if (v == 0x69 || v == 0x96) v = static_cast<uint8_t>(v + 1);
  return v;
}

inline std::vector<uint8_t> frameCounter(uint64_t frames, uint32_t bytesPerFrame) {
  std::vector<uint8_t> out(frames * bytesPerFrame);
  for (uint64_t i = 0; i < frames; ++i) {
    for (uint32_t j = 0; j < bytesPerFrame; ++j) out[i * bytesPerFrame + j] = patternByte(i, j);
  }
  return out;
}

// Hands out the test audio in blocks; once it is used up, silence until the
// application disconnects, then the end of the audio.
class FrameSource : public VELLORA::SSync {
 public:
  void setAudio(std::vector<uint8_t> bytes, uint32_t blockBytes, uint8_t mute) {
    audio = std::move(bytes);
    block = blockBytes;
    silence.assign(blockBytes, mute);
    position = 0;
  }

  bool getNewStream(VELLORA::Stream& s) override {
    if (position < audio.size()) {
      const uint64_t n = std::min<uint64_t>(block, audio.size() - position);
      s.data = audio.data() + position;
      s.size = n;
      position += n;
      if (blocks.fetch_add(1) + 1 == stallAt) std::this_thread::sleep_for(stallFor);
      return true;
    }
    if (syncState.load() == Disconnecting) return false;
    s.data = silence.data();
    s.size = silence.size();
    return true;
  }

  // Plays from the very first packet the worker builds.
  bool startSyncWorker() override {
    if (playAtStart) playFlag = true;
    return VELLORA::SSync::startSyncWorker();
  }

  bool getNewStreamCmp() override {
    cycles.fetch_add(1);
    return true;
  }

  // All test audio was handed to the worker.
  bool allHandedOut() const { return position >= audio.size(); }

  std::vector<uint8_t> audio;
  std::vector<uint8_t> silence;
  uint32_t block = 0;
  std::atomic<uint64_t> position{0};
  std::atomic<uint64_t> blocks{0};
  std::atomic<uint64_t> cycles{0};
  bool playAtStart = false;
  // The worker is held once, while it takes block `stallAt` (from 1), for
  // `stallFor`: the cycles after it start late. Set before connecting.
  uint64_t stallAt = 0;
  std::chrono::milliseconds stallFor{0};
};

// Waits until pred() holds or the time is up.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

// The received audio is silence, then exactly `expected`, then silence.
// `complete` asks for all of `expected`.
inline ::testing::AssertionResult audioMatches(const std::vector<uint8_t>& got,
                                               const std::vector<uint8_t>& expected,
                                               uint8_t mute, bool complete) {
  size_t start = 0;
  while (start < got.size() && got[start] == mute) ++start;
  if (start == got.size()) {
    if (expected.empty() || !complete) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "only silence arrived (" << got.size() << " bytes)";
  }
  const size_t n = std::min(expected.size(), got.size() - start);
  for (size_t i = 0; i < n; ++i) {
    if (got[start + i] != expected[i]) {
      return ::testing::AssertionFailure()
             << "byte " << i << " of the audio differs: " << int(got[start + i]) << " != "
             << int(expected[i]) << " (audio starts at " << start << ")";
    }
  }
  if (complete && n < expected.size()) {
    return ::testing::AssertionFailure() << "only " << n << " of " << expected.size()
                                         << " audio bytes arrived";
  }
  for (size_t i = start + n; i < got.size(); ++i) {
    if (got[i] != mute) {
      return ::testing::AssertionFailure() << "byte " << i << " after the audio is not silence";
    }
  }
  return ::testing::AssertionSuccess();
}

// A sink on [::1] with the stereo 16-bit and 8-channel 32-bit formats at
// 44.1 and 48 kHz times 1 to 4.
inline vsim::SinkConfig pcmSink() {
  vsim::SinkConfig c;
  c.pcm = 0x02 | 0x10 | 0x0200 | 0x0800 | kRate44k | kRate48k | mult(0) | mult(1) | mult(2);
  return c;
}

// Streaming worker modes for tests: round-robin priority, sleeping waits.
constexpr VELLORA::SSync::THRED_MODE kTestMode = static_cast<VELLORA::SSync::THRED_MODE>(0);

// open + setSink; the caller picks the format and profile.
inline ::testing::AssertionResult openTo(VELLORA::SSync& host, const vsim::Sink& sink,
                                         VELLORA::SSync::THRED_MODE mode = kTestMode,
                                         uint64_t infoCycle = 10 * kMs) {
  if (!host.open(mode, infoCycle, 0, "test host", 77, -1, -1, 0)) {
    return ::testing::AssertionFailure() << "open failed";
  }
  // The handshake waits 10 ms per try; a busy machine may need another go.
  for (int attempt = 0; !host.setSink(sink.address(), 0, false); ++attempt) {
    if (attempt == 4) return ::testing::AssertionFailure() << "setSink failed";
  }
  return ::testing::AssertionSuccess();
}

// connectPrepare + connect + connectWait, expecting Connected.
inline ::testing::AssertionResult connectHost(VELLORA::SSync& host) {
  if (!host.connectPrepare()) return ::testing::AssertionFailure() << "connectPrepare failed";
  if (!host.connect(-1)) return ::testing::AssertionFailure() << "connect failed";
  if (!host.connectWait()) return ::testing::AssertionFailure() << "connectWait failed";
  if (host.syncState.load() != VELLORA::SSync::Connected) {
    return ::testing::AssertionFailure() << "state " << int(host.syncState.load());
  }
  return ::testing::AssertionSuccess();
}

// A host streaming the frame counter to a stand-in sink.
struct StreamRun {
  vsim::TargetSim sim;
  std::unique_ptr<vsim::Sink> sink;
  FrameSource host;

  explicit StreamRun(const vsim::SinkConfig& config = pcmSink()) {
    sink = std::make_unique<vsim::Sink>(sim, vsim::ipv6("::1", 0), config);
  }
  ~StreamRun() { host.close(); }

  // Streams `frames` of the counter in `format` under the profile `setup`
  // chose, then disconnects once everything was handed out and sent.
  enum Until { DISCONNECTED, ALL_ARRIVED, PLAYING };
  template <typename Setup>
  void stream(uint64_t format, uint64_t frames, Setup setup, Until until = DISCONNECTED) {
    VELLORA::FormatConfigure f(format);
    const uint32_t bpf = f.getWid() * f.getChannel();
    ASSERT_TRUE(openTo(host, *sink, mode));
    ASSERT_TRUE(host.setSinkConfigure(format));
    ASSERT_TRUE(setup(host));
    expected = frameCounter(frames, bpf);
    host.setAudio(expected, 480 * bpf, f.getMuteByte());
    ASSERT_TRUE(connectHost(host));
    host.play();
    if (until == PLAYING) return;
    // The prefill comes first, so all audio is in once this much arrived.
    const uint64_t total = expected.size() + bpf;
    ASSERT_TRUE(eventually([&] { return host.allHandedOut(); }, std::chrono::seconds(30)));
    ASSERT_TRUE(sink->waitAudio(total, std::chrono::seconds(30)));
    if (until == ALL_ARRIVED) return;
    host.disconnect();
    EXPECT_EQ(host.syncState.load(), VELLORA::SSync::Idle);
  }

  std::vector<uint8_t> expected;
  VELLORA::SSync::THRED_MODE mode = kTestMode;
};

inline bool var1ms(VELLORA::SSync& h) { return h.configTransferVar(1000 * kUs, 0); }

// A profile of `packets` packets of `bytes` each per cycle, or, with bytes
// 0, of the frames per packet the frame accumulator sizes.
inline VELLORA::Profile cycleProfile(uint64_t cycleUs, uint16_t packets, uint32_t bytes,
                                     uint32_t framesQ14) {
  VELLORA::Profile p;
  p.cycle = cycleUs * kUs;
  p.packetsPerCycle = packets;
  p.fixedPacketBytes = bytes;
  p.maxPacketBytes = bytes ? bytes : 1024;
  p.framesPerPacketQ14 = framesQ14;
  p.mode = bytes ? VELLORA::TRANSFER_VAR : VELLORA::TRANSFER_FIX;
  return p;
}

}  // namespace vellora_test
