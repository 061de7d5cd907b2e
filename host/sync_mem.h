#pragma once
// One virtual sound card joined to one streaming connection. The periodic
// work follows the card's state words and the stream's state: it connects
// to the target when an application has prepared the card, plays and stops
// with the card, disconnects when the card is no longer prepared, reports
// each change through hostStatus, and mirrors the volume both ways. The
// buffer worker fills the stream's blocks from the card's ring through
// notifyStreamDone.
//
// The card device itself (descriptor, mapping, driver requests) is added by
// SyncMemDrv.

#include <atomic>
#include <cstdint>
#include <string>

#include "base/clock.h"
#include "base/ip_address.h"
#include "discovery/control.h"
#include "discovery/find.h"
#include "host/alsa_setting.h"
#include "host/occupied_cpu.h"
#include "host/period_copy.h"
#include "host/sync_mem_control.h"
#include "protocol/ssync_buffer.h"

class SyncMem : public VELLORA::SSyncBuffer {
 public:
  SyncMem();
  ~SyncMem();

  // The sink handshake, after opening the control channel to the port's
  // status chain (none for an empty chain).
  bool setSink(KALMO::IPAddress sink, VELLORA::Find::StatusSort& chain, KALMO::Clock latency,
               bool probe);
  // Takes the ring and control block from a cleared mapping, fills the
  // offer and posts HOST_STATUS_READY.
  void openMem(uint8_t* mapBase, const std::string& targetName, const std::string& portName);
  // The periodic step (main thread); false when a connect attempt failed.
  bool work();
  // Posts wantedStatus when it differs from what was posted.
  void statusUpdate();
  void close();
  bool isMemStatusOpen();

  void notifyStreamDone(VELLORA::Stream& block, bool first) override;

  // Tell the driver that hostStatus changed / that data was taken.
  virtual void wakeup() = 0;
  virtual void notify() = 0;

  AlsaProfile profile;
  AlsaSetting alsaSetting;
  OccupiedCPU* occupiedCpu = nullptr;
  int32_t sendCpu = -1;
  uint8_t* ring = nullptr;
  SyncMemControl* controlBlock = nullptr;
  uint32_t wantedStatus = 0;
  uint32_t postedStatus = 0;
  VELLORA::Control control;
  int32_t volumeLast = 0;
  // The read position and the rest of the hook's state.
  PeriodCopy periodCopy;

 protected:
  // Gives a held sending CPU back to the allocator.
  void releaseSendCpu();

 private:
  // The application's choice a stream was connected with.
  struct CardChoice {
    uint64_t format = 0;
    uint64_t rate = 0;
    uint64_t channels = 0;
    uint32_t bufferBytes = 0;
    uint32_t periodCount = 0;
    bool operator==(const CardChoice&) const = default;
  };
  CardChoice cardChoice() const;

  bool connectSequence();
  // Delay-line mode, the card no longer running: lets the buffer worker
  // hand the held write to the stream before the stream stops or ends.
  void awaitHeldAudio();
  bool volumeStep();
  bool chooseTransfer();
  // Buffer worker: blocks waiting in the stream buffer that hold audio.
  uint64_t queuedAudioBlocks() const;

  CardChoice connectedChoice;
  // Once the card runs again after it did not, the hook fills the stream
  // buffer up with silence before it reads the card again. Asked for by
  // the main thread when the stream plays again after a stop; noticed by
  // the hook itself when the stream played on (cardWasIdle).
  std::atomic<bool> silenceWanted{false};
  // Buffer worker only, reset by the connect before the worker starts.
  bool cardWasIdle = false;
  uint64_t silenceLeft = 0;
};
