#include "host/period_copy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/driver/sim_card.h"

namespace {

using Card = vsim::MemoryCard;

// A card and the copy that reads it, as a connect leaves them.
struct Reader {
  Reader(uint32_t bufferBytes, uint32_t periodCount, bool running = true) : card(bufferBytes) {
    card.geometry(bufferBytes, periodCount);
    card.run(running);
    copy.attach(card.ring, card.ringBytes, card.block);
    copy.reset(bufferBytes, periodCount);
  }
  Card card;
  PeriodCopy copy;
};

// Stream bytes that never look like silence and never repeat within a test.
uint8_t patternByte(uint64_t i) {
  const uint64_t word = i / 4;
  switch (i % 4) {
    case 0: return static_cast<uint8_t>(1 + word % 251);
    case 1: return static_cast<uint8_t>(1 + (word / 251) % 251);
    case 2: return 0x11;
    default: return 0x22;
  }
}

std::vector<uint8_t> pattern(uint64_t from, uint64_t n) {
  std::vector<uint8_t> v(n);
  for (uint64_t i = 0; i < n; ++i) v[i] = patternByte(from + i);
  return v;
}

std::vector<uint8_t> bytesOf(const VELLORA::Stream& s) {
  return std::vector<uint8_t>(s.data, s.data + s.size);
}

struct PositionCase {
  uint32_t bufferBytes, periodCount;
  std::vector<uint32_t> sizes, positions;
};

TEST(PeriodCopySimple, ReadPositionRunsThroughTheBuffer) {
  const PositionCase cases[] = {
      {9600, 4, {2400, 2400, 2400, 2400, 2400}, {2400, 4800, 7200, 0, 2400}},
      {10000, 3, {3333, 3333, 3333, 1, 3333}, {3333, 6666, 9999, 0, 3333}},
  };
  for (const PositionCase& c : cases) {
    Reader reader(c.bufferBytes, c.periodCount);
    Card& card = reader.card;
    PeriodCopy& copy = reader.copy;
    // A writer a buffer ahead, refilling what each block frees.
    uint64_t written = c.bufferBytes;
    ASSERT_TRUE(card.write(pattern(0, c.bufferBytes)));
    uint32_t at = 0;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      VELLORA::Stream out;
      ASSERT_TRUE(copy.fill(out, false, 0));
      ASSERT_EQ(out.size, c.sizes[i]) << c.bufferBytes << " call " << i;
      EXPECT_EQ(std::memcmp(out.data, card.ring + at, out.size), 0);
      EXPECT_EQ(copy.readPos, c.positions[i]);
      EXPECT_EQ(card.block->readPos, c.positions[i]);
      at = c.positions[i];
      ASSERT_TRUE(card.write(pattern(written, out.size)));
      written += out.size;
    }
  }
}

TEST(PeriodCopySimple, NotRunningSkipsWithoutMoving) {
  Reader reader(9600, 4, false);
  PeriodCopy& copy = reader.copy;
  VELLORA::Stream out;
  out.resize(100, 1);
  for (bool delayLine : {false, true}) {
    EXPECT_FALSE(copy.fill(out, delayLine, 0));
    EXPECT_EQ(out.size, 0u);
    EXPECT_EQ(copy.readPos, 0u);
  }
  EXPECT_EQ(copy.stats().skipped, 2u);
}

TEST(PeriodCopySimple, UnderrunWarnsOnceAndStillCopies) {
  Reader reader(9600, 4);
  Card& card = reader.card;
  PeriodCopy& copy = reader.copy;
  ASSERT_TRUE(card.write(pattern(0, 2400)));

  VELLORA::Stream out;
  ASSERT_TRUE(copy.fill(out, false, 0));  // reaches the writer: armed
  EXPECT_TRUE(copy.underrunArmed);
  EXPECT_EQ(copy.stats().underruns, 0u);
  ASSERT_TRUE(copy.fill(out, false, 0));  // writer did not move: 0 of 2400 available
  EXPECT_EQ(copy.stats().underruns, 1u);
  EXPECT_EQ(bytesOf(out), std::vector<uint8_t>(2400, 0))
      << "the block keeps its size, and what the writer did not write goes out muted";
  EXPECT_EQ(copy.readPos, 4800u);
  ASSERT_TRUE(copy.fill(out, false, 0));
  EXPECT_EQ(copy.stats().underruns, 1u);

  // A write in between disarms the check.
  Reader reader2(9600, 4);
  Card& card2 = reader2.card;
  PeriodCopy& copy2 = reader2.copy;
  ASSERT_TRUE(card2.write(pattern(0, 2400)));
  ASSERT_TRUE(copy2.fill(out, false, 0));
  ASSERT_TRUE(card2.write(pattern(2400, 2400)));
  ASSERT_TRUE(copy2.fill(out, false, 0));
  EXPECT_EQ(copy2.stats().underruns, 0u);
  EXPECT_EQ(bytesOf(out), pattern(2400, 2400));
}

