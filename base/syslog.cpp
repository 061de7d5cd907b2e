#include "base/syslog.h"

#include "base/syslog_std.h"

#include <arpa/inet.h>
#include <sched.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace KALMO {
namespace SysLog {

std::atomic<int> threshold{-1};

namespace {

constexpr char kTemplate[] = "<000>MMM DD hh mm ss localhost ";
static_assert(sizeof kTemplate - 1 == kHeaderSize, "header template is 31 characters");
constexpr size_t kMaxLength = kTextSize - 1;

// The present sender. Read by every logging thread at the end of each
// record; replaced only while no other thread logs.
std::atomic<SysLogSendC*> present{nullptr};

// Senders replaced by initialize or reinitialize stay alive (a caller may
// hold one from getOwn to reinstall it later) and reachable from here.
std::mutex retiredLock;
std::vector<SysLogSendC*>* retired = nullptr;

void retire(SysLogSendC* sender) {
  if (sender == nullptr) return;
  std::lock_guard<std::mutex> lock(retiredLock);
  if (retired == nullptr) retired = new (std::nothrow) std::vector<SysLogSendC*>;
  if (retired == nullptr) return;
  if (std::find(retired->begin(), retired->end(), sender) == retired->end()) {
    try {
      retired->push_back(sender);
    } catch (...) {
      // Out of memory: the sender is kept alive all the same, just unlisted.
    }
  }
}

void unretire(SysLogSendC* sender) {
  std::lock_guard<std::mutex> lock(retiredLock);
  if (retired != nullptr) retired->erase(std::remove(retired->begin(), retired->end(), sender), retired->end());
}

// Makes `sender` the present one; the previous one is retired, not freed.
void install(SysLogSendC* sender) {
  SysLogSendC* previous = present.exchange(sender, std::memory_order_acq_rel);
  if (previous != sender) retire(previous);
  if (sender != nullptr) unretire(sender);
}

// ---- the record pool ----
// A lock-free stack of free records with a change count against reuse
// races, filled lazily from a bump index, so that it needs no start-up step
// and works from the first statement of any static constructor on.
struct alignas(SysLogOut) RecordSlot {
  unsigned char bytes[sizeof(SysLogOut)];
};
RecordSlot poolSlots[kPoolRecords];
std::atomic<uint32_t> poolNext[kPoolRecords];
std::atomic<uint64_t> poolHead{0};  // change count << 32 | (index + 1); 0: empty
std::atomic<uint32_t> poolFresh{0};  // slots never used yet start here
std::atomic<uint64_t> poolDropped{0};

constexpr uint32_t kNoSlot = ~uint32_t{0};

uint32_t popSlot() {
  uint64_t head = poolHead.load(std::memory_order_acquire);
  while ((head & 0xffffffffu) != 0) {
    const uint32_t index = static_cast<uint32_t>(head & 0xffffffffu) - 1;
    const uint64_t next = poolNext[index].load(std::memory_order_relaxed);
    const uint64_t fresh = (((head >> 32) + 1) << 32) | next;
    if (poolHead.compare_exchange_weak(head, fresh, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return index;
    }
  }
  uint32_t f = poolFresh.load(std::memory_order_relaxed);
  while (f < kPoolRecords) {
    if (poolFresh.compare_exchange_weak(f, f + 1, std::memory_order_relaxed)) return f;
  }
  return kNoSlot;
}

void pushSlot(uint32_t index) {
  uint64_t head = poolHead.load(std::memory_order_relaxed);
  uint64_t fresh;
  do {
    poolNext[index].store(static_cast<uint32_t>(head & 0xffffffffu), std::memory_order_relaxed);
    fresh = (((head >> 32) + 1) << 32) | (uint64_t{index} + 1);
  } while (!poolHead.compare_exchange_weak(head, fresh, std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
}

// The pool slot of a record, or kNoSlot for one made elsewhere.
uint32_t slotOf(const SysLogOut* record) {
  const auto* p = reinterpret_cast<const unsigned char*>(record);
  const auto* first = poolSlots[0].bytes;
  if (p < first || p >= first + sizeof poolSlots) return kNoSlot;
  return static_cast<uint32_t>(static_cast<size_t>(p - first) / sizeof(RecordSlot));
}

// ---- the time stamp ----
// The zone's offset from the last localtime_r and the minute (since the
// epoch, plus 1 so that 0 means none) it was taken in: minute << 24 |
// (offset + 2^23).
std::atomic<uint64_t> zoneCache{0};
constexpr int64_t kOffsetBias = int64_t{1} << 23;

void twoDigits(char* at, int value) {
  if (value < 0 || value > 99) value = 0;
  at[0] = static_cast<char>('0' + value / 10);
  at[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

// ---- records ----

SysLogOut::SysLogOut(SysLogFacilityLevel prio) : priority(prio), length(kHeaderSize) {
  std::memcpy(text, kTemplate, sizeof kTemplate);
}

SysLogOut::~SysLogOut() {
  SysLogSendC* sender = present.load(std::memory_order_acquire);
  if (sender != nullptr) sender->Message(priority, text, length);
}

#define KALMO_SYSLOG_APPEND(format, value)                                           \
  do {                                                                               \
    if (length >= kMaxLength) return;                                                \
    std::snprintf(text + length, kTextSize - length, format, value);                 \
    length += ::strnlen(text + length, kTextSize - length);                          \
  } while (0)

void SysLogOut::putSInt32(int32_t value) { KALMO_SYSLOG_APPEND("%" PRId32, value); }
void SysLogOut::putUInt32(uint32_t value) { KALMO_SYSLOG_APPEND("%" PRIu32, value); }
void SysLogOut::putSInt64(int64_t value) {
  KALMO_SYSLOG_APPEND("%lld", static_cast<long long>(value));
}
void SysLogOut::putUInt64(uint64_t value) {
  KALMO_SYSLOG_APPEND("%llu", static_cast<unsigned long long>(value));
}
void SysLogOut::putFloat(float value) { KALMO_SYSLOG_APPEND("%lf", static_cast<double>(value)); }
void SysLogOut::putDouble(double value) { KALMO_SYSLOG_APPEND("%lf", value); }
void SysLogOut::putStr(const char* value) {
  KALMO_SYSLOG_APPEND("%s", value != nullptr ? value : "(null)");
}

#undef KALMO_SYSLOG_APPEND

void SysLogOut::putRaw(const char* data, size_t size) {
  if (size > kMaxLength || length + size + 1 > kMaxLength) return;
  if (size != 0) std::memcpy(text + length, data, size);
  length += size;
  text[length] = '\0';
}

void SysLogOut::putString(const std::string& value) { putRaw(value.data(), value.size()); }

void SysLogOut::putBuffer(BufferCS_const value) {
  if (value.data == nullptr && value.size != 0) return;
  putRaw(reinterpret_cast<const char*>(value.data), value.size);
}

void SysLogOut::putIPaddress(IPAddress value) {
  std::string s;
  try {
    value.get_full_str(s);
  } catch (...) {
    return;  // out of memory: the value is left out like one that does not fit
  }
  putString(s);
}

void SysLogOut::putClock(Clock value) {
  if (length + 17 > kMaxLength) return;
  static const char digits[] = "0123456789ABCDEF";
  const uint64_t v = value;
  for (int i = 0; i < 16; ++i) text[length + static_cast<size_t>(i)] = digits[(v >> (60 - 4 * i)) & 0xF];
  length += 16;
  text[length] = '\0';
}

// ---- the front ----

SysLogNode operator<<(SysLogLevel level, const char* text) {
  // A filtered statement costs this one comparison and allocates nothing.
  if (!logs(level)) return SysLogNode(nullptr, true);
  const auto prio = static_cast<SysLogFacilityLevel>((static_cast<int>(getFacility()) * 8) |
                                                     static_cast<int>(level));
  const uint32_t slot = popSlot();
  if (slot == kNoSlot) {
    poolDropped.fetch_add(1, std::memory_order_relaxed);
    return SysLogNode(nullptr, true);
  }
  auto* out = new (poolSlots[slot].bytes) SysLogOut(prio);
  out->putStr(text);
  return SysLogNode(out, true);
}

void releaseRecord(SysLogOut* record) {
  if (record == nullptr) return;
  const uint32_t slot = slotOf(record);
  if (slot == kNoSlot) {
    delete record;
    return;
  }
  record->~SysLogOut();  // sends it
  pushSlot(slot);
}

uint64_t droppedRecords() { return poolDropped.load(std::memory_order_relaxed); }

bool callerIsRealTime() {
  const int policy = ::sched_getscheduler(0);
#ifdef SCHED_DEADLINE
  if (policy == SCHED_DEADLINE) return true;
#endif
  return policy == SCHED_FIFO || policy == SCHED_RR;
}

void civilTime(int64_t seconds, std::tm& out) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  out = std::tm{};
  out.tm_hour = static_cast<int>(rest / 3600);
  out.tm_min = static_cast<int>(rest / 60 % 60);
  out.tm_sec = static_cast<int>(rest % 60);
  out.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  // Days to year, month and day in the proleptic Gregorian calendar, with
  // years that start on the first of March.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  out.tm_mday = static_cast<int>(day);
  out.tm_mon = static_cast<int>(month - 1);
  out.tm_year = static_cast<int>(year - 1900);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static const int before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  out.tm_yday = before[month - 1] + static_cast<int>(day) - 1 + (leap && month > 2 ? 1 : 0);
}

bool localTime(std::time_t now, std::tm& out) {
  if (now < 0) return ::localtime_r(&now, &out) != nullptr;
  const uint64_t minute = static_cast<uint64_t>(now) / 60 + 1;
  const uint64_t cached = zoneCache.load(std::memory_order_acquire);
  const int64_t offset = static_cast<int64_t>(cached & 0xffffffu) - kOffsetBias;
  // localtime_r takes the C library's time-zone lock, which any thread of
  // the process (one of the idle class among them) may hold while it is
  // crowded out: a real-time thread keeps to the offset it has.
  if (cached != 0 && ((cached >> 24) == minute || callerIsRealTime())) {
    civilTime(static_cast<int64_t>(now) + offset, out);
    return true;
  }
  if (::localtime_r(&now, &out) == nullptr) return false;
  const int64_t gmtoff = out.tm_gmtoff;
  if (gmtoff > -kOffsetBias && gmtoff < kOffsetBias) {
    zoneCache.store((minute << 24) | static_cast<uint64_t>(gmtoff + kOffsetBias),
                    std::memory_order_release);
  }
  return true;
}

// ---- the sender ----

void writeStamp(char* text, const std::tm& local) {
  static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
  std::memcpy(text + 5, months[month], 3);
  text[8] = ' ';
  twoDigits(text + 9, local.tm_mday);
  text[11] = ' ';
  twoDigits(text + 12, local.tm_hour);
  text[14] = ':';
  twoDigits(text + 15, local.tm_min);
  text[17] = ':';
  twoDigits(text + 18, local.tm_sec);
  text[20] = ' ';
}

bool SysLogSendC::OpenPort(unsigned short port) {
  if (socket.is_open()) return true;
  if (!socket.open(Socket::UDP_IPV6)) return false;
  IPAddress local;
  local.address[15] = 1;
  // Half-opened sockets are closed again so a later call can retry.
  if (!socket.bindV6(local, 1000) || !socket.setBlocking(false)) {
    socket.close();
    return false;
  }
  IPAddress to;
  to.address[15] = 1;
  to.port = htons(port);
  destination = to;
  return true;
}

bool SysLogSendC::initialize(SysLogFacility fac, Callback cb, unsigned short port) {
  facility = fac;
  callback = cb;
  if (cb == &SysLogSendStdC::send) replaceStdPrinter();
  if (cb != nullptr && cb != &SysLogSendStdC::send) return true;
  return OpenPort(port);
}

void SysLogSendC::Message(SysLogFacilityLevel prio, char* text, unsigned long length) {
  if (text == nullptr || length < kHeaderSize || length > kMaxLength) return;
  const unsigned p = prio;
  size_t start = 0;
  text[4] = '>';
  text[3] = static_cast<char>('0' + p % 10);
  if (p < 10) {
    text[2] = '<';
    start = 2;
  } else if (p < 100) {
    text[2] = static_cast<char>('0' + p / 10);
    text[1] = '<';
    start = 1;
  } else {
    text[2] = static_cast<char>('0' + (p / 10) % 10);
    text[1] = static_cast<char>('0' + p / 100);
    text[0] = '<';
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localTime(now, local)) writeStamp(text, local);
  if (socket.is_open()) {
    const BufferCS_const datagram{reinterpret_cast<const uint8_t*>(text) + start, length - start};
    (void)socket.sendToV6(datagram, destination, false);
  }
  if (callback != nullptr) callback(text + start);
}

// ---- process-wide operations ----

// Takes the zone's offset on the thread that sets the logger up, so that a
// real-time thread has one from its first record on.
static void primeZone() {
  std::tm local{};
  (void)localTime(std::time(nullptr), local);
}

bool initialize(SysLogFacility facility, bool toStdout, unsigned short port) {
  primeZone();
  auto* sender = new (std::nothrow) SysLogSendC;
  if (sender == nullptr) return false;
  sender->facility = facility;
  if (toStdout) {
    sender->callback = &SysLogSendStdC::send;
    replaceStdPrinter();
  }
  install(sender);
  return sender->OpenPort(port);
}

bool initialize(SysLogFacility facility, Callback callback) {
  primeZone();
  auto* sender = new (std::nothrow) SysLogSendC;
  if (sender == nullptr) return false;
  sender->facility = facility;
  sender->callback = callback;
  if (callback == &SysLogSendStdC::send) replaceStdPrinter();
  install(sender);
  if (callback != nullptr && callback != &SysLogSendStdC::send) return true;
  return sender->OpenPort(0);
}

bool OpenPort(unsigned short port) {
  SysLogSendC* sender = present.load(std::memory_order_acquire);
  return sender != nullptr && sender->OpenPort(port);
}

SysLogFacility getFacility() {
  SysLogSendC* sender = present.load(std::memory_order_acquire);
  return sender != nullptr ? sender->facility : static_cast<SysLogFacility>(0);
}

void setFacility(SysLogFacility facility) {
  SysLogSendC* sender = present.load(std::memory_order_acquire);
  if (sender != nullptr) sender->facility = facility;
}

void* getOwn() { return present.load(std::memory_order_acquire); }

void reinitialize(void* sender) { install(static_cast<SysLogSendC*>(sender)); }

Callback getStdErr() {
  SysLogSendC* sender = present.load(std::memory_order_acquire);
  return sender != nullptr ? sender->callback : nullptr;
}

void finalize() {
  SysLogSendC* sender = present.exchange(nullptr, std::memory_order_acq_rel);
  if (sender == nullptr) return;
  unretire(sender);
  delete sender;  // its destructor closes the socket
}

}  // namespace SysLog
}  // namespace KALMO
