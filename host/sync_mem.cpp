#include "host/sync_mem.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "base/syslog.h"
#include "host/card_format.h"

using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::NOTICE;

namespace {

constexpr uint64_t PS_PER_US = 1'000'000;
constexpr uint32_t ERROR_CONNECTED = HOST_STATUS_ERROR | HOST_STATUS_CONNECTED;

// Every card's control channel introduces itself the same way.
VELLORA::Control::Setting& hostControlSetting() {
  static VELLORA::Control::Setting setting = [] {
    VELLORA::Control::Setting s;
    s.name = "Alsa Host Control";
    s.nameValue = ~uint64_t{0};
    return s;
  }();
  return setting;
}

// Copies at most 63 bytes of the name into a zeroed 64-byte field.
void putName(char (&field)[64], const std::string& name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.data(), std::min<std::size_t>(name.size(), sizeof field - 1));
}

bool streamActive(VELLORA::SSync::SyncState s) {
  return s == VELLORA::SSync::Connecting || s == VELLORA::SSync::Connected ||
         s == VELLORA::SSync::Disconnecting;
}

}  // namespace

SyncMem::SyncMem() : control(hostControlSetting()) {}

SyncMem::~SyncMem() { releaseSendCpu(); }

void SyncMem::releaseSendCpu() {
  if (sendCpu != -1 && occupiedCpu) occupiedCpu->releaseCpuSend(sendCpu);
  sendCpu = -1;
}

bool SyncMem::setSink(KALMO::IPAddress sink, VELLORA::Find::StatusSort& chain,
                      KALMO::Clock latency, bool probe) {
  for (const VELLORA::Find::StatusSortSt& e : chain) INFO << "Status : " << e.itemName;
  if (!chain.empty()) {
    if (!control.open()) {
      ERR << "control open error";
      return false;
    }
    if (!control.connect(chain)) {
      ERR << "control connect error";
      return false;
    }
  }
  return VELLORA::SSync::setSink(sink, latency, probe);
}

void SyncMem::openMem(uint8_t* mapBase, const std::string& targetName,
                      const std::string& portName) {
  ring = mapBase;
  controlBlock = reinterpret_cast<SyncMemControl*>(mapBase + alsaSetting.ringBytes());
  periodCopy.attach(ring, alsaSetting.ringBytes(), controlBlock);

  putName(controlBlock->targetName, targetName);
  putName(controlBlock->portName, portName);
  const CardOffer offer = cardOffer(sincSupportPCM, sincSupportDSDlsb, sincSupportDSDmsb);
  cardStore(controlBlock->rateMask, offer.rateMask);
  cardStore(controlBlock->formatMask, offer.formatMask);
  cardStore(controlBlock->channelMask, offer.channelMask);
  cardStore(controlBlock->periodMax, alsaSetting.periodMax);
  cardStore(controlBlock->periodMin, alsaSetting.periodMin);
  cardStore(controlBlock->periodSizeMax, alsaSetting.periodSizeMax);
  cardStore(controlBlock->periodSizeMin, alsaSetting.periodSizeMin);

  int16_t g = 0;
  if (control.getVolume(g)) {
    volumeLast = cardVolumeFromTarget(g);
    cardStore(controlBlock->volume, volumeLast);
    INFO << "Volume Add : " << int{g} << " " << volumeLast;
  } else {
    cardStore(controlBlock->volume, 0);
    volumeLast = 0;
  }
  wantedStatus = HOST_STATUS_READY;
  statusUpdate();
}

void SyncMem::statusUpdate() {
  if (wantedStatus == postedStatus || !controlBlock) return;
  postedStatus = wantedStatus;
  cardStore(controlBlock->hostStatus, postedStatus, std::memory_order_release);
  wakeup();
}

bool SyncMem::isMemStatusOpen() {
  return controlBlock &&
         (cardLoad(controlBlock->memStatus, std::memory_order_acquire) & MEM_STATUS_OPEN);
}