TEST(PeriodCopySimple, IllegalReadPositionInTheCheckGivesAnEmptyBlock) {
  Reader reader(9600, 4);
  Card& card = reader.card;
  PeriodCopy& copy = reader.copy;
  ASSERT_TRUE(card.write(pattern(0, 2400)));
  VELLORA::Stream out;
  ASSERT_TRUE(copy.fill(out, false, 0));
  ASSERT_TRUE(copy.underrunArmed);
  card.block->readPos = 50000;  // scribbled by the other side
  EXPECT_FALSE(copy.fill(out, false, 0));
  EXPECT_EQ(out.size, 0u);
  EXPECT_EQ(copy.readPos, 2400u);
  EXPECT_TRUE(copy.underrunArmed) << "the check runs again at the next call";
}

// Geometries the driver could write after the connect; none may lead to a
// read outside the ring or a division by zero.
TEST(PeriodCopy, HostileGeometryGivesEmptyBlocks) {
  const struct {
    const char* name;
    uint32_t bufferBytes, periodCount;
  } cases[] = {
      {"buffer 0", 0, 4},          {"buffer past the ring", 9608, 4},
      {"huge buffer", 0xFFFFFFFF, 4}, {"no periods", 9600, 0},
      {"periods of 0 bytes", 9600, 9601}, {"changed but inside", 4800, 4},
      {"changed period count", 9600, 2},
  };
  for (const auto& c : cases) {
    for (bool delayLine : {false, true}) {
      Reader reader(9600, 4);
      Card& card = reader.card;
      PeriodCopy& copy = reader.copy;
      ASSERT_TRUE(card.write(pattern(0, 2400)));
      VELLORA::Stream out;
      ASSERT_TRUE(copy.fill(out, delayLine, 0));
      card.geometry(c.bufferBytes, c.periodCount);
      const uint64_t before = copy.readPos;
      EXPECT_FALSE(copy.fill(out, delayLine, 0)) << c.name;
      EXPECT_EQ(out.size, 0u) << c.name;
      EXPECT_EQ(copy.readPos, before) << c.name;
      EXPECT_EQ(copy.stats().refused, 1u) << c.name;
    }
  }
  EXPECT_FALSE(PeriodCopy::usableGeometry(0, 1, 100));
  EXPECT_FALSE(PeriodCopy::usableGeometry(101, 1, 100));
  EXPECT_FALSE(PeriodCopy::usableGeometry(100, 0, 100));
  EXPECT_FALSE(PeriodCopy::usableGeometry(3, 4, 100));
  EXPECT_TRUE(PeriodCopy::usableGeometry(100, 100, 100));
}

class DelayLine : public ::testing::Test {
 protected:
  DelayLine() : reader(9600, 4), card(reader.card), copy(reader.copy) {}
  VELLORA::Stream next() {
    VELLORA::Stream out;
    EXPECT_TRUE(copy.fill(out, true, mute));
    return out;
  }
  Reader reader;
  Card& card;
  PeriodCopy& copy;
  uint8_t mute = 0x69;
};

TEST_F(DelayLine, SilenceUntilTheFirstWriteLeavesTheLine) {
  for (int i = 0; i < 3; ++i) {
    const VELLORA::Stream out = next();
    EXPECT_EQ(bytesOf(out), std::vector<uint8_t>(2400, mute));
  }
  EXPECT_EQ(copy.readPos, 7200u) << "the read position paces one period per block";

  ASSERT_TRUE(card.write(pattern(0, 2400)));
  EXPECT_EQ(bytesOf(next()), std::vector<uint8_t>(2400, mute)) << "the first write is held";
  EXPECT_TRUE(copy.muteFill);
  ASSERT_TRUE(card.write(pattern(2400, 2400)));
  EXPECT_EQ(bytesOf(next()), pattern(0, 2400));
  EXPECT_FALSE(copy.muteFill);
  EXPECT_EQ(next().size, 0u) << "a dry queue now gives empty blocks, not silence";
}

