#include "protocol/ssync_buffer.h"

#include "base/clock.h"
#include "base/syslog.h"
#include "base/syslog_std.h"
#include "base/thread_priority.h"

#include <chrono>
#include <cstring>
#include <list>

namespace VELLORA {

namespace {

using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

constexpr auto kSlice = std::chrono::milliseconds(10);
// stop() gives up after this long without the ring getting shorter.
constexpr auto kStopPatience = std::chrono::seconds(1);
constexpr uint64_t kMs = 1000000000ull;

}  // namespace

SSyncBuffer::SSyncBuffer() = default;

SSyncBuffer::~SSyncBuffer() {
  SSync::close();
  endBufferWorker();
}

// ---------------------------------------------------------------- ring

Stream* SSyncBuffer::successor(Stream* block) const {
  // The positions point into blockRing, which the const readers leave alone.
  Stream* first = const_cast<Stream*>(blockRing.data());
  Stream* next = block + 1;
  return next == first + blockRing.size() ? first : next;
}

bool SSyncBuffer::ringFull() const {
  Stream* w = writeBlock.load();
  return w != nullptr && readBlock.load() == successor(w);
}

bool SSyncBuffer::checkStreamStart() const { return !ringFull(); }

bool SSyncBuffer::buffer_empty() const { return readBlock.load() == writeBlock.load(); }

uint64_t SSyncBuffer::getLastBufferCount() const {
  const Stream* r = readBlock.load();
  const Stream* w = writeBlock.load();
  if (r == w) return 0;
  if (w > r) return static_cast<uint64_t>(w - r);
  return static_cast<uint64_t>((blockRing.data() + blockRing.size()) - r) +
         static_cast<uint64_t>(w - blockRing.data());
}

void SSyncBuffer::resetPositions() {
  if (blockRing.empty()) {
    writeBlock = nullptr;
    readBlock = nullptr;
    return;
  }
  // A ring of one block has no room to fill: it stays empty.
  writeBlock = blockRing.data();
  readBlock = successor(blockRing.data());
}

bool SSyncBuffer::connectionActive() const {
  const SyncState s = syncState.load();
  return s == Connecting || s == Connected || s == Disconnecting;
}

bool SSyncBuffer::ringIdle() {
  if (connectionActive()) {
    ERR << "SSyncBuffer ring change while connected";
    return false;
  }
  // A buffer worker of a connection that ended by itself is gone within
  // one slice; the ring must not move under it.
  endBufferWorker();
  return true;
}

void SSyncBuffer::setupBuffer(unsigned long frames, unsigned long count, bool wait,
                              FormatConfigure format) {
  if (!ringIdle()) return;
  if (static_cast<uint64_t>(format) == 0) format = hostFormat;
  blockBytes = static_cast<uint64_t>(format.getWid()) * format.getChannel() * frames;
  const unsigned char mute = format.getMuteByte();
  try {
    blockRing.resize(count + 1);
    for (Stream& block : blockRing) block.resize(blockBytes, mute);
  } catch (...) {
    // Sized by settings; a ring that cannot be had is left empty, so the
    // connection serves silence rather than touching missing blocks.
    ERR << "SSyncBuffer alloc error " << static_cast<uint64_t>(count) << " * " << blockBytes;
    blockRing.clear();
  }
  resetPositions();
  waitForData = wait;
  consumed = false;
}

void SSyncBuffer::addStream(KALMO::BufferCS_const bytes) {
  Stream block;
  block.resize(bytes.size);
  if (bytes.size != 0) std::memcpy(block.data, bytes.data, bytes.size);
  addStream(block);
}

void SSyncBuffer::addStream(Stream& block) {
  if (!ringIdle()) return;
  try {
    blockRing.emplace_back(std::move(block));
  } catch (...) {
    ERR << "SSyncBuffer alloc error " << static_cast<uint64_t>(blockRing.size() + 1);
  }
  block.clear();
  resetPositions();
}

void SSyncBuffer::seek(long n) {
  if (playFlag.load()) {
    SSync::stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (blockRing.empty()) return;
  Stream* r = readBlock.load();
  Stream* w = writeBlock.load();
  if (n > 0) {
    for (long i = 0; i < n && r != w; ++i) r = successor(r);
  } else {
    const Stream* limit = successor(w);
    for (long i = 0; i < -n && r != limit; ++i) {
      r = r == blockRing.data() ? blockRing.data() + blockRing.size() - 1 : r - 1;
    }
  }
  readBlock = r;
}

void SSyncBuffer::seek_front() {
  if (playFlag.load()) {
    SSync::stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  resetPositions();
}

// ---------------------------------------------------------------- filling

Stream* SSyncBuffer::writeStreamStart(bool& aborted) {
  aborted = false;
  while (ringFull() && !bufferQuit.load()) {
    spaceWake.waitUntil(kSlice, [this] { return !ringFull() || bufferQuit.load(); });
    if (!connectionActive() || disconnectReq.load() || stopReq.load() || bufferQuit.load()) {
      aborted = true;
      return writeBlock.load();
    }
  }
  // A ring without blocks has nothing to fill.
  if (writeBlock.load() == nullptr || bufferQuit.load()) aborted = true;
  return writeBlock.load();
}

void SSyncBuffer::writeStreamDone(bool commit) {
  if (!commit) return;
  Stream* w = writeBlock.load();
  if (w == nullptr) return;
  writeBlock = successor(w);
  if (waitForData) dataWake.wake();
}

void SSyncBuffer::setStream(Stream& block) {
  bool aborted = false;
  Stream* w = writeStreamStart(aborted);
  if (aborted) return;
  w->swap(block);
  writeStreamDone(true);
}

void SSyncBuffer::notifyStreamDone(Stream&, bool) {}

bool SSyncBuffer::startBufferWorker() {
  bufferQuit = false;
  try {
    bufferThread = std::thread(&SSyncBuffer::thread_buffer_func, this);
  } catch (...) {
    return false;
  }
  // The connect runs on the idle-class main thread, whose class the new
  // thread takes: on a busy machine it could wait long before raising
  // itself while the stream already plays, then fill the whole ring from
  // the card at once, ahead of what the application has written. It is
  // raised from here; its own call below still says how that went.
  (void)KALMO::ThreadPriority::setPriority(bufferThread, KALMO::ThreadPriority::HIGH);
  return true;
}

void SSyncBuffer::thread_buffer_func() {
  const unsigned long self = KALMO::ThreadPriority::getSelfThreadID();
  if (debugCpuCount > 0 && debugCpu != -1 && (workMode.load() & OCCUPIED)) {
    const std::list<KALMO::ThreadPriority::Cpus> cpus{
        {static_cast<uint16_t>(debugCpu), static_cast<uint16_t>(debugCpuCount)}};
    if (KALMO::ThreadPriority::setCpuThread(self, cpus)) {
      INFO << "Buffer Thread CPU set " << debugCpu << "," << debugCpuCount;
    } else {
      WARNING << "Buffer Thread CPU set error " << debugCpu << "," << debugCpuCount;
    }
  }
  if (KALMO::ThreadPriority::setPriority(self, KALMO::ThreadPriority::HIGH)) {
    INFO << "Buffer Thread Priority set HIGH";
  } else {
    WARNING << "Buffer Thread Priority set Error";
  }
  BufferWorker();
}

void SSyncBuffer::BufferWorker() {
  bool pending = false;
  // When the last block was committed with room left for another.
  std::chrono::steady_clock::time_point roomSince{};
  bool room = false;
  while (connectionActive() && !disconnectReq.load() && !bufferQuit.load()) {
    if (stopReq.load()) {
      spaceWake.waitUntil(kSlice, [this] {
        return !stopReq.load() || !connectionActive() || disconnectReq.load() ||
               bufferQuit.load();
      });
      continue;
    }
    bool aborted = false;
    Stream* block = writeStreamStart(aborted);
    if (aborted) continue;
    const auto passStart = std::chrono::steady_clock::now();
    const bool c = consumed.exchange(false);
    notifyStreamDone(*block, c && !pending);
    if (c) pending = true;
    writeStreamDone(true);
    const auto committed = std::chrono::steady_clock::now();
    const uint64_t passNs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(committed - passStart).count());
    workerStats.passes.fetch_add(1, std::memory_order_relaxed);
    if (passNs > workerStats.worstPassNs.load(std::memory_order_relaxed)) {
      workerStats.worstPassNs.store(passNs, std::memory_order_relaxed);
    }
    if (room) {
      const uint64_t gapNs = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(committed - roomSince).count());
      if (gapNs > workerStats.worstGapNs.load(std::memory_order_relaxed)) {
        workerStats.worstGapNs.store(gapNs, std::memory_order_relaxed);
      }
    }
    const bool full = ringFull();
    room = !full;
    roomSince = committed;
    if (full) pending = false;
  }
  stopReq = true;
  stopAck = true;
  spaceWake.wake();
  INFO << "BufferWorker passes " << workerStats.passes.load() << " worst pass "
       << workerStats.worstPassNs.load() / 1000 << " us worst gap "
       << workerStats.worstGapNs.load() / 1000 << " us mute served "
       << workerStats.muteServed.load() << " log dropped " << KALMO::SysLog::droppedRecords()
       << " " << KALMO::SysLog::SysLogSendStdC::droppedLines();
  INFO << "finish BufferWorker";
  while (connectionActive() && !bufferQuit.load()) {
    spaceWake.waitUntil(kSlice, [this] { return !connectionActive() || bufferQuit.load(); });
  }
  INFO << "done BufferWorker";
}

void SSyncBuffer::endBufferWorker() {
  if (!bufferThread.joinable()) return;
  bufferQuit = true;
  spaceWake.wake();
  bufferThread.join();
  bufferQuit = false;
}

// ---------------------------------------------------------------- reading

void SSyncBuffer::serveMute(Stream& out, uint64_t n) {
  const unsigned char mute = hostFormat.getMuteByte();
  // An empty block would only make the worker ask again at once.
  const uint64_t frame = static_cast<uint64_t>(hostFormat.getWid()) * hostFormat.getChannel();
  if (n < frame) n = frame;
  // Refilled only when the size or the byte changes: silence costs nothing
  // while it lasts.
  if (dmutedata.size != n || muteByte != mute || dmutedata.own.size() != n) {
    dmutedata.resize(n, mute);
    muteByte = mute;
  }
  out = dmutedata;
}

bool SSyncBuffer::getNewStream(Stream& out) {
  KALMO::Clock t0;
  bool waited = false;
  for (;;) {
    Stream* r = readBlock.load();
    if (r != writeBlock.load()) {
      if (waited) {
        KALMO::Clock now;
        now.now();
        WARNING << "SyncBuffer not enough " << static_cast<uint64_t>((now - t0) / kMs);
      }
      out = *r;
      readBlock = successor(r);
      return true;
    }
    if (disconnectReq.load()) {
      out.clear();
      // The worker closes the stream only when it sees Disconnecting; a
      // request raised while the state still says Connected moves it there,
      // so the ring's end is always the final packet and never a time-out.
      if (flgsetPending.exchange(false) || syncState.load() == Connected) disconnect_flgset();
      return false;
    }
    if (stopReq.load()) {
      if (!stopAck.load()) {
        stopAck = true;
        spaceWake.wake();
      }
      serveMute(out, blockBytes);
      return true;
    }
    if (!waitForData) {
      spaceWake.wake();
      // 10 ms of the host format, in whole frames so that the channels of
      // what follows stay in place; at least one frame.
      const uint64_t frame = static_cast<uint64_t>(hostFormat.getWid()) * hostFormat.getChannel();
      const uint64_t bps =
          static_cast<uint64_t>(hostFormat.getSpeed()) * hostFormat.getBits() * hostFormat.getChannel() / 8;
      const uint64_t n = bps / 100 / frame * frame;
      serveMute(out, n);
      workerStats.muteServed.fetch_add(1, std::memory_order_relaxed);
      WARNING << "SyncBuffer not enough mute data return " << dmutedata.size;
      return true;
    }
    if (waited) {
      WARNING << "SyncBuffer not enough Timeout";
      return false;
    }
    t0.now();
    waited = true;
    dataWake.waitUntil(kSlice, [this] { return readBlock.load() != writeBlock.load(); });
  }
}

bool SSyncBuffer::getNewStreamCmp() {
  consumed = true;
  spaceWake.wake();
  return true;
}

// ---------------------------------------------------------------- connection

bool SSyncBuffer::connect(bool startBuffer, int cpu) {
  // The buffer worker of an earlier connection (one that ended by itself,
  // or one still running that SSync::connect is about to end) goes first:
  // two workers must never fill one ring.
  endBufferWorker();
  stopReq = false;
  stopAck = false;
  disconnectReq = false;
  flgsetPending = false;
  workerStats.passes = 0;
  workerStats.worstPassNs = 0;
  workerStats.worstGapNs = 0;
  workerStats.muteServed = 0;
  if (!SSync::connect(cpu)) return false;
  if (startBuffer && !startBufferWorker()) {
    ERR << "Buffer Worker Start Error";
    SSync::close();
    syncState = Idle;  // also when no streaming worker was there to end
    if (bufferThread.joinable()) bufferThread.join();
    return false;
  }
  return true;
}

void SSyncBuffer::play() {
  INFO << "SSyncBuffer::play";
  stopReq = false;
  stopAck = false;
  disconnectReq = false;
  SSync::play();
  spaceWake.wake();
}

void SSyncBuffer::stop() {
  INFO << "SSyncBuffer::stop";
  stopReq = true;
  // Only a playing streaming worker takes blocks and acknowledges; without
  // one there is nothing to wait for.
  const SyncState s = syncState.load();
  const bool reading = (s == Connected || s == Disconnecting) && playFlag.load();
  auto deadline = std::chrono::steady_clock::now() + kStopPatience;
  uint64_t left = getLastBufferCount();
  while (reading && !stopAck.load()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      WARNING << "SSyncBuffer::stop timeout " << left;
      break;
    }
    spaceWake.waitUntil(kSlice, [this] { return stopAck.load(); });
    const uint64_t now = getLastBufferCount();
    if (now < left) deadline = std::chrono::steady_clock::now() + kStopPatience;
    left = now;
  }
  SSync::stop();
}

