#pragma once
// The control block that follows every card's audio ring in the card
// mapping. It is shared with the bridge driver without a lock: each side
// reads the other's fields with atomic loads at the moment it needs them.

#include <atomic>
#include <cstddef>
#include <cstdint>

// hostStatus values and bits (written by the daemon).
constexpr uint32_t HOST_STATUS_CLOSED = 0x0;
constexpr uint32_t HOST_STATUS_READY = 0x3;
constexpr uint32_t HOST_STATUS_CONNECTED = 0x4;
constexpr uint32_t HOST_STATUS_PLAY = 0x8;
constexpr uint32_t HOST_STATUS_ERROR = 0x80000000u;

// memStatus bits (written by the driver); other bits are ignored.
constexpr uint32_t MEM_STATUS_OPEN = 0x2;
constexpr uint32_t MEM_STATUS_PREPARED = 0x4;
constexpr uint32_t MEM_STATUS_RUNNING = 0x8;

// Number of write sizes the driver keeps (element s & 31 for write s).
constexpr uint32_t PERIOD_SIZE_SLOTS = 32;

struct SyncMemControl {
  uint8_t reservedHead[8];  // the driver's; never touched by the daemon
  uint64_t rateMask;        // offered rates, one bit per rate
  uint64_t formatMask;      // offered sample formats
  uint64_t channelMask;     // bit n-1 offers n channels
  char targetName[64];
  char portName[64];
  uint64_t format;    // the application's choice: one bit of formatMask
  uint64_t rate;      // one bit of rateMask
  uint64_t channels;  // one bit of channelMask
  uint32_t hostStatus;
  uint32_t memStatus;
  int32_t periodSizeMin;
  int32_t periodSizeMax;
  int32_t periodMin;
  int32_t periodMax;
  uint32_t readPos;      // daemon: taken up to here
  uint32_t bufferBytes;  // driver: ring bytes in use by the substream
  uint32_t periodCount;  // driver: periods in that buffer
  uint32_t writePos;     // driver: written up to here
  uint32_t periodSeq;    // driver: writes so far, wrapping
  uint32_t writeTotal;   // driver: bytes written so far, modulo 2^32
  uint32_t periodSizes[PERIOD_SIZE_SLOTS];
  int32_t volume;           // 1..10001; 0 = no volume from the target
  uint8_t reservedTail[4];  // the driver's; never touched by the daemon
};

constexpr std::size_t SYNC_MEM_CONTROL_SIZE = 368;

static_assert(sizeof(SyncMemControl) == SYNC_MEM_CONTROL_SIZE);
static_assert(alignof(SyncMemControl) == 8);
static_assert(offsetof(SyncMemControl, reservedHead) == 0x000);
static_assert(offsetof(SyncMemControl, rateMask) == 0x008);
static_assert(offsetof(SyncMemControl, formatMask) == 0x010);
static_assert(offsetof(SyncMemControl, channelMask) == 0x018);
static_assert(offsetof(SyncMemControl, targetName) == 0x020);
static_assert(offsetof(SyncMemControl, portName) == 0x060);
static_assert(offsetof(SyncMemControl, format) == 0x0A0);
static_assert(offsetof(SyncMemControl, rate) == 0x0A8);
static_assert(offsetof(SyncMemControl, channels) == 0x0B0);
static_assert(offsetof(SyncMemControl, hostStatus) == 0x0B8);
static_assert(offsetof(SyncMemControl, memStatus) == 0x0BC);
static_assert(offsetof(SyncMemControl, periodSizeMin) == 0x0C0);
static_assert(offsetof(SyncMemControl, periodSizeMax) == 0x0C4);
static_assert(offsetof(SyncMemControl, periodMin) == 0x0C8);
static_assert(offsetof(SyncMemControl, periodMax) == 0x0CC);
static_assert(offsetof(SyncMemControl, readPos) == 0x0D0);
static_assert(offsetof(SyncMemControl, bufferBytes) == 0x0D4);
static_assert(offsetof(SyncMemControl, periodCount) == 0x0D8);
static_assert(offsetof(SyncMemControl, writePos) == 0x0DC);
static_assert(offsetof(SyncMemControl, periodSeq) == 0x0E0);
static_assert(offsetof(SyncMemControl, writeTotal) == 0x0E4);
static_assert(offsetof(SyncMemControl, periodSizes) == 0x0E8);
static_assert(offsetof(SyncMemControl, volume) == 0x168);
static_assert(offsetof(SyncMemControl, reservedTail) == 0x16C);

// Field access across the mapping. The other side writes concurrently, so
// every access is one atomic operation on the field in place.
template <class T>
inline T cardLoad(const T& field, std::memory_order order = std::memory_order_relaxed) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  return std::atomic_ref<T>(const_cast<T&>(field)).load(order);
}

template <class T>
inline void cardStore(T& field, T value, std::memory_order order = std::memory_order_relaxed) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  std::atomic_ref<T>(field).store(value, order);
}

// Stores value only while the field still holds expected: a write of the
// other side made in between is kept. True when stored.
template <class T>
inline bool cardReplace(T& field, T expected, T value) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  return std::atomic_ref<T>(field).compare_exchange_strong(expected, value);
}