TEST_F(DelayLine, RepeatedWritesAreMuted) {
  const std::vector<uint8_t> a = pattern(0, 1200), b = pattern(5000, 1200),
                             c = pattern(9000, 1200), d = pattern(13000, 1200);
  std::vector<uint8_t> served;
  for (const auto* w : {&a, &a, &b, &c, &d}) {
    ASSERT_TRUE(card.write(*w));
    const VELLORA::Stream out = next();
    served.insert(served.end(), out.data, out.data + out.size);
  }
  // Silence while the first write is held, then: the repeated pair and the
  // write after them muted, the next one as written.
  std::vector<uint8_t> expected(2400, mute);
  expected.resize(2400 + 3 * 1200, mute);
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_EQ(served, expected);
  EXPECT_EQ(copy.stats().detections, 1u);
}

TEST(SilenceRun, ThirtySilenceLikeBytesAreARun) {
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool run;
  } cases[] = {
      {"29 zeros", [] { auto v = pattern(0, 100); std::fill(v.begin() + 20, v.begin() + 49, 0); return v; }(), false},
      {"30 zeros", [] { auto v = pattern(0, 100); std::fill(v.begin() + 20, v.begin() + 50, 0); return v; }(), true},
      {"30 alternating 0x69 0x96", [] { auto v = pattern(0, 100); for (int i = 0; i < 30; ++i) v[40 + i] = i % 2 ? 0x96 : 0x69; return v; }(), true},
      {"mixed kinds count together", [] { std::vector<uint8_t> v; for (int i = 0; i < 30; ++i) v.push_back(std::vector<uint8_t>{0x00, 0xFF, 0x5A, 0x69, 0x96, 0xA5}[i % 6]); return v; }(), true},
      {"a run broken in two", [] { std::vector<uint8_t> v(59, 0); v[29] = 1; return v; }(), false},
      {"empty", {}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hasSilenceRun(c.bytes.data(), c.bytes.size()), c.run) << c.name;
  }
}

// The scan skips through the bytes; a count byte by byte is the reference.
// Runs of 28 to 31 bytes of each silence-like kind at every place in every
// length up to 100, alone and after a 29-byte run that ends one byte before
// them, and drawn bytes, silence-like with a chance that goes from none to
// all over the rounds.
TEST(SilenceRun, SkippingScanAgreesWithAByteByByteCount) {
  const auto reference = [](const std::vector<uint8_t>& v) {
    uint64_t run = 0;
    for (uint8_t b : v) {
      const bool like = b == 0x00 || b == 0xFF || b == 0x5A || b == 0x69 || b == 0x96 || b == 0xA5;
      run = like ? run + 1 : 0;
      if (run >= 30) return true;
    }
    return false;
  };
  const uint8_t kinds[] = {0x00, 0xFF, 0x5A, 0x69, 0x96, 0xA5};
  for (size_t length = 0; length <= 100; ++length) {
    for (size_t runLength = 28; runLength <= 31; ++runLength) {
      for (size_t at = 0; at + runLength <= length; ++at) {
        for (bool before : {false, true}) {
          std::vector<uint8_t> v = pattern(0, length);
          for (size_t i = 0; i < runLength; ++i) v[at + i] = kinds[(at + i) % 6];
          if (before && at >= 30) {
            std::fill(v.begin() + static_cast<long>(at - 30), v.begin() + static_cast<long>(at - 1),
                      0xA5);
          }
          ASSERT_EQ(hasSilenceRun(v.data(), v.size()), reference(v))
              << "length " << length << " run " << runLength << " at " << at << " before "
              << before;
        }
      }
    }
  }
  uint32_t x = 1;
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> v(1 + round % 400);
    for (uint8_t& b : v) {
      x = x * 1103515245u + 12345u;
      b = ((x >> 16) & 15) < static_cast<uint32_t>(round % 17) ? kinds[(x >> 20) % 6] : 0x11;
    }
    ASSERT_EQ(hasSilenceRun(v.data(), v.size()), reference(v)) << "round " << round;
  }
}

