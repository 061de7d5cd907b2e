#pragma once
// The buffered audio source of a streaming connection: a ring of audio
// blocks between the application and the streaming worker.
//
// The buffer worker (its own thread) fills every free block through the
// application's hook notifyStreamDone; the streaming worker takes filled
// blocks through getNewStream, one whenever the block it cuts is used up.
// Each connection starts with a full ring of silence; an empty ring yields
// 10 ms of silence (or, with waitForData, a wait of at most 10 ms), a stop
// drains the ring and then yields silence, and a disconnect drains it and
// then ends the audio.
//
// Ring: blockRing holds count + 1 blocks. Empty: readBlock == writeBlock;
// full: readBlock == successor of writeBlock. Only the streaming worker
// moves readBlock and only the buffer worker moves writeBlock while a
// connection runs; the block just handed out is never refilled before the
// next one is taken, because one block always stays unfilled.
//
// Positions and flags are atomic words shared without a lock; the two wake
// words only serve timed waits of at most 10 ms, after which every waiter
// looks at the flags again. No lock is shared between the threads here: the
// streaming worker (real time), the buffer worker (real time) and the
// application's thread (which may run in the idle class) never wait for one
// another's locks, so a crowded-out application thread cannot hold up the
// stream.

#include "base/buffer.h"
#include "base/wake_word.h"
#include "protocol/format_configure.h"
#include "protocol/ssync.h"
#include "protocol/stream.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace VELLORA {

class SSyncBuffer : public SSync {
 public:
  SSyncBuffer();
  ~SSyncBuffer();
  SSyncBuffer(const SSyncBuffer&) = delete;
  SSyncBuffer& operator=(const SSyncBuffer&) = delete;

  // Streaming-worker side.
  bool getNewStream(Stream& out) override;
  bool getNewStreamCmp() override;
  // Fills one block of the ring; the application overrides it. `first` is
  // true for the first block after the streaming worker took audio since
  // the ring was last full. A block left empty is handed out like any other.
  virtual void notifyStreamDone(Stream& block, bool first);
  virtual bool startBufferWorker();

  // Application side, while no connection runs. format 0 means hostFormat.
  void setupBuffer(unsigned long frames, unsigned long count, bool waitForData,
                   FormatConfigure format);
  bool connect(bool startBuffer, int cpu);
  void play();
  // Lets the ring drain, waits until silence was served, then stops.
  // Returns at once when nothing reads the ring, and after 1 s in which the
  // ring got no shorter.
  void stop();
  void pre_disconnect(bool flgset);
  void disconnect();
  void close();
  void seek(long n);
  void seek_front();
  void addStream(KALMO::BufferCS_const bytes);
  void addStream(Stream& block);
  bool buffer_empty() const;
  uint64_t getLastBufferCount() const;

  // Filling side (the buffer worker, or a caller that fills blocks itself).
  bool checkStreamStart() const;
  Stream* writeStreamStart(bool& aborted);
  void writeStreamDone(bool commit);
  void setStream(Stream& block);

  void thread_buffer_func();
  void BufferWorker();

  // --- members ---
  std::vector<Stream> blockRing;
  std::atomic<Stream*> readBlock{nullptr};
  std::atomic<Stream*> writeBlock{nullptr};
  std::thread bufferThread;
  // Woken when a block was filled (only with waitForData).
  KALMO::WakeWord dataWake;
  // Woken when the streaming worker finished a cycle that took a block, on
  // play, when a stop is acknowledged, when silence is served for lack of
  // data, and when the buffer worker is to end.
  KALMO::WakeWord spaceWake;
  uint64_t blockBytes = 0;
  bool waitForData = false;
  std::atomic<bool> disconnectReq{false};
  std::atomic<bool> stopReq{false};
  std::atomic<bool> stopAck{false};
  std::atomic<bool> consumed{false};
  std::atomic<bool> flgsetPending{false};
  // The silence served instead of ring data; one per object, read only by
  // this object's streaming worker.
  Stream dmutedata;

  // What the buffer worker of the present (or last) connection saw: the
  // longest pass from a free block to its commit (the hook, its notify and
  // whatever they log), and how many blocks of silence were served for
  // lack of data. Written by the workers, read by anyone.
  // worstGapNs is the longest time between two commits when the worker
  // had room for the next block at once: what it was held up by, its own
  // pass included.
  struct WorkerStats {
    std::atomic<uint64_t> passes{0};
    std::atomic<uint64_t> worstPassNs{0};
    std::atomic<uint64_t> worstGapNs{0};
    std::atomic<uint64_t> muteServed{0};
  };
  WorkerStats workerStats;

 private:
  Stream* successor(Stream* block) const;
  bool ringFull() const;
  bool connectionActive() const;
  // Points writeBlock at block 0 and readBlock at its successor.
  void resetPositions();
  // dmutedata as n bytes of the host format's silence.
  void serveMute(Stream& out, uint64_t n);
  // Ends and joins a buffer worker that is still there; bounded by one
  // 10 ms slice plus the hook's time.
  void endBufferWorker();
  // setupBuffer and addStream change the ring: no worker may use it then.
  bool ringIdle();

  std::atomic<bool> bufferQuit{false};  // the buffer worker ends at once
  unsigned char muteByte = 0;           // what dmutedata is filled with
};

}  // namespace VELLORA
