#pragma once
// Takes the next block of audio out of a card's ring: one period per call,
// straight from the read position (simple copy), or, in delay-line mode,
// the application's writes one by one, each examined for silence-like runs
// and repeats, held back by one write and muted around a detection.
//
// Everything in the control block is written by the driver and read here
// as untrusted: the geometry is checked on every call, sizes are capped at
// the buffer, and nothing outside the ring is read.

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

  const Stats& stats() const { return stats_; }

  // Read position in the ring; mirrored into the block's readPos.
  uint64_t readPos = 0;
  // Also cleared by the main thread when the card starts running.
  std::atomic<bool> underrunArmed{false};
  uint32_t underrunSeq = 0;
  uint32_t lastSeq = 0;
  uint32_t lastTotal = 0;
  // Where the next new write starts in the ring: advanced by the bytes taken
  // in, never by the blocks served.
  uint64_t takePos = 0;
  uint64_t consumed = 0;
  KALMO::Buffer outQueue;
  KALMO::Buffer lastPeriod;
  int32_t muteCountdown = 0;
  bool muteFill = true;

 private:
  void takeIn(uint32_t seq, uint32_t bufferBytes, uint8_t muteByte);
  void takeOneWrite(uint32_t size, uint32_t label, uint32_t bufferBytes, uint8_t muteByte);
  void advanceRead(uint32_t n, uint32_t bufferBytes);

  uint8_t* ring_ = nullptr;
  uint32_t ringBytes_ = 0;
  SyncMemControl* block_ = nullptr;
  uint32_t connectBufferBytes_ = 0;
  uint32_t connectPeriodCount_ = 0;
  bool refusalLogged_ = false;
  KALMO::Buffer incoming_;
  Stats stats_;
};

// True when the bytes hold a run of 30 or more silence-like bytes.
bool hasSilenceRun(const uint8_t* data, uint64_t size);