TEST_F(DelayLine, SilenceRunMutesTheNextWrites) {
  std::vector<uint8_t> quiet = pattern(0, 1200);
  std::fill(quiet.begin() + 100, quiet.begin() + 130, 0x00);
  const std::vector<uint8_t> w1 = pattern(2000, 1200), w3 = pattern(4000, 1200),
                             w4 = pattern(6000, 1200), w5 = pattern(8000, 1200),
                             w6 = pattern(10000, 1200);
  std::vector<uint8_t> served;
  const std::vector<uint8_t>* writes[] = {&w1, &quiet, &w3, &w4, &w5, &w6};
  for (const auto* w : writes) {
    ASSERT_TRUE(card.write(*w));
    const VELLORA::Stream out = next();
    served.insert(served.end(), out.data, out.data + out.size);
  }
  // w1 goes out as written (no detection within the last two releases);
  // the quiet write and the one after it are muted; w4 and w5 are not.
  std::vector<uint8_t> expected(2400, mute);
  expected.insert(expected.end(), w1.begin(), w1.end());
  expected.resize(expected.size() + 2 * 1200, mute);
  expected.insert(expected.end(), w4.begin(), w4.end());
  expected.insert(expected.end(), w5.begin(), w5.end());
  EXPECT_EQ(served, expected);
}

TEST_F(DelayLine, FortyWritesAreTakenAsOne) {
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(card.write(pattern(60 * i, 60)));
  next();
  EXPECT_EQ(copy.lastPeriod.size(), 2400u);
  EXPECT_EQ(std::vector<uint8_t>(copy.lastPeriod.begin(), copy.lastPeriod.end()), pattern(0, 2400));
  EXPECT_EQ(copy.lastSeq, 40u);
  EXPECT_EQ(copy.takePos, 2400u);
}

TEST_F(DelayLine, AudioStaysInOrderAcrossPartlyServedWrites) {
  const uint32_t w = 3000;
  std::vector<uint8_t> served;
  uint64_t written = 0;
  auto take = [&] {
    const VELLORA::Stream out = next();
    served.insert(served.end(), out.data, out.data + out.size);
  };
  ASSERT_TRUE(card.write(pattern(written, w))); written += w;
  take();
  ASSERT_TRUE(card.write(pattern(written, w))); written += w;
  take();  // 2400 of the first write served, 600 left
  ASSERT_TRUE(card.write(pattern(written, w))); written += w;
  ASSERT_TRUE(card.write(pattern(written, w))); written += w;
  take();
  take();
  take();
  std::vector<uint8_t> expected(2400, mute);
  const std::vector<uint8_t> audio = pattern(0, served.size() - 2400);
  expected.insert(expected.end(), audio.begin(), audio.end());
  EXPECT_EQ(served, expected);
  EXPECT_EQ(served.size(), 2400u + 3 * w) << "everything released was served once";
}

// An application that fills the whole buffer before it starts, then writes
// a period whenever the read position frees one.
void playPrefilled(uint32_t bufferBytes, uint32_t periodCount, uint32_t prefillPeriods,
                   uint64_t baseTotal) {
  SCOPED_TRACE(testing::Message() << bufferBytes << "/" << periodCount << " prefill "
                                  << prefillPeriods);
  Reader reader(bufferBytes, periodCount, false);
  Card& card = reader.card;
  PeriodCopy& copy = reader.copy;
  // Counters that have run for hours: writeTotal about to wrap.
  card.block->writeTotal = static_cast<uint32_t>(baseTotal);
  copy.lastTotal = static_cast<uint32_t>(baseTotal);

  const uint32_t period = bufferBytes / periodCount;
  uint64_t written = 0, consumed = 0;
  uint32_t lastRead = 0;
  for (uint32_t i = 0; i < prefillPeriods; ++i) {
    ASSERT_TRUE(card.write(pattern(written, period)));
    written += period;
  }
  card.run(true);

  std::vector<uint8_t> served;
  for (int call = 0; call < 60; ++call) {
    VELLORA::Stream out;
    ASSERT_TRUE(copy.fill(out, true, 0));
    served.insert(served.end(), out.data, out.data + out.size);
    const uint32_t rp = card.block->readPos;
    consumed = std::min<uint64_t>(consumed + (rp + bufferBytes - lastRead) % bufferBytes, written);
    lastRead = rp;
    while (written - consumed + period <= bufferBytes) {
      ASSERT_TRUE(card.write(pattern(written, period)));
      written += period;
    }
  }
  // Whatever silence leads, the audio that follows is the written stream,
  // each byte once and in order.
  std::size_t lead = 0;
  while (lead < served.size() && served[lead] == 0) ++lead;
  ASSERT_GT(served.size() - lead, 40u * period / 2);
  EXPECT_EQ(std::vector<uint8_t>(served.begin() + static_cast<std::ptrdiff_t>(lead), served.end()),
            pattern(0, served.size() - lead));
  EXPECT_EQ(copy.stats().detections, 0u);
}