void SyncMem::close() {
  VELLORA::SSyncBuffer::close();
  if (controlBlock) cardStore(controlBlock->hostStatus, HOST_STATUS_CLOSED, std::memory_order_release);
  wantedStatus = postedStatus = 0;
  releaseSendCpu();
  wakeup();
}

void SyncMem::notifyStreamDone(VELLORA::Stream& block, bool) {
  const uint8_t mute = hostFormat.getMuteByte();
  if (!controlBlock ||
      !(cardLoad(controlBlock->memStatus, std::memory_order_acquire) & MEM_STATUS_RUNNING)) {
    cardWasIdle = true;
  } else {
    // The stream buffer ran dry while the card did not run (a stop drained
    // it, or the stream played on without audio). Filled from the card in
    // one go, it would take more periods than the application can have
    // written ahead, and the reader would pass the writer. As after a
    // connect, the buffer starts full of silence and the card is read one
    // period per block the stream takes.
    if (silenceWanted.exchange(false) || cardWasIdle) {
      cardWasIdle = false;
      const uint64_t capacity = blockRing.empty() ? 0 : blockRing.size() - 1;
      const uint64_t queued = queuedAudioBlocks();
      silenceLeft = capacity > queued ? capacity - queued : 0;
    }
    if (silenceLeft > 0) {
      --silenceLeft;
      block.resize(blockBytes, mute);
      return;
    }
  }
  if (periodCopy.fill(block, alsaSetting.unInitMemDet, mute)) notify();
}

uint64_t SyncMem::queuedAudioBlocks() const {
  // The blocks between the reader and the one being filled were all filled
  // on this thread; the streaming worker only reads them.
  uint64_t n = 0;
  const VELLORA::Stream* end = writeBlock.load();
  const VELLORA::Stream* first = blockRing.data();
  const VELLORA::Stream* last = first + blockRing.size();
  for (const VELLORA::Stream* b = readBlock.load(); b != end && b != nullptr;) {
    if (b->size != 0) ++n;
    b = b + 1 == last ? first : b + 1;
  }
  return n;
}

bool SyncMem::work() {
  if (!controlBlock) return true;
  auto memStatus = [this] { return cardLoad(controlBlock->memStatus, std::memory_order_acquire); };

  if (streamActive(syncState.load())) {
    uint32_t f = memStatus();
    // The application prepared the card anew between two passes, with
    // another format or geometry: the stream would send the new audio as
    // the old format, so it ends here and the next pass connects with the
    // new choice.
    const bool rechosen = cardChoice() != connectedChoice;
    if (rechosen) {
      INFO << "card choice changed under the stream";
    } else if (playFlag.load() && !(f & MEM_STATUS_RUNNING)) {
      wantedStatus &= ~HOST_STATUS_PLAY;
      statusUpdate();
      if (alsaSetting.alsaUnderrun) {
        awaitHeldAudio();
        VELLORA::SSyncBuffer::stop();
      }
      f = memStatus();
    } else if (!playFlag.load() && (f & MEM_STATUS_RUNNING)) {
      periodCopy.underrunArmed = false;
      // A stop drained the stream buffer: the hook fills it with silence
      // first. Right after a connect it is full of silence already.
      if (checkStreamStart()) silenceWanted = true;
      wantedStatus |= HOST_STATUS_PLAY;
      statusUpdate();
      VELLORA::SSyncBuffer::play();
      f = memStatus();
    }
    if (rechosen || !(f & MEM_STATUS_PREPARED)) {
      // The connection no longer serves the card's preparation: the status
      // says so before the stream ends, which may take a while. Until then
      // a driver would take CONNECTED for a connection made for the next
      // prepare and let the application fill the ring, and the connect
      // that follows fills the ring with silence.
      wantedStatus = HOST_STATUS_READY;
      statusUpdate();
      // What the delay line took in under the old choice is this stream's.
      awaitHeldAudio();
      VELLORA::SSyncBuffer::disconnect();
      releaseSendCpu();
    }
    return volumeStep();
  }

  // Idle: also clears an earlier error.
  wantedStatus = HOST_STATUS_READY;
  statusUpdate();
  if (!(memStatus() & MEM_STATUS_PREPARED)) return volumeStep();
  return connectSequence();
}

