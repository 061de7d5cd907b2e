#pragma once
// Takes the next block of audio out of a card's ring: one period per call,
// straight from the read position (simple copy), or, in delay-line mode,
// the application's writes one by one, each examined for silence-like runs
// and repeats, held back by one write and muted around a detection.
//
// Everything in the control block is written by the driver and read here
// as untrusted: the geometry is checked on every call, sizes are capped at
// the buffer, and nothing outside the ring is read.
//
// The driver's byte counter says how much the writer has put into the ring
// and its write position says where that ends; the write sizes only say
// where one write ends and the next begins. So a write whose counters are
// out before its periodSeq is taken in once, whenever it is seen, and
// counters that start again or run more than a buffer ahead leave the copy
// where the writer is. A write whose byte count is out before its position
// already has its data in the ring: the bytes it lies on are lost, not
// taken in its place. Counters that start again move the simple copy's
// reader to where the new writes begin.

#include <array>
#include <atomic>
#include <cstdint>

#include "base/buffer.h"
#include "host/sync_mem_control.h"
#include "protocol/stream.h"

class PeriodCopy {
 public:
  // What the copy saw; counted on the buffer worker, read from any thread.
  struct Stats {
    std::atomic<uint64_t> skipped{0};     // calls while the card was not running
    std::atomic<uint64_t> refused{0};     // calls with a geometry that changed or breaks the ring
    std::atomic<uint64_t> underruns{0};   // reader caught up with a writer that did not move
    std::atomic<uint64_t> detections{0};  // writes found silence-like or repeated
    std::atomic<uint64_t> dropped{0};     // queued bytes dropped to keep the queue bounded
    std::atomic<uint64_t> unwritten{0};   // simple copy: block bytes the writer had not written, sent muted
    std::atomic<uint64_t> overwritten{0};  // delay line: bytes the writer overwrote before they were taken in
    std::atomic<uint64_t> realigned{0};   // take-ins that found the counters started again or off the cursor
    std::atomic<uint64_t> released{0};    // held writes served after the card stopped running
  };

  // The card's ring (ringBytes long) and the control block behind it.
  void attach(uint8_t* ring, uint32_t ringBytes, SyncMemControl* block);

  // A geometry that the copy can work with: inside the ring, whole periods
  // of at least one byte.
  static bool usableGeometry(uint32_t bufferBytes, uint32_t periodCount, uint32_t ringBytes);

  // Start of a connection: the hook state is reset, the read position goes
  // to 0 (also in the block), new writes are taken in from where the
  // driver's counters stand, and the geometry of the connect is kept.
  void reset(uint32_t bufferBytes, uint32_t periodCount);

  // Fills one block. True when data was taken from the ring and the driver
  // is to be told (the caller's notify).
  bool fill(VELLORA::Stream& out, bool delayLine, uint8_t muteByte);

  // Main thread: whether the delay line still holds audio it owes the
  // stream since the card last ran, and how many calls the hook has made.
  bool owesHeldAudio() const { return owesHeld_.load(std::memory_order_acquire); }
  uint64_t calls() const { return calls_.load(std::memory_order_acquire); }

  const Stats& stats() const { return stats_; }

  // Read position in the ring; mirrored into the block's readPos.
  uint64_t readPos = 0;
  // Also cleared by the main thread when the card starts running.
  std::atomic<bool> underrunArmed{false};
  uint32_t underrunSeq = 0;
  uint32_t lastSeq = 0;
  uint32_t lastTotal = 0;
  // Where the next new write starts in the ring: where the writer stood
  // when the counters were last taken in.
  uint64_t takePos = 0;
  uint64_t consumed = 0;
  KALMO::Buffer outQueue;
  KALMO::Buffer lastPeriod;
  int32_t muteCountdown = 0;
  bool muteFill = true;

 private:
  // The writer's counters, read as one consistent set.
  struct Writer {
    uint32_t seq = 0;
    uint32_t pos = 0;
    uint32_t total = 0;
    bool steady = false;  // periodSeq did not move while the set was read
  };
  // New bytes of the writer since a point of its counters, ending at its
  // write position.
  struct Advance {
    uint32_t fromSeq = 0;
    uint32_t bytes = 0;     // new bytes whose position is out
    uint32_t total = 0;     // byte counter up to those bytes
    uint32_t ahead = 0;     // data of a write whose position is not out, from the write position on
    bool restarted = false;  // the counters started again from zero
    bool realigned = false;  // the counters do not meet the point
  };
  Writer readWriter() const;
  Advance advance(const Writer& w, uint32_t fromSeq, uint32_t fromTotal, uint64_t fromPos,
                  uint32_t bufferBytes) const;
  bool geometry(uint32_t& bufferBytes, uint32_t& period);
  uint32_t connectPeriod() const;
  void followWriter(uint32_t bufferBytes);
  void copySimple(VELLORA::Stream& out, uint32_t n, uint32_t bufferBytes, uint8_t muteByte);
  void takeIn(const Writer& w, uint32_t bufferBytes, uint8_t muteByte);
  void takeOneWrite(uint32_t size, uint32_t label, uint64_t from, uint32_t bufferBytes,
                    uint8_t muteByte);
  void releaseHeld();
  bool serveQueue(VELLORA::Stream& out, uint64_t n);
  void serveAfterStop(VELLORA::Stream& out, uint8_t muteByte, bool& served);
  void advanceRead(uint32_t n, uint32_t bufferBytes);
  void endCall(bool delayLine);

  uint8_t* ring_ = nullptr;
  uint32_t ringBytes_ = 0;
  SyncMemControl* block_ = nullptr;
  uint32_t connectBufferBytes_ = 0;
  uint32_t connectPeriodCount_ = 0;
  bool refusalLogged_ = false;
  KALMO::Buffer incoming_;
  // Simple copy: the writer's counters when last looked at, and how many
  // bytes before its write position it wrote since the reader passed them.
  uint32_t seenSeq_ = 0;
  uint32_t seenTotal_ = 0;
  uint64_t seenPos_ = 0;
  uint64_t fresh_ = 0;
  // Delay line: the card ran since the held write was last served.
  bool ranSinceRelease_ = false;
  std::atomic<bool> owesHeld_{false};
  std::atomic<uint64_t> calls_{0};
  // One take-in's writes: size and label.
  std::array<uint32_t, PERIOD_SIZE_SLOTS + 1> sizes_{};
  std::array<uint32_t, PERIOD_SIZE_SLOTS + 1> labels_{};
  Stats stats_;
};

// True when the bytes hold a run of 30 or more silence-like bytes.
bool hasSilenceRun(const uint8_t* data, uint64_t size);
