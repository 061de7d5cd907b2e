#pragma once
// Prints log records on standard output without making the logging thread
// wait for the console: send copies the record's body into a fixed ring and
// one idle-class printer thread writes the bodies out, one per line.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
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

 private:
  void print_th();
  bool full() const;

  std::thread thread;
  std::atomic<bool> stop{false};
  std::array<std::array<char, kSlotSize>, kSlots> ring;
  std::atomic<size_t> writeIndex{0};
  std::atomic<size_t> readIndex{kSlots - 1};
  std::mutex mutex;
  std::condition_variable wake;
};

// Owner of the present printer; its destruction at exit stops it.
extern std::unique_ptr<SysLogSendStdC> SysLogSendStd;

// Starts a new printer, makes it the one send uses, and stops, joins and
// frees the one it replaces.
void replaceStdPrinter();

}  // namespace SysLog
}  // namespace KALMO