void SyncMem::awaitHeldAudio() {
  if (!alsaSetting.unInitMemDet) return;
  // The hook serves the held write at its first call after the card
  // stopped, and runs once per block the stream takes; only a stream that
  // is playing takes blocks. Bounded like the stop: a second without a
  // call, or the card running again, ends the wait.
  using Clock = std::chrono::steady_clock;
  constexpr auto patience = std::chrono::seconds(1);
  const uint64_t start = periodCopy.calls();
  uint64_t seen = start;
  auto lastCall = Clock::now();
  for (;;) {
    const bool reading = playFlag.load() && syncState.load() == VELLORA::SSync::Connected &&
                         !stopReq.load() && !disconnectReq.load() && bufferThread.joinable();
    if (!reading) return;
    if (cardLoad(controlBlock->memStatus, std::memory_order_acquire) & MEM_STATUS_RUNNING) return;
    const uint64_t calls = periodCopy.calls();
    if (calls > start && !periodCopy.owesHeldAudio()) return;
    const auto now = Clock::now();
    if (calls != seen) {
      seen = calls;
      lastCall = now;
    } else if (now - lastCall > patience) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

SyncMem::CardChoice SyncMem::cardChoice() const {
  CardChoice c;
  c.format = cardLoad(controlBlock->format);
  c.rate = cardLoad(controlBlock->rate);
  c.channels = cardLoad(controlBlock->channels);
  c.bufferBytes = cardLoad(controlBlock->bufferBytes);
  c.periodCount = cardLoad(controlBlock->periodCount);
  return c;
}

bool SyncMem::volumeStep() {
  const int32_t v = cardLoad(controlBlock->volume);
  if (v == volumeLast) return true;
  volumeLast = v;
  control.setVolume(targetVolumeFromCard(v));
  int16_t g = 0;
  if (!control.getVolume(g)) return true;
  const int32_t w = cardVolumeFromTarget(g);
  // The application may have moved the volume again while the target was
  // being set: its newer value stays, and goes to the target next time.
  cardReplace(controlBlock->volume, v, w);
  volumeLast = w;
  INFO << "Volume Update : " << int{g} << " " << volumeLast;
  return true;
}

bool SyncMem::chooseTransfer() {
  if (profile.targetProfileLimitTime.get() != 0) {
    NOTICE << "configTransfer profile";
    // The second entry, which the worker steps to when it falls behind,
    // starts its search from the file's cycle: held for the card buffer as
    // a fixed cycle is.
    configTransferAuto(profile.targetProfileLimitTime, 0,
                       cycleForCard(profile.cycleTime, connectedChoice.bufferBytes, hostFormat));
    if (getCycleTime().get() > 999'999'999) {
      changeWorkMode(static_cast<THRED_MODE>(profile.syncWorkerMode &
                                             ~(NOSLEEP4CORE | NOSLEEPFORCE)));
    }
    return true;
  }
  const KALMO::Clock cycleTime = cycleForCard(profile.cycleTime, connectedChoice.bufferBytes, hostFormat);
  const uint64_t cycleUs = cycleTime.get() / PS_PER_US;
  if (!profile.flexCycle) {
    NOTICE << "configTransfer Fix " << cycleUs;
    if (configTransferFix(cycleTime, 0)) return true;
    ERR << "error configTransfer Fix";
    return false;
  }
  if (!profile.randomCycle) {
    NOTICE << "configTransfer Var " << cycleUs;
    if (configTransferVar(cycleTime, 0)) return true;
    ERR << "error configTransfer Var";
    return false;
  }
  const KALMO::Clock shortest = shortestForCycle(profile.cycleMinTime, cycleTime);
  NOTICE << "configTransfer Random " << cycleUs << " - " << shortest.get() / PS_PER_US;
  if (configTransferRandom(shortest, cycleTime, 0)) return true;
  ERR << "error configTransfer Random";
  return false;
}

bool SyncMem::connectSequence() {
  auto failed = [this] {
    wantedStatus |= ERROR_CONNECTED;
    statusUpdate();
    return false;
  };

  // The choice is the driver's word: read once, and the geometry refused
  // like an unusable format when the ring cannot hold it in whole periods
  // of at least one frame, or when a period is larger than the card offered
  // (every block of the stream buffer holds one period, so an oversized
  // period would multiply the buffer's memory).
  const CardChoice choice = cardChoice();
  VELLORA::FormatConfigure word;
  const bool usableFormat = cardFormatWord(choice.format, choice.rate, choice.channels, word);
  INFO << "connect";
  const uint32_t bufferBytes = choice.bufferBytes;
  const uint32_t periodCount = choice.periodCount;
  const uint32_t frameBytes = word.getWid() * word.getChannel();
  bool usableGeometry = PeriodCopy::usableGeometry(bufferBytes, periodCount, alsaSetting.ringBytes());
  if (usableGeometry) {
    const uint32_t period = bufferBytes / periodCount;
    usableGeometry =
        period >= frameBytes && period <= static_cast<uint32_t>(alsaSetting.periodSizeMax);
  }
  if (!usableFormat || !usableGeometry) {
    wantedStatus |= ERROR_CONNECTED;
    statusUpdate();
    return volumeStep();
  }

  connectedChoice = choice;
  const uint8_t mute = word.getMuteByte();
  INFO << "valid format " << unsigned{mute} << " " << bufferBytes;
  // A stream that ended by itself may leave its buffer worker in the hook
  // for one more pass; it ends now that the state is Idle, and must have
  // ended before the hook state and the ring are reset under it.
  if (bufferThread.joinable()) bufferThread.join();
  periodCopy.reset(bufferBytes, periodCount);
  silenceWanted = false;
  cardWasIdle = false;
  silenceLeft = 0;
  std::memset(ring, mute, bufferBytes);
  notify();

  if (!is_active() || !setSinkConfigure(word)) return failed();
  if (!chooseTransfer()) return false;

  const uint64_t cycleUs = getCycleTime().get() / PS_PER_US;
  const double hz = cycleUs ? 1'000'000.0 / static_cast<double>(cycleUs) : 0.0;
  if (getMode() == 3) {
    NOTICE << "start cycle=" << cycleUs << "usec " << hz << "Hz size=" << getCycleSize()
           << " cycleMin=" << getMinCycleTime().get() / PS_PER_US << "usec "
           << static_cast<uint64_t>(hz);
  } else {
    NOTICE << "start cycle=" << cycleUs << "usec " << hz << "Hz size=" << getCycleSize()
           << " cycleMin=" << getMinCycleTime().get() / PS_PER_US << "usec " << hz;
  }
  const uint32_t hostFrame = hostFormat.getWid() * hostFormat.getChannel();
  INFO << "Buffer count=" << periodCount << " size=" << bufferBytes << " frameSize=" << hostFrame;
  const unsigned long frames = (bufferBytes / periodCount) / std::max<uint32_t>(hostFrame, 1);
  // A worker that falls behind may step to a later profile entry with a
  // longer cycle; the stream buffer covers the longest of them.
  const int64_t blocks = streamBlocksFor(alsaSetting, getLongestCycleTime(), frames, hostFormat);
  setupBuffer(frames, static_cast<unsigned long>(blocks), false, 0);
  INFO << "syncBuffer size = " << frames << " * " << blocks;

  if (!connectPrepare()) return failed();
  if (occupiedCpu) {
    releaseSendCpu();
    sendCpu = occupiedCpu->commitCpuSend();
  }
  if (!VELLORA::SSyncBuffer::connect(true, sendCpu)) return failed();
  if (!connectWait() || !streamActive(syncState.load())) return failed();

  wantedStatus |= HOST_STATUS_CONNECTED;
  statusUpdate();
  INFO << "connect DONE";
  return volumeStep();
}
