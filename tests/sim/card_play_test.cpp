#include "sim/card_play/card_play.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/period_copy.h"
#include "sim/driver/sim_dir.h"
#include "sim/driver/sim_driver.h"

namespace {

using vsim::CardPlay;
using vsim::CardPlayOptions;

constexpr uint32_t RING = 32 * 7680;

// The daemon's side, cut down to what the player relies on: a card with an
// offer, a connect when the substream is prepared, and a reader that takes
// periods while the card runs. The simple reader waits for data, so these
// tests see the player's pacing, not underruns.
class FakeDaemon {
 public:
  FakeDaemon(const std::string& dir, uint64_t formats, uint64_t rates, uint64_t channels,
             bool delayLine = false)
      : driver_(dir), delayLine_(delayLine) {
    control_ = driver_.openControl();
    card_ = driver_.openCard(static_cast<int>(driver_.create(control_, RING)));
    base_ = driver_.map(card_, RING + SYNC_MEM_CONTROL_SIZE);
    block_ = reinterpret_cast<SyncMemControl*>(base_ + RING);
    block_->formatMask = formats;
    block_->rateMask = rates;
    block_->channelMask = channels;
    block_->periodMin = 4;
    block_->periodMax = 32;
    block_->periodSizeMin = 6;
    block_->periodSizeMax = 7680;
    copy_.attach(base_, RING, block_);
    cardStore(block_->hostStatus, HOST_STATUS_READY, std::memory_order_release);
    driver_.wakeup(card_, 0);
    driver_.attach(card_, 0);
  }
  ~FakeDaemon() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    driver_.unmap(base_, RING + SYNC_MEM_CONTROL_SIZE);
    driver_.close(card_);
    driver_.close(control_);
  }
  void startReader() {
    thread_ = std::thread([this] { loop(); });
  }
  std::vector<uint8_t> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  SyncMemControl& block() { return *block_; }
  // What the reader took, once it holds n bytes or after 10 s.
  std::vector<uint8_t> receivedAtLeast(std::size_t n) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<uint8_t> got = received();
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      got = received();
    }
    return got;
  }

 private:
  void loop() {
    bool connected = false;
    while (!stop_) {
      const uint32_t mem = cardLoad(block_->memStatus, std::memory_order_acquire);
      if (!connected && (mem & MEM_STATUS_PREPARED)) {
        copy_.reset(cardLoad(block_->bufferBytes), cardLoad(block_->periodCount));
        cardStore(block_->hostStatus, HOST_STATUS_READY | HOST_STATUS_CONNECTED,
                  std::memory_order_release);
        connected = true;
      }
      const bool unread = cardLoad(block_->writeTotal, std::memory_order_acquire) != taken_;
      if (connected && (mem & MEM_STATUS_RUNNING) && (delayLine_ || unread)) {
        VELLORA::Stream out;
        if (copy_.fill(out, delayLine_, 0)) {
          taken_ = static_cast<uint32_t>(taken_ + out.size);
          std::lock_guard<std::mutex> lock(mutex_);
          received_.insert(received_.end(), out.data, out.data + out.size);
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }

  vsim::SimDriver driver_;
  bool delayLine_;
  int control_ = -1, card_ = -1;
  uint8_t* base_ = nullptr;
  SyncMemControl* block_ = nullptr;
  PeriodCopy copy_;
  uint32_t taken_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<uint8_t> received_;
};

TEST(CardPlayPattern, SamplesCountUp) {
  EXPECT_EQ(CardPlay::pattern(0, 12, 3),
            (std::vector<uint8_t>{1, 0, 0, 2, 0, 0, 3, 0, 0, 4, 0, 0}));
  EXPECT_EQ(CardPlay::pattern(4, 4, 2), (std::vector<uint8_t>{3, 0, 4, 0}));
  const std::vector<uint8_t> wide = CardPlay::pattern(255 * 2, 4, 2);
  EXPECT_EQ(wide, (std::vector<uint8_t>{0, 1, 1, 1}));
}

TEST(CardPlayChoice, WithinTheOffer) {
  const struct {
    const char* name;
    uint64_t formats, rates, channels;
    CardPlayOptions told;
    uint64_t format, rate, channelBits;
    uint32_t periods, buffer;
  } cases[] = {
      {"16-bit stereo 48k preferred", 0x2 | 0x8, 0x2 | 0x4, 0x1 | 0x2, {}, 0x2, 0x4, 0x2, 4, 7680},
      {"24-bit at 44.1k", 0x8 | 0x80, 0x2 | 0x8, 0x2, {}, 0x8, 0x2, 0x2, 4, 4 * 2646},
      {"period capped at the limit", 0x80, 0x40, 0x80, {}, 0x80, 0x40, 0x80, 4, 4 * 7680},
      {"DSD words", 0x0F000000, 0x8, 0x2, {}, 0x01000000, 0x8, 0x2, 4, 4 * 7056},
      {"told values are used as told", 0x2, 0x4, 0x2,
       [] { CardPlayOptions o; o.format = 0x3; o.rate = 0x9; o.channels = 0x4; o.bufferBytes = 9000; o.periodCount = 3; return o; }(),
       0x3, 0x9, 0x4, 3, 9000},
  };
  for (const auto& c : cases) {
    vsim::SimDirectory dir;
    FakeDaemon daemon(dir.path(), c.formats, c.rates, c.channels);
    CardPlayOptions o = c.told;
    o.dir = dir.path();
    o.bytes = 1;
    o.timeoutMs = 2000;
    CardPlay player(o);
    ASSERT_TRUE(player.open()) << c.name;
    player.choose();
    EXPECT_EQ(player.options().format, c.format) << c.name;
    EXPECT_EQ(player.options().rate, c.rate) << c.name;
    EXPECT_EQ(player.options().channels, c.channelBits) << c.name;
    EXPECT_EQ(player.options().periodCount, c.periods) << c.name;
    EXPECT_EQ(player.options().bufferBytes, c.buffer) << c.name;
  }
}

// The reader moves through the whole stream: every byte arrives once, in
// order, through a ring much shorter than the stream.
//
// The player sees the reader only through its position in the ring, so a
// reader that took a whole buffer between two of its looks would seem not
// to have moved. This reader takes a period every 300 us, far faster than a
// stream does; 32 periods keep a player that the loaded machine holds up
// for a few milliseconds out of that case.
TEST(CardPlayPacing, EveryByteArrivesOnceInOrder) {
  for (bool prefill : {true, false}) {
    vsim::SimDirectory dir;
    FakeDaemon daemon(dir.path(), 0x2, 0x4, 0x2);
    daemon.startReader();
    CardPlayOptions o;
    o.dir = dir.path();
    o.bytes = 80 * 1920 + 640;  // ends in a partial period
    o.periodCount = 32;
    o.prefill = prefill;
    o.timeoutMs = 5000;
    CardPlay player(o);
    ASSERT_TRUE(player.open());
    ASSERT_TRUE(player.choose());
    ASSERT_EQ(player.prepare(), 7u);
    if (prefill) player.prefillBuffer();
    player.start();
    player.playAll();
    ASSERT_EQ(player.remaining(), 0u);
    ASSERT_TRUE(player.drain());
    player.stop(); player.unprepare(); player.close();
    EXPECT_EQ(player.written(), o.bytes);
    const std::vector<uint8_t> expected = CardPlay::pattern(0, o.bytes, 2);
    EXPECT_EQ(player.checksum(), CardPlay::fnv1a(expected.data(), expected.size()));
    // The reader may still be on its way with the last period.
    const std::vector<uint8_t> got = daemon.receivedAtLeast(expected.size());
    ASSERT_GE(got.size(), expected.size()) << prefill;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin())) << prefill;
  }
}