void SSyncBuffer::pre_disconnect(bool flgset) {
  INFO << "SSyncBuffer::pre_disconnect";
  disconnectReq = true;
  flgsetPending = flgset;
}

void SSyncBuffer::disconnect() {
  // The state moves before the request is raised: the worker must never
  // find the request on an empty ring while the state still says Connected,
  // or it ends on a time-out without the final packet and the closing
  // exchange. A connect still under way is given up instead (the worker's
  // exchange stops within one of its slices, the caller is not held for the
  // whole connect wait). The worker may finish its connect at the same
  // moment, so each change is one indivisible step, tried again on the
  // state it lost to.
  bool ending = false;
  for (;;) {
    SyncState s = syncState.load();
    if (s == Connected) {
      if (beginDisconnect()) {
        ending = true;
        break;
      }
    } else if (s == Connecting) {
      if (syncState.compare_exchange_strong(s, Idle)) break;
    } else {
      break;
    }
  }
  pre_disconnect(false);
  INFO << "SSyncBuffer::disconnect";
  if (workerThread.joinable()) {
    workerThread.join();
    if (ending) INFO << "discone done";
  }
  // Bounded even when no streaming worker ever ended the state.
  endBufferWorker();
}

void SSyncBuffer::close() {
  SSync::close();
  endBufferWorker();
}

}  // namespace VELLORA
