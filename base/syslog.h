#pragma once
// The logger. One statement names a level and streams text and values into
// one record:
//
//   KALMO::SysLog::INFO << "connected to " << address << " after " << tries;
//
// The record is built only when the level passes the process-wide threshold
// and is sent when the statement ends: as one syslog-format datagram from
// [::1] to the sender's port, and to the sender's callback (the
// standard-output printer when that output is chosen). Logging never waits
// for the network and takes no lock of its own.
//
// Real-time threads log too (the streaming and buffer workers), so a
// statement never allocates and never waits for another thread: its record
// comes from a fixed pool (a statement that finds the pool empty is dropped
// and counted), the time stamp is made without the C library's time-zone
// lock, and the standard-output printer takes records without a lock.

#include "base/buffer.h"
#include "base/clock.h"
#include "base/ip_address.h"
#include "base/socket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace KALMO {
namespace SysLog {

enum SysLogFacility : int {
  KERN = 0,
  USER = 1,
  MAIL = 2,
  DAEMON = 3,
  AUTH = 4,
  SYSLOG = 5,
  LPR = 6,
  NEWS = 7,
  UUCP = 8,
  CRON = 9,
  AUTHPRIV = 10,
  FTP = 11,
  LOCAL0 = 16,
  LOCAL1 = 17,
  LOCAL2 = 18,
  LOCAL3 = 19,
  LOCAL4 = 20,
  LOCAL5 = 21,
  LOCAL6 = 22,
  LOCAL7 = 23,
};

// The syslog severities.
enum SysLogLevel : int {
  EMERG = 0,
  ALERT = 1,
  CRIT = 2,
  ERR = 3,
  WARNING = 4,
  NOTICE = 5,
  INFO = 6,
  DEBUG = 7,
};

// facility * 8 + severity.
using SysLogFacilityLevel = uint8_t;

using Callback = void (*)(const char* record);

constexpr size_t kTextSize = 2048;  // a record's text, terminator included
constexpr size_t kHeaderSize = 31;  // "<000>MMM DD hh mm ss localhost "

// A statement of level L builds a record only when L <= threshold; -1 (the
// start value) logs nothing. Set once at start-up, read by every thread.
extern std::atomic<int> threshold;

// True when a statement of this level is logged: values that cost work to
// make (a dump, a formatted table) are made only then.
inline bool logs(SysLogLevel level) {
  return (static_cast<int>(level) & 7) <= threshold.load(std::memory_order_relaxed);
}

// One record: header template, then the body appended by the statement.
class SysLogOut {
 public:
  SysLogFacilityLevel priority;
  char text[kTextSize];
  size_t length;  // characters before the terminator, never above 2047

  // Copies the header template; the body is appended with the put* calls.
  explicit SysLogOut(SysLogFacilityLevel priority);
  // The record's end: finished and handed to the present sender, if any.
  ~SysLogOut();
  SysLogOut(const SysLogOut&) = delete;
  SysLogOut& operator=(const SysLogOut&) = delete;

  // Formatted appends: cut at 2047 characters when they do not fit.
  void putSInt32(int32_t value);
  void putUInt32(uint32_t value);
  void putSInt64(int64_t value);
  void putUInt64(uint64_t value);
  void putFloat(float value);
  void putDouble(double value);
  void putStr(const char* value);
  // Raw appends: all or nothing.
  void putString(const std::string& value);
  void putBuffer(BufferCS_const value);
  void putIPaddress(IPAddress value);
  void putClock(Clock value);  // 16 upper-case hex digits

 private:
  void putRaw(const char* data, size_t size);
};

// Ends a record: sends it and gives it back to the pool (or frees one that
// was made with new).
void releaseRecord(SysLogOut* record);

// The handle of one statement; its end sends the record.
class SysLogNode {
 public:
  SysLogOut* out = nullptr;  // null when the statement was filtered out
  bool owner = true;

