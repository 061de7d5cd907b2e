#pragma once
// The application's side of a simulated card: what the driver does for an
// ALSA application that opens, configures, prepares, starts and writes to
// the card. It works on the card's file directly, so it may run in another
// process than the daemon.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/sync_mem_control.h"

namespace vsim {

// The stand-in driver keeps these in the block's reserved bytes: the head
// holds the wake-up and notify counters, the tail its flags.
constexpr uint32_t SIM_FLAG_ATTACHED = 0x1;
constexpr uint32_t SIM_FLAG_REMOVED = 0x2;

uint32_t& simWakeups(SyncMemControl& block);
uint32_t& simNotifies(SyncMemControl& block);
uint32_t& simFlags(SyncMemControl& block);

// One application write of n bytes into a card's ring at writePos, published
// as the driver does: data, then the size, writeTotal, writePos, and
// periodSeq last with release. False when n does not fit the buffer.
bool cardWrite(uint8_t* ring, uint32_t ringBytes, SyncMemControl& block, const uint8_t* data,
               uint32_t n);

// The same write carried out one publication step at a time, so that a
// reader can be made to look between two of them.
class StagedWrite {
 public:
  enum Stage { Nothing, Data, Size, Total, Position, Sequence };
  // False when n does not fit the buffer; nothing is written then.
  bool begin(uint8_t* ring, uint32_t ringBytes, SyncMemControl& block, const uint8_t* data,
             uint32_t n);
  // Carries the write on up to and including `stage`.
  void advance(Stage stage);
  Stage done() const { return done_; }

 private:
  uint8_t* ring_ = nullptr;
  SyncMemControl* block_ = nullptr;
  const uint8_t* data_ = nullptr;
  uint32_t n_ = 0;
  uint32_t buffer_ = 0;
  uint32_t pos_ = 0;
  uint32_t seq_ = 0;
  Stage done_ = Nothing;
};

// A new substream: the write counters and sizes start again from zero.
void cardRestartCounters(SyncMemControl& block);

// A card's mapping in plain memory, for tests and benchmarks that drive a
// period copy without a driver: the ring, then the control block.
struct MemoryCard {
  explicit MemoryCard(uint32_t ringBytes);
  MemoryCard(const MemoryCard&) = delete;  // ring and block point into storage
  MemoryCard& operator=(const MemoryCard&) = delete;
  void geometry(uint32_t bufferBytes, uint32_t periodCount);
  // Prepared, and running or not.
  void run(bool on);
  bool write(const std::vector<uint8_t>& bytes);
  bool write(const uint8_t* data, uint32_t n);

  uint32_t ringBytes;
  std::vector<uint64_t> storage;
  uint8_t* ring;
  SyncMemControl* block;
};

class SimCard {
 public:
  SimCard() = default;
  ~SimCard();
  SimCard(const SimCard&) = delete;
  SimCard& operator=(const SimCard&) = delete;

  // Maps card memNo of the directory; false when it does not exist.
  bool open(int memNo, const std::string& dir);
  void close();
  bool isOpen() const { return base_ != nullptr; }

  SyncMemControl& block() { return *block_; }
  uint8_t* ring() { return base_; }
  uint32_t ringBytes() const { return ringBytes_; }

  bool attached();
  bool removed();
  uint32_t wakeups();
  uint32_t notifies();
  uint32_t hostStatus();
  uint32_t readPos();
  int32_t volume();
  void setVolume(int32_t volume);

  // Waits until hostStatus has any of the bits in `bits`; false on time-out.
  bool waitHostStatus(uint32_t bits, int timeoutMs);
  // Waits until the daemon has attached the card.
  bool waitAttached(int timeoutMs);

  // Substream states as the driver reports them.
  void openSubstream();
  // Stores the chosen format, rate, channels and geometry. False when the
  // geometry does not fit the ring.
  bool hwParams(uint64_t format, uint64_t rate, uint64_t channels, uint32_t bufferBytes,
                uint32_t periodCount);
  // A new substream: the write counters start from zero.
  void prepare();
  void start();
  void stop();
  void hwFree();
  void closeSubstream();

  // One write of n bytes (at most bufferBytes) at writePos, published on the
  // period-size rule: data, size, writeTotal, writePos, then periodSeq.
  bool write(const uint8_t* data, uint32_t n);

 private:
  void setMemStatus(uint32_t status);

  int fd_ = -1;
  uint8_t* base_ = nullptr;
  std::size_t length_ = 0;
  uint32_t ringBytes_ = 0;
  SyncMemControl* block_ = nullptr;
};

}  // namespace vsim
