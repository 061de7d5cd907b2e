#include "base/syslog.h"

#include "base/syslog_std.h"

#include <arpa/inet.h>

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
  auto* out = new (std::nothrow) SysLogOut(prio);
  if (out != nullptr) out->putStr(text);
  return SysLogNode(out, true);
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
  if (::localtime_r(&now, &local) != nullptr) writeStamp(text, local);
  if (socket.is_open()) {
    const BufferCS_const datagram{reinterpret_cast<const uint8_t*>(text) + start, length - start};
    (void)socket.sendToV6(datagram, destination, false);
  }
  if (callback != nullptr) callback(text + start);
}

// ---- process-wide operations ----

bool initialize(SysLogFacility facility, bool toStdout, unsigned short port) {
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
