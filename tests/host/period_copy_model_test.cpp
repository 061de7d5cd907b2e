// The period copy against a model of what must arrive. A writer plays a
// frame counter into an in-memory card under a fixed-seed schedule, the
// copy takes one block per step, and what the blocks held is compared with
// what a few lines of model say:
//
//   delay line: every written byte once, in order, after the silence of the
//     first blocks; only bytes the writer overwrote before the copy looked
//     (more than a buffer written between two looks, or pending when the
//     driver's counters started again) are missing.
//   simple copy: each byte of a block is the ring byte when the writer put
//     it there, and published its position, since the reader last passed,
//     and it comes after everything already sent; any other byte is the
//     mute byte. When the driver's counters start again, the reader goes on
//     from where the new writes begin.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "host/period_copy.h"
#include "sim/driver/sim_card.h"
#include "tests/common/seeded_rng.h"

namespace {

constexpr uint8_t MUTE = 0x00;

// The writer's stream: a counter of 16-bit samples whose bytes are the
// counter's base-255 digits plus one, so no byte is ever the mute byte and
// no 30 bytes in a row look like silence.
uint8_t streamByte(uint64_t i) {
  const uint64_t sample = i / 2;
  return static_cast<uint8_t>(i % 2 == 0 ? sample % 255 + 1 : (sample / 255) % 255 + 1);
}

struct Schedule {
  const char* name;
  bool delayLine;
  uint32_t bufferBytes, periodCount;
  uint32_t minWrite, maxWrite;  // write sizes in bytes; 0, 0: one period
  uint64_t streamBytes;         // what the writer plays in all
  uint32_t seed;
  uint32_t stallPercent = 0;     // chance per step that the writer stops for a while
  bool largeStopThreshold = false;  // after a stall it writes all the read position allows, more than a buffer
  uint32_t restartPercent = 0;   // chance per step that the counters start again (after 40 steps)
  uint32_t halfPercent = 0;      // chance that a look lands inside a write's publication
  bool connectInGap = false;     // the connect lands between a write's publication and its periodSeq
  uint32_t counterBase = 0;      // writeTotal and periodSeq at the start
  // Events at a fixed step, for the schedules named after one.
  uint32_t stallAt = 0, stallSteps = 0;  // the writer stalls for stallSteps steps
  uint32_t stepCap = 0;          // at most this many bytes per writer step (0: no cap)
  uint32_t halfAt = 0;           // a write cut after its byte count, before its writePos
  uint32_t restartAt = 0;        // the card stops, is prepared again (counters from zero),
                                 // prefilled and started, all between two looks of the copy
  bool rechosenAtEnd = false;    // the card stops and is prepared again with another
                                 // geometry while the delay line holds a write
};

// What the copy sent, block by block, and what the model expects.
struct Outcome {
  std::vector<uint8_t> sent;
  std::vector<uint8_t> expected;
  uint64_t lost = 0;        // bytes the model lets go (overwritten before a look)
  uint64_t realigned = 0;   // take-ins that found the counters started again
  uint64_t released = 0;    // held writes served after the card stopped
  uint64_t dropped = 0;     // queued bytes the copy dropped
  bool halfCut = false;     // the fixed-step cut write did happen
};

// Where one write of the writer lies in the ring.
struct Placed {
  uint32_t pos;
  uint64_t from;  // its first byte's index in the stream
  uint32_t n;
  bool published;  // its writePos is out
};

class Writer {
 public:
  Writer(vsim::MemoryCard& card, const Schedule& s) : card_(card), s_(s), rng_(s.seed) {}

  uint64_t written() const { return written_; }
  bool done() const { return written_ >= s_.streamBytes; }

  uint32_t nextSize() {
    const uint32_t period = s_.bufferBytes / s_.periodCount;
    uint32_t n = s_.maxWrite == 0 ? period : s_.minWrite + rng_.below(s_.maxWrite - s_.minWrite + 1);
    return static_cast<uint32_t>(std::min<uint64_t>(n, s_.streamBytes - written_));
  }

