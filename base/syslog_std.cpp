#include "base/syslog_std.h"

#include "base/syslog.h"
#include "base/thread_priority.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

namespace KALMO {
namespace SysLog {

std::unique_ptr<SysLogSendStdC> SysLogSendStd;

namespace {

// The printer send uses, and how many senders are inside send right now.
// Both are trivially destructible, so they stay usable while static objects
// are destroyed at exit: a late record then finds no printer and is dropped.
std::atomic<SysLogSendStdC*> current{nullptr};
std::atomic<unsigned> sendersInside{0};
std::atomic<uint64_t> linesDropped{0};

// Standard output may be a pipe whose reader has gone. The write then just
// fails, like any failed write here, instead of raising SIGPIPE, which would
// end the whole daemon: the signal is held back around the write and the one
// the write raised on this thread is taken off again.
void writeHoldingSigpipe(const char* line, size_t size) {
  sigset_t pipe;
  sigset_t saved;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  const bool held = ::pthread_sigmask(SIG_BLOCK, &pipe, &saved) == 0;
  sigset_t pending;
  const bool wasPending =
      held && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  std::fwrite(line, 1, size, stdout);
  std::fflush(stdout);
  if (!held) return;
  if (!wasPending) {
    const timespec none{0, 0};
    (void)::sigtimedwait(&pipe, nullptr, &none);
  }
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void printLine(const char* body, size_t size) {
  char line[SysLogSendStdC::kSlotSize + 1];
  if (size > SysLogSendStdC::kSlotSize - 1) size = SysLogSendStdC::kSlotSize - 1;
  std::memcpy(line, body, size);
  line[size] = '\n';
  // One write per line, so lines of several threads do not mix.
  writeHoldingSigpipe(line, size + 1);
}

// A sender's own line about a full ring. A full ring mostly means the
// printer is stuck in a write to a console that takes nothing (a terminal on
// hold, a pipe nobody reads) and holds standard output meanwhile; the
// logging thread, which may be a real-time one, must not wait for that, so
// the line is left out while another thread holds standard output.
bool printNotice(const char* text) {
  if (ftrylockfile(stdout) != 0) return false;
  printLine(text, std::strlen(text));
  funlockfile(stdout);
  return true;
}

// The body of a record "<p>Mmm DD hh:mm:ss localhost body": the header is
// 29, 30 or 31 characters by the digits of the priority. Null for a record
// that is empty behind its header or does not have one.
const char* bodyOf(const char* record) {
  if (record == nullptr || record[0] != '<') return nullptr;
  size_t close = 1;
  while (close <= 4 && record[close] >= '0' && record[close] <= '9') ++close;
  if (close < 2 || close > 4 || record[close] != '>') return nullptr;
  const size_t header = close + 27;
  if (::strnlen(record, header) < header) return nullptr;
  const char* body = record + header;
  return *body != '\0' ? body : nullptr;
}

}  // namespace

SysLogSendStdC::SysLogSendStdC() {
  try {
    thread = std::thread(&SysLogSendStdC::print_th, this);
  } catch (...) {
    // No thread: the ring fills, and senders then drop their records.
  }
}

SysLogSendStdC::~SysLogSendStdC() {
  SysLogSendStdC* self = this;
  current.compare_exchange_strong(self, nullptr, std::memory_order_seq_cst);
  // A sender that found this printer before it was withdrawn may still be
  // storing into the ring; the printer keeps draining meanwhile.
  while (sendersInside.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  stop.store(true, std::memory_order_seq_cst);
  wake.wake();
  if (thread.joinable()) thread.join();
}

uint64_t SysLogSendStdC::droppedLines() { return linesDropped.load(std::memory_order_relaxed); }

void SysLogSendStdC::send(const char* record) {
  if (bodyOf(record) == nullptr) return;
  // Counted before the printer is looked up, so one that is being
  // replaced or destroyed waits for this call to leave.
  sendersInside.fetch_add(1, std::memory_order_seq_cst);
  SysLogSendStdC* printer = current.load(std::memory_order_seq_cst);
  if (printer != nullptr) printer->_send(record);
  sendersInside.fetch_sub(1, std::memory_order_seq_cst);
}

void SysLogSendStdC::_send(const char* record) {
  const char* body = bodyOf(record);
  if (body == nullptr) return;
  int tries = 0;
  bool noticed = false;   // "wait debug out" written
  int realTime = -1;      // the caller's class, looked up once the ring is full
  for (;;) {
    uint64_t n = claimed.load(std::memory_order_acquire);
    if (n - printed.load(std::memory_order_acquire) < kSlots - 1) {
      // The slot is free: the printer is past body n - (kSlots - 1), and
      // only the sender that claims n writes it.
      if (!claimed.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
        continue;
      }
      const size_t slot = static_cast<size_t>(n % kSlots);
      const size_t size = ::strnlen(body, kSlotSize - 1);
      std::memcpy(ring[slot].data(), body, size);
      ring[slot][size] = '\0';
      // The printer is not woken: it finds the body at its next look.
      published[slot].store(n + 1, std::memory_order_release);
      return;
    }
    // Full. A real-time thread must not wait for the idle printer, nor
    // write to a console that may be held: the record is dropped.
    if (realTime < 0) realTime = callerIsRealTime() ? 1 : 0;
    if (realTime == 1) {
      linesDropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (tries == 10 || stop.load(std::memory_order_acquire)) {
      (void)printNotice("timeout debug out");
      linesDropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    wake.wake();
    // A console that is only busy for a moment gets the notice at a later
    // try; one that stays held gets none.
    if (!noticed) noticed = printNotice("wait debug out");
    if (tries != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++tries;
  }
}

void SysLogSendStdC::print_th() {
  (void)ThreadPriority::setPriority(ThreadPriority::getSelfThreadID(), ThreadPriority::IDLE);
  for (;;) {
    const uint32_t seen = wake.value();
    const uint64_t next = printed.load(std::memory_order_relaxed);
    const size_t slot = static_cast<size_t>(next % kSlots);
    if (published[slot].load(std::memory_order_acquire) != next + 1) {
      // Stop only once the ring is empty, so the last records before exit
      // are printed (no sender is inside by then).
      if (stop.load(std::memory_order_acquire)) return;
      wake.waitFor(seen, std::chrono::milliseconds(100));
      continue;
    }
    printLine(ring[slot].data(), ::strnlen(ring[slot].data(), kSlotSize - 1));
    printed.store(next + 1, std::memory_order_release);
  }
}

void replaceStdPrinter() {
  std::unique_ptr<SysLogSendStdC> fresh(new (std::nothrow) SysLogSendStdC);
  if (fresh == nullptr) return;
  current.store(fresh.get(), std::memory_order_seq_cst);
  // The old printer's destructor waits for senders still using it.
  SysLogSendStd = std::move(fresh);
}

}  // namespace SysLog
}  // namespace KALMO