TEST(DelayLinePrefill, PrefilledBufferIsServedOnceInOrder) {
  for (uint32_t prefill : {1u, 2u, 3u, 4u}) playPrefilled(9600, 4, prefill, 0);
  playPrefilled(10000, 4, 4, 0);
}

TEST(DelayLinePrefill, TakeInSurvivesTheByteCounterWrap) {
  // Neither buffer is a power of two: a cursor taken from the counter
  // modulo the buffer would be right up to the wrap and jump after it. Both
  // bases are multiples of their buffer, a little below 2^32.
  playPrefilled(10000, 4, 4, 4294940000u);
  playPrefilled(9600, 3, 3, 4294953600u);
}

// The driver publishes a write's size and byte count before its sequence
// number; a call can land in between. When the next call has to fall back
// on the byte count (more than 31 writes), that write must be neither lost
// nor taken twice.
TEST_F(DelayLine, WriteHalfPublishedBeforeACounterTakeInIsTakenOnce) {
  uint64_t written = 0;
  std::vector<uint8_t> served;
  auto take = [&] {
    const VELLORA::Stream out = next();
    served.insert(served.end(), out.data, out.data + out.size);
  };
  ASSERT_TRUE(card.write(pattern(written, 2400))); written += 2400;
  // The next write: data, size and byte count are out, writePos and the
  // sequence number not yet.
  const std::vector<uint8_t> half = pattern(written, 600);
  std::memcpy(card.ring + 2400, half.data(), half.size());
  card.block->periodSizes[1] = 600;
  card.block->writeTotal += 600;
  take();
  card.block->writePos = 3000;
  card.block->periodSeq = 2;
  written += 600;
  // 40 small writes: the next call takes them in by the byte count.
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(card.write(pattern(written, 60))); written += 60;
  }
  for (int i = 0; i < 4; ++i) take();
  ASSERT_TRUE(card.write(pattern(written, 2400))); written += 2400;
  take();
  take();
  std::size_t lead = 0;
  while (lead < served.size() && served[lead] == mute) ++lead;
  EXPECT_EQ(std::vector<uint8_t>(served.begin() + static_cast<std::ptrdiff_t>(lead), served.end()),
            pattern(0, written - 2400)) << "all but the write still held, once and in order";
  EXPECT_EQ(copy.takePos, written % 9600);
}

// A target that drops the stream is connected again while the card stays
// prepared and running: the driver's counters go on from where they were,
// and the new connection takes in only what is written after it, from where
// it is written.
TEST_F(DelayLine, ConnectWhileTheCardRunsOnTakesInFromTheWriter) {
  uint64_t written = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(card.write(pattern(written, 2400))); written += 2400;
    next();
  }
  copy.reset(9600, 4);  // the new connection
  const uint64_t from = written;
  std::vector<uint8_t> served;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(card.write(pattern(written, 2400))); written += 2400;
    const VELLORA::Stream out = next();
    served.insert(served.end(), out.data, out.data + out.size);
  }
  std::size_t lead = 0;
  while (lead < served.size() && served[lead] == mute) ++lead;
  EXPECT_EQ(std::vector<uint8_t>(served.begin() + static_cast<std::ptrdiff_t>(lead), served.end()),
            pattern(from, 5 * 2400));
  EXPECT_EQ(copy.stats().detections, 0u);
}

TEST_F(DelayLine, ClaimedSizesAreCappedAtTheBuffer) {
  // Sizes and a byte counter that claim far more than the ring holds.
  card.block->periodSizes[0] = 0xFFFFFFF0;
  card.block->periodSizes[1] = 20000;
  card.block->periodSeq = 2;
  card.block->writeTotal = 0xFFFFFFFF;
  for (int i = 0; i < 20; ++i) {
    next();
    EXPECT_LE(copy.outQueue.size(), 2u * 9600 + 16u * 2400) << "two buffers and a stall of 16 blocks";
    EXPECT_LE(copy.lastPeriod.size(), 9600u);
    EXPECT_LT(copy.takePos, 9600u);
    // Going backwards, and more than 31 writes at once, take the counter path.
    card.block->periodSeq += (i % 2) ? 1000 : -5;
    card.block->writeTotal += 0x7FFFFFFF;
  }
}

}  // namespace