TEST(CardPlayPacing, DelayLineReaderGetsThePrefilledStreamOnce) {
  vsim::SimDirectory dir;
  FakeDaemon daemon(dir.path(), 0x2, 0x4, 0x2, true);
  daemon.startReader();
  CardPlayOptions o;
  o.dir = dir.path();
  o.bytes = 60 * 1920;
  o.timeoutMs = 5000;
  CardPlay player(o);
  ASSERT_TRUE(player.run());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<uint8_t> got = daemon.received();
  std::size_t lead = 0;
  while (lead < got.size() && got[lead] == 0) ++lead;
  got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(lead));
  // The last write stays in the delay line: everything before it arrives.
  const std::vector<uint8_t> expected = CardPlay::pattern(0, o.bytes - 1920, 2);
  ASSERT_GE(got.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
}

TEST(CardPlayPacing, NoDaemonNoConnect) {
  vsim::SimDirectory dir;
  FakeDaemon daemon(dir.path(), 0x2, 0x4, 0x2);  // attached, but no reader
  CardPlayOptions o;
  o.dir = dir.path();
  o.bytes = 1920;
  o.timeoutMs = 100;
  CardPlay player(o);
  ASSERT_TRUE(player.open());
  ASSERT_TRUE(player.choose());
  EXPECT_EQ(player.prepare(), 0u);
  // A card number that does not exist is not found.
  CardPlayOptions other = o;
  other.card = 7;
  CardPlay missing(other);
  EXPECT_FALSE(missing.open());
}

