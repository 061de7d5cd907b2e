#pragma once
// Prints log records on standard output without making the logging thread
// wait for the console: send copies the record's body into a fixed ring and
// one idle-class printer thread writes the bodies out, one per line.
//
// Senders share no lock with the printer: a sender claims the next slot
// with one atomic step, fills it and publishes it; the printer prints the
// published slots in the order they were claimed. A full ring makes a
// thread of a normal class wait briefly, as before, but a real-time thread
// drops its record at once (counted) and writes nothing itself.

#include "base/wake_word.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

namespace KALMO {
namespace SysLog {

class SysLogSendStdC {
 public:
  static constexpr size_t kSlots = 120;     // 119 bodies can wait at a time
  static constexpr size_t kSlotSize = 1500;  // a body is cut to 1499 characters

  // Starts the printer thread.
  SysLogSendStdC();
  // Withdraws this printer from senders, lets the ones in flight finish,
  // prints what is still queued and joins the thread.
  ~SysLogSendStdC();
  SysLogSendStdC(const SysLogSendStdC&) = delete;
  SysLogSendStdC& operator=(const SysLogSendStdC&) = delete;

  // The logger's callback: hands a record (from its "<" on) to the present
  // printer. Records with an empty body, and records that arrive while no
  // printer is installed (also after the holder is gone at exit), are
  // dropped.
  static void send(const char* record);
  // Stores the record's body in this printer's ring.
  void _send(const char* record);

  // Records that found the ring full and were dropped, by any printer.
  static uint64_t droppedLines();

 private:
  void print_th();

  std::thread thread;
  std::atomic<bool> stop{false};
  std::array<std::array<char, kSlotSize>, kSlots> ring;
  // Body n (counted from 0) goes into slot n % kSlots; published[slot] is
  // n + 1 once its body is complete. claimed counts the bodies senders took
  // slots for, printed those the printer is done with; the ring is full
  // when kSlots - 1 bodies wait.
  std::array<std::atomic<uint64_t>, kSlots> published{};
  std::atomic<uint64_t> claimed{0};
  std::atomic<uint64_t> printed{0};
  KALMO::WakeWord wake;
};

// Owner of the present printer; its destruction at exit stops it.
extern std::unique_ptr<SysLogSendStdC> SysLogSendStd;

// Starts a new printer, makes it the one send uses, and stops, joins and
// frees the one it replaces.
void replaceStdPrinter();

}  // namespace SysLog
}  // namespace KALMO