  SysLogNode(SysLogOut* record, bool owns) : out(record), owner(owns) {}
  SysLogNode(SysLogNode&& other) noexcept : out(other.out), owner(other.owner) {
    other.out = nullptr;
  }
  SysLogNode(const SysLogNode&) = delete;
  SysLogNode& operator=(const SysLogNode&) = delete;
  ~SysLogNode() {
    if (out != nullptr && owner) releaseRecord(out);
  }

  SysLogNode& operator<<(int value) {
    if (out) out->putSInt32(value);
    return *this;
  }
  SysLogNode& operator<<(unsigned value) {
    if (out) out->putUInt32(value);
    return *this;
  }
  SysLogNode& operator<<(long value) {
    if (out) out->putSInt64(value);
    return *this;
  }
  SysLogNode& operator<<(unsigned long value) {
    if (out) out->putUInt64(value);
    return *this;
  }
  SysLogNode& operator<<(long long value) {
    if (out) out->putSInt64(value);
    return *this;
  }
  SysLogNode& operator<<(unsigned long long value) {
    if (out) out->putUInt64(value);
    return *this;
  }
  SysLogNode& operator<<(float value) {
    if (out) out->putFloat(value);
    return *this;
  }
  SysLogNode& operator<<(double value) {
    if (out) out->putDouble(value);
    return *this;
  }
  SysLogNode& operator<<(const char* value) {
    if (out) out->putStr(value);
    return *this;
  }
  SysLogNode& operator<<(const std::string& value) {
    if (out) out->putString(value);
    return *this;
  }
  SysLogNode& operator<<(BufferCS_const value) {
    if (out) out->putBuffer(value);
    return *this;
  }
  SysLogNode& operator<<(const IPAddress& value) {
    if (out) out->putIPaddress(value);
    return *this;
  }
  SysLogNode& operator<<(Clock value) {
    if (out) out->putClock(value);
    return *this;
  }
};

// The sender: one datagram per record to [::1]:port, and the callback.
class SysLogSendC {
 public:
  Socket socket;
  SysLogFacility facility = static_cast<SysLogFacility>(0);
  Callback callback = nullptr;
  IPAddress destination;  // ::1, the port, index 0 once the socket is open

  // Opens and binds the socket once; later calls keep the first port.
  bool OpenPort(unsigned short port);
  bool initialize(SysLogFacility facility, Callback callback, unsigned short port);
  // Finishes a text that starts with the header template (priority and
  // time stamp written in) and sends it; texts shorter than the header
  // are dropped.
  void Message(SysLogFacilityLevel priority, char* text, unsigned long length);
};

// Starts a statement: a record with `text` appended when the level passes
// the threshold, else an empty handle that ignores every value.
SysLogNode operator<<(SysLogLevel level, const char* text);

bool initialize(SysLogFacility facility, bool toStdout, unsigned short port);
bool initialize(SysLogFacility facility, Callback callback);
bool OpenPort(unsigned short port);
SysLogFacility getFacility();
void setFacility(SysLogFacility facility);
void* getOwn();
void reinitialize(void* sender);
Callback getStdErr();
void finalize();

// Statements dropped because every record of the pool was in use.
uint64_t droppedRecords();
// How many records the pool holds: the statements that can be open at once.
constexpr size_t kPoolRecords = 128;

// True when the calling thread runs in a real-time class (FIFO, round-robin
// or deadline); such a thread is never made to wait by the logger.
bool callerIsRealTime();

// The calendar fields of `seconds` since the epoch, taken as local time
// already (the zone's offset added): month, day, hour, minute, second, and
// year, day of the week and of the year. Pure arithmetic, no lock.
void civilTime(int64_t seconds, std::tm& out);

// The local time of `now` as localtime_r gives it, but without its lock on
// threads of the real-time classes: the zone's offset is kept from the last
// look-up by localtime_r, which a thread of a normal class makes at most
// once a minute; a real-time thread uses the offset kept until then.
bool localTime(std::time_t now, std::tm& out);

// Writes month, day and time of `local` into a header at positions 5 to 20
// ("Jan 05 07:08:09"); the record's end does this with the present time.
void writeStamp(char* text, const std::tm& local);

}  // namespace SysLog
}  // namespace KALMO