void writeWav(const std::string& path, uint16_t kind, uint16_t channels, uint32_t rate,
              uint16_t bits, const std::vector<uint8_t>& data, bool dataFirst = false) {
  auto le16 = [](std::string& s, uint16_t v) { s.push_back(char(v & 0xFF)); s.push_back(char(v >> 8)); };
  auto le32 = [&](std::string& s, uint32_t v) { le16(s, uint16_t(v & 0xFFFF)); le16(s, uint16_t(v >> 16)); };
  std::string fmt = "fmt ";
  le32(fmt, 16);
  le16(fmt, kind);
  le16(fmt, channels);
  le32(fmt, rate);
  le32(fmt, rate * channels * bits / 8);
  le16(fmt, uint16_t(channels * bits / 8));
  le16(fmt, bits);
  std::string body = "data";
  le32(body, static_cast<uint32_t>(data.size()));
  body.append(data.begin(), data.end());
  std::string extra = "LIST";
  le32(extra, 3);
  extra += "abc";
  extra.push_back(0);  // pad byte of an odd chunk
  std::string all = "WAVE" + extra + (dataFirst ? body + fmt : fmt + body);
  std::string file = "RIFF";
  le32(file, static_cast<uint32_t>(all.size()));
  file += all;
  std::ofstream(path, std::ios::binary) << file;
}

TEST(CardPlayFiles, WavChoosesItsFormatAndPlaysItsData) {
  vsim::SimDirectory dir;
  FakeDaemon daemon(dir.path(), 0x2 | 0x8, 0x2 | 0x4, 0x2);
  daemon.startReader();
  std::vector<uint8_t> data(44100 / 10 * 4);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
  const std::string path = dir.path() + "/tone.wav";
  writeWav(path, 1, 2, 44100, 16, data);

  CardPlayOptions o;
  o.dir = dir.path();
  o.source = CardPlayOptions::Source::Wav;
  o.file = path;
  o.timeoutMs = 5000;
  o.periodCount = 32;  // see EveryByteArrivesOnceInOrder
  CardPlay player(o);
  ASSERT_TRUE(player.run());
  EXPECT_EQ(player.options().format, 0x2u);
  EXPECT_EQ(player.options().rate, 0x2u);
  EXPECT_EQ(player.options().channels, 0x2u);
  EXPECT_EQ(player.written(), data.size());
  EXPECT_EQ(player.checksum(), CardPlay::fnv1a(data.data(), data.size()));
}

TEST(CardPlayFiles, BrokenWavHeadersAreRefused) {
  vsim::SimDirectory dir;
  FakeDaemon daemon(dir.path(), 0x2, 0x4, 0x2);
  const std::string path = dir.path() + "/bad.wav";
  const struct {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"data before fmt", [&] { writeWav(path, 1, 2, 48000, 16, {1, 2, 3, 4}, true); }},
      {"unknown sample kind", [&] { writeWav(path, 7, 2, 48000, 16, {1, 2, 3, 4}); }},
      {"rate not in the table", [&] { writeWav(path, 1, 2, 22050, 16, {1, 2, 3, 4}); }},
      {"no channels", [&] { writeWav(path, 1, 0, 48000, 16, {1, 2, 3, 4}); }},
      {"truncated", [&] { std::ofstream(path, std::ios::binary) << "RIFF\x10\0\0\0WAVEfmt "; }},
      {"not a WAV", [&] { std::ofstream(path, std::ios::binary) << "hello"; }},
      {"missing", [&] { std::remove(path.c_str()); }},
  };
  for (const auto& c : cases) {
    c.make();
    CardPlayOptions o;
    o.dir = dir.path();
    o.source = CardPlayOptions::Source::Wav;
    o.file = path;
    o.timeoutMs = 1000;
    CardPlay player(o);
    ASSERT_TRUE(player.open()) << c.name;
    EXPECT_FALSE(player.choose()) << c.name;
  }
}

}  // namespace