  // Whether n more bytes stay within what the read position has freed.
  bool fits(uint32_t n) const { return written_ + n <= moved_ + s_.bufferBytes; }

  // The application's view of the read position: how far it moved since
  // the last look. A small stop threshold keeps the fill at 0 or more, a
  // large one lets the read position run ahead of the writer.
  void look() {
    const uint32_t rp = card_.block->readPos;
    moved_ += (rp + s_.bufferBytes - lastRead_) % s_.bufferBytes;
    lastRead_ = rp;
    if (!s_.largeStopThreshold) moved_ = std::min(moved_, written_);
  }

  // The writes of one step, each published whole.
  void step(bool mayStall) {
    look();
    if (stalled_ > 0) {
      --stalled_;
      return;
    }
    if (mayStall && s_.stallPercent && rng_.chance(s_.stallPercent)) {
      stalled_ = 2 + rng_.below(3 * s_.periodCount);
      return;
    }
    uint64_t stepBytes = 0;
    for (int writes = 0; writes < 200 && !done(); ++writes) {
      const uint32_t n = nextSize();
      if (!fits(n) || (s_.stepCap && stepBytes + n > s_.stepCap)) break;
      write(n, StagedWrite_Whole);
      stepBytes += n;
    }
  }
  // The next `steps` steps write nothing.
  void stall(uint32_t steps) { stalled_ = steps; }

  static constexpr int StagedWrite_Whole = -1;
  // One write; with stop >= 0 its publication ends at that stage and
  // finish() carries it on.
  void write(uint32_t n, int stop) {
    bytes_.resize(n);
    for (uint32_t i = 0; i < n; ++i) bytes_[i] = streamByte(written_ + i);
    const uint32_t pos = card_.block->writePos < s_.bufferBytes ? card_.block->writePos : 0;
    ASSERT_TRUE(staged_.begin(card_.ring, card_.ringBytes, *card_.block, bytes_.data(), n));
    staged_.advance(stop < 0 ? vsim::StagedWrite::Sequence : static_cast<vsim::StagedWrite::Stage>(stop));
    placed_.push_back({pos, written_, n, stop < 0 || stop >= vsim::StagedWrite::Position});
    written_ += n;
  }
  void finish() {
    staged_.advance(vsim::StagedWrite::Sequence);
    if (!placed_.empty()) placed_.back().published = true;
  }
  // Bytes of a write whose data is out but not its position.
  uint32_t unpublished() const {
    return !placed_.empty() && !placed_.back().published ? placed_.back().n : 0;
  }
  // The writes not yet handed to the model, oldest first.
  std::deque<Placed>& placed() { return placed_; }

  // The application prepares again: the driver's counters start from zero
  // and the application starts with an empty buffer.
  void restart() {
    vsim::cardRestartCounters(*card_.block);
    moved_ = written_;
    lastRead_ = card_.block->readPos;
  }

  vtest::SeededRng& rng() { return rng_; }

 private:
  vsim::MemoryCard& card_;
  const Schedule& s_;
  vtest::SeededRng rng_;
  uint64_t written_ = 0;
  uint64_t moved_ = 0;
  uint32_t lastRead_ = 0;
  uint32_t stalled_ = 0;
  std::vector<uint8_t> bytes_;
  vsim::StagedWrite staged_;
  std::deque<Placed> placed_;
};

// Simple copy: the ring as the model sees it, byte by byte.
struct ShadowRing {
  explicit ShadowRing(uint32_t n) : index(n, -1), wrote(n, -1), read(n, -1) {}
  // Bytes [from, from + n) of the stream now lie at ring position pos on.
  void write(uint32_t pos, int64_t from, uint32_t n, int64_t epoch) {
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t q = static_cast<uint32_t>((pos + i) % index.size());
      index[q] = from + i;
      wrote[q] = epoch;
    }
  }
  // Data of a write whose position is not out: what lay there is gone, and
  // the new bytes cannot be sent before their write is out.
  void clobber(uint32_t pos, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) wrote[(pos + i) % index.size()] = -1;
  }
  // The counters started again: nothing written before is to be sent.
  void restart() { std::fill(wrote.begin(), wrote.end(), -1); }
  void readBlock(uint32_t pos, uint64_t n, int64_t epoch, std::vector<uint8_t>& out) {
    for (uint64_t i = 0; i < n; ++i) {
      const uint32_t q = static_cast<uint32_t>(pos + i);
      const bool fresh = wrote[q] > read[q] && index[q] > lastSent;
      out.push_back(fresh ? streamByte(static_cast<uint64_t>(index[q])) : MUTE);
      if (fresh) lastSent = index[q];
      read[q] = epoch;
    }
  }
  std::vector<int64_t> index, wrote, read;
  int64_t lastSent = -1;
};

Outcome play(const Schedule& s) {
  Outcome run;
  const uint32_t ringBytes = (s.bufferBytes + 7) / 8 * 8;
  vsim::MemoryCard card(ringBytes);
  card.geometry(s.bufferBytes, s.periodCount);
  card.run(false);
  card.block->writeTotal = s.counterBase;
  card.block->periodSeq = s.counterBase;
  Writer writer(card, s);
  PeriodCopy copy;
  copy.attach(card.ring, card.ringBytes, card.block);
  ShadowRing shadow(s.bufferBytes);

  // The delay line's model: bytes written since the copy last looked, and
  // the stream the copy must deliver. A write whose position is not out
  // waits for the next look, and its data already lies on the oldest bytes.
  uint64_t pendingFrom = 0;
  auto looked = [&](bool takesIn) {
    if (!takesIn || !s.delayLine) return;
    const uint64_t upTo = writer.written() - writer.unpublished();
    const uint64_t pending = upTo - pendingFrom;
    const uint64_t intact = s.bufferBytes - writer.unpublished();
    const uint64_t lost = pending > intact ? pending - intact : 0;
    run.lost += lost;
    for (uint64_t i = pendingFrom + lost; i < upTo; ++i) run.expected.push_back(streamByte(i));
    pendingFrom = upTo;
  };

  // The connect: counters read, ring filled with the mute byte. What was
  // written before it is not expected anywhere.
  if (s.connectInGap) {
    for (int i = 0; i < 3; ++i) writer.write(writer.nextSize(), Writer::StagedWrite_Whole);
    writer.write(writer.nextSize(), vsim::StagedWrite::Position);
  }
  copy.reset(s.bufferBytes, s.periodCount);
  std::memset(card.ring, MUTE, s.bufferBytes);
  if (s.connectInGap) writer.finish();
  pendingFrom = writer.written();

  int64_t epoch = 0;
  writer.placed().clear();
  auto shadowFollow = [&] {
    // Writes since the last block, at the positions the writer used; a
    // write cut before its position stays for the next block.
    std::deque<Placed>& placed = writer.placed();
    while (!placed.empty()) {
      const Placed& p = placed.front();
      if (!p.published) {
        shadow.clobber(p.pos, p.n);
        break;
      }
      shadow.write(p.pos, static_cast<int64_t>(p.from), p.n, epoch);
      placed.pop_front();
    }
  };
  // Simple copy: where the reader is. After the counters started again it
  // goes on from where the new writes begin.
  uint32_t readAt = 0;
  bool restarted = false;
  auto fill = [&](bool running) {
    card.run(running);
    shadowFollow();
    VELLORA::Stream out;
    copy.fill(out, s.delayLine, MUTE);
    if (!s.delayLine && running) {
      if (restarted) readAt = 0;
      restarted = false;
      shadow.readBlock(readAt, out.size, epoch, run.expected);
      readAt = static_cast<uint32_t>((readAt + out.size) % s.bufferBytes);
    }
    run.sent.insert(run.sent.end(), out.data, out.data + out.size);
    ++epoch;
  };
  auto restart = [&] {
    writer.restart();
    shadow.restart();
    restarted = true;
  };

  // Prefill, then start; the writer plays on, step by step.
  writer.step(false);
  uint32_t steps = 0;
  uint32_t lastRestart = 0;
  while (!writer.done() && steps < 20000) {
    ++steps;
    writer.look();
    const bool cut = s.halfAt == steps;
    const uint32_t half =
        cut || (s.halfPercent && writer.rng().chance(s.halfPercent)) ? writer.nextSize() : 0;
    if (half != 0 && writer.fits(half)) {
      // A write published up to its position (or only up to its byte
      // count), the copy looks, then its periodSeq follows.
      const int stage = !cut && writer.rng().chance(50) ? vsim::StagedWrite::Position : vsim::StagedWrite::Total;
      writer.write(half, stage);
      run.halfCut = run.halfCut || cut;
      looked(true);
      fill(true);
      writer.finish();
    } else {
      looked(true);
      fill(true);
    }
    if (s.restartAt == steps) {
      // An application recovering from an underrun: it stops, prepares
      // again without leaving the prepared state, fills the buffer and
      // starts, while the copy does not run.
      for (int i = 0; i < 2; ++i) fill(false);
      restart();
      writer.step(false);
      continue;
    }
    // Only after the counters have gone well past what one buffer of new
    // writes brings, so that the restart shows as counters going back.
    if (s.restartPercent && steps - lastRestart > 40 && writer.rng().chance(s.restartPercent)) {
      restart();
      lastRestart = steps;
      continue;
    }
    if (s.stallAt == steps) writer.stall(s.stallSteps);
    writer.step(true);
  }
  // The writer has ended; the card runs on a little, then stops.
  for (uint32_t i = 0; i < 2 * s.periodCount + 4; ++i) {
    looked(true);
    fill(true);
  }
  looked(true);
  // Prepared again with another geometry: what the delay line holds was
  // taken in under the old one and still belongs to the stream.
  if (s.rechosenAtEnd) card.geometry(s.bufferBytes / 2, s.periodCount);
  for (uint32_t i = 0; i < 4 * s.periodCount + 4; ++i) fill(false);

  run.realigned = copy.stats().realigned;
  run.released = copy.stats().released;
  run.dropped = copy.stats().dropped;
  if (s.delayLine) {
    // Silence until the first write leaves the delay line, then the stream.
    std::size_t lead = 0;
    while (lead < run.sent.size() && run.sent[lead] == MUTE) ++lead;
    run.sent.erase(run.sent.begin(), run.sent.begin() + static_cast<std::ptrdiff_t>(lead));
  }
  return run;
}

// First difference between what was sent and what the model expects, as text.
std::string firstDifference(const Outcome& r) {
  const std::size_t n = std::min(r.sent.size(), r.expected.size());
  std::size_t i = 0;
  while (i < n && r.sent[i] == r.expected[i]) ++i;
  if (i == n && r.sent.size() == r.expected.size()) return "";
  std::size_t wrong = 0;
  for (std::size_t j = i; j < n; ++j) wrong += r.sent[j] != r.expected[j];
  return "sent " + std::to_string(r.sent.size()) + " bytes, model " + std::to_string(r.expected.size()) +
         ", first difference at " + std::to_string(i) + ", " + std::to_string(wrong) +
         " differing bytes in the common length";
}

TEST(PeriodCopyModel, WhatArrivesIsWhatTheModelSays) {
  // 1.5 s of 48 kHz 16-bit stereo ends with a write shorter than a period
  // in every geometry here.
  const uint64_t playSeconds = 288000;
  const Schedule schedules[] = {
      {"simple, period writes, 9996/3", false, 9996, 3, 0, 0, playSeconds, 1},
      {"simple, period writes, 10000/3 (1-byte blocks)", false, 10000, 3, 0, 0, playSeconds, 2},
      {"simple, period writes, 61440/5", false, 61440, 5, 0, 0, playSeconds, 3},
      {"simple, odd writes, stalled writer", false, 9600, 4, 1, 3000, 200000, 4, 4},
      {"simple, byte counter wraps", false, 10000, 4, 1, 2600, 200000, 5, 0, false, 0, 0, false,
       4294967295u - 30000},
      {"delay line, period writes, 9600/4", true, 9600, 4, 0, 0, playSeconds, 6},
      {"delay line, odd writes, 10000/3", true, 10000, 3, 1, 4000, 150000, 7},
      {"delay line, stalled writer", true, 9600, 4, 300, 2400, 150000, 8, 5},
      {"delay line, bursts beyond a buffer", true, 9600, 4, 600, 2400, 150000, 9, 5, true},
      {"delay line, counters restarted", true, 9600, 4, 300, 3000, 400000, 10, 0, false, 5},
      {"delay line, take-in inside a publication", true, 9600, 4, 4, 120, 100000, 11, 20, false, 0, 30},
      {"delay line, connect inside a publication", true, 9600, 4, 1200, 2400, 60000, 12, 0, false, 0, 0,
       true},
      {"delay line, byte counter wraps", true, 10000, 4, 1, 2600, 150000, 13, 0, false, 0, 10, false,
       4294967295u - 30000},
      // Recovering from an underrun with a read position halfway round the
      // buffer: the new prefill plays from its first byte.
      {.name = "simple, card prepared again while prepared", .delayLine = false, .bufferBytes = 9600,
       .periodCount = 4, .minWrite = 0, .maxWrite = 0, .streamBytes = 150000, .seed = 14, .restartAt = 22},
      {.name = "simple, counters restarted", .delayLine = false, .bufferBytes = 9600, .periodCount = 4,
       .minWrite = 300, .maxWrite = 3000, .streamBytes = 400000, .seed = 15, .restartPercent = 5},
      {.name = "delay line, card prepared with another choice while a write is held", .delayLine = true,
       .bufferBytes = 9600, .periodCount = 4, .minWrite = 0, .maxWrite = 0, .streamBytes = 60000, .seed = 16,
       .rechosenAtEnd = true},
      // The application lets the stream run on through an underrun: after
      // 12 blocks without a write it may write 3 buffers more than it
      // could before, one buffer at a time.
      {.name = "delay line, stalled writer then writes all it may", .delayLine = true, .bufferBytes = 9600,
       .periodCount = 4, .minWrite = 0, .maxWrite = 0, .streamBytes = 150000, .seed = 17,
       .largeStopThreshold = true, .stallAt = 20, .stallSteps = 12, .stepCap = 9600},
      // A read position that ran a buffer ahead during a stall lets the
      // writer write a whole buffer and the next write after it before the
      // copy looks again; the look lands after that write's byte count,
      // before its position, and its data already lies on the oldest bytes
      // of the buffer.
      {.name = "delay line, write cut after an overrun", .delayLine = true, .bufferBytes = 9600,
       .periodCount = 4, .minWrite = 0, .maxWrite = 0, .streamBytes = 100000, .seed = 18,
       .largeStopThreshold = true, .stallAt = 20, .stallSteps = 7, .stepCap = 9600, .halfAt = 28},
      {.name = "simple, write cut after an overrun", .delayLine = false, .bufferBytes = 9600,
       .periodCount = 4, .minWrite = 0, .maxWrite = 0, .streamBytes = 100000, .seed = 19,
       .largeStopThreshold = true, .stallAt = 20, .stallSteps = 7, .stepCap = 9600, .halfAt = 28},
  };
  for (const Schedule& s : schedules) {
    const Outcome r = play(s);
    EXPECT_GT(r.expected.size(), 0u) << s.name;
    EXPECT_EQ(firstDifference(r), "") << s.name;
    // The schedule did meet what it is named after.
    EXPECT_TRUE(!s.largeStopThreshold || s.stepCap || r.lost > 0) << s.name;
    EXPECT_TRUE(!s.restartPercent || r.realigned >= 2) << s.name << " " << r.realigned;
    EXPECT_TRUE(!s.restartAt || r.realigned == 1) << s.name << " " << r.realigned;
    EXPECT_TRUE(!s.halfAt || r.halfCut) << s.name;
    EXPECT_TRUE(!s.delayLine || r.released == 1) << s.name;
    // Nothing taken in is dropped for want of room.
    EXPECT_EQ(r.dropped, 0u) << s.name;
  }
}

}  // namespace
