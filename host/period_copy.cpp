#include "host/period_copy.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/syslog.h"

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

namespace {

constexpr uint64_t SILENCE_RUN = 30;
// Released writes wait here until served; more than this many buffers of
// unserved audio cannot come from an application that the read position
// paces, so a driver claiming more gets its oldest bytes dropped.
constexpr uint64_t QUEUE_BUFFERS = 2;

constexpr std::array<bool, 256> makeSilenceLike() {
  std::array<bool, 256> t{};
  for (uint8_t b : {0x00, 0xFF, 0x5A, 0x69, 0x96, 0xA5}) t[b] = true;
  return t;
}
constexpr std::array<bool, 256> kSilenceLike = makeSilenceLike();

}  // namespace

bool hasSilenceRun(const uint8_t* data, uint64_t size) {
  // Every write of the stream is scanned, so the scan skips: in a window of
  // SILENCE_RUN bytes it looks from the far end back for a byte that is not
  // silence-like. None: the window is a run. Found at i: no run holds i, so
  // the next window starts after it. Audio mostly ends the look at its
  // first byte, and no byte is looked at more than twice.
  uint64_t start = 0;
  while (size - start >= SILENCE_RUN) {
    uint64_t i = start + SILENCE_RUN - 1;
    while (kSilenceLike[data[i]]) {
      if (i == start) return true;
      --i;
    }
    start = i + 1;
  }
  return false;
}

void PeriodCopy::attach(uint8_t* ring, uint32_t ringBytes, SyncMemControl* block) {
  ring_ = ring;
  ringBytes_ = ringBytes;
  block_ = block;
}

bool PeriodCopy::usableGeometry(uint32_t bufferBytes, uint32_t periodCount, uint32_t ringBytes) {
  return bufferBytes != 0 && bufferBytes <= ringBytes && periodCount != 0 &&
         bufferBytes / periodCount != 0;
}

void PeriodCopy::reset(uint32_t bufferBytes, uint32_t periodCount) {
  connectBufferBytes_ = bufferBytes;
  connectPeriodCount_ = periodCount;
  refusalLogged_ = false;
  readPos = 0;
  underrunArmed = false;
  underrunSeq = 0;
  // A new substream starts the driver's counters from zero; a connection
  // made again under a card that kept running (the target dropped the
  // stream) must go on from where the writer is, or every later take-in
  // reads the ring at the wrong place.
  takePos = 0;
  lastSeq = 0;
  lastTotal = 0;
  if (block_) {
    lastSeq = cardLoad(block_->periodSeq, std::memory_order_acquire);
    lastTotal = cardLoad(block_->writeTotal);
    const uint32_t writePos = cardLoad(block_->writePos);
    if (writePos < bufferBytes) takePos = writePos;
  }
  consumed = 0;
  muteCountdown = 0;
  muteFill = true;
  outQueue.clear();
  lastPeriod.clear();
  if (block_) cardStore(block_->readPos, 0u, std::memory_order_release);
}

void PeriodCopy::advanceRead(uint32_t n, uint32_t bufferBytes) {
  readPos += n;
  if (readPos >= bufferBytes) readPos = 0;
  cardStore(block_->readPos, static_cast<uint32_t>(readPos), std::memory_order_release);
}

bool PeriodCopy::fill(VELLORA::Stream& out, bool delayLine, uint8_t muteByte) {
  if (!block_ || !ring_) {
    out.clear();
    return false;
  }
  if (!(cardLoad(block_->memStatus, std::memory_order_acquire) & MEM_STATUS_RUNNING)) {
    underrunArmed = false;
    out.clear();
    ++stats_.skipped;
    DEBUG << "Buffer Skip";
    return false;
  }

  // The geometry is read once per call and must be the one of the connect.
  const uint32_t bufferBytes = cardLoad(block_->bufferBytes);
  const uint32_t periodCount = cardLoad(block_->periodCount);
  if (bufferBytes != connectBufferBytes_ || periodCount != connectPeriodCount_ ||
      !usableGeometry(bufferBytes, periodCount, ringBytes_) || readPos >= bufferBytes) {
    out.clear();
    ++stats_.refused;
    if (!refusalLogged_) {
      refusalLogged_ = true;
      ERR << "Buffer geometry refused " << bufferBytes << " " << periodCount << " "
          << connectBufferBytes_ << " " << connectPeriodCount_;
    }
    return false;
  }
  const uint32_t period = bufferBytes / periodCount;
  const uint32_t n = std::min<uint64_t>(period, bufferBytes - readPos);
  uint32_t seq = cardLoad(block_->periodSeq, std::memory_order_acquire);

  if (underrunArmed) {
    if (underrunSeq == seq) {
      const uint32_t wp = cardLoad(block_->writePos);
      const uint32_t rp = cardLoad(block_->readPos);
      uint64_t available;
      if (wp < rp) {
        if (rp >= bufferBytes) {
          ERR << "bufuse rd illegal:" << bufferBytes << " " << rp;
          out.clear();
          return false;
        }
        available = uint64_t{wp} + bufferBytes - rp;
      } else {
        available = wp - rp;
      }
      if (available < n) {
        ++stats_.underruns;
        WARNING << "Buffer underrun " << available << " " << n << " " << wp << " " << rp;
        seq = cardLoad(block_->periodSeq, std::memory_order_acquire);
      }
    }
    underrunArmed = false;
  }

  if (!delayLine) {
    out.resize(n);
    std::memcpy(out.data, ring_ + readPos, n);
    advanceRead(n, bufferBytes);
    if (cardLoad(block_->writePos) == readPos) {
      underrunArmed = true;
      underrunSeq = seq;
    }
    return true;
  }

  if (lastSeq != seq) takeIn(seq, bufferBytes, muteByte);

  if (consumed < outQueue.size()) {
    const uint64_t k = std::min<uint64_t>(outQueue.size() - consumed, n);
    out.resize(k);
    std::memcpy(out.data, outQueue.data() + consumed, k);
    consumed += k;
  } else if (muteFill) {
    out.resize(n, muteByte);
  } else {
    out.clear();
  }
  advanceRead(n, bufferBytes);
  return true;
}

void PeriodCopy::takeIn(uint32_t seq, uint32_t bufferBytes, uint8_t muteByte) {
  const uint32_t writes = seq - lastSeq;
  const uint32_t first = lastSeq;
  lastSeq = seq;

  // The ring never holds more than one buffer of unread audio, so no call
  // takes in more than that, whatever the sizes claim.
  uint64_t budget = bufferBytes;
  const int32_t signedWrites = static_cast<int32_t>(writes);
  if (signedWrites >= 1 && signedWrites <= static_cast<int32_t>(PERIOD_SIZE_SLOTS) - 1) {
    for (uint32_t s = first; s != seq; ++s) {
      const uint32_t claimed = cardLoad(block_->periodSizes[s & (PERIOD_SIZE_SLOTS - 1)]);
      // The byte count may already hold the write after seq (the driver
      // publishes it before the sequence number): count only the writes
      // taken in, so that a later take-in by the counter starts where
      // this one ended.
      lastTotal += claimed;
      const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(claimed, budget));
      if (size == 0) continue;
      budget -= size;
      takeOneWrite(size, s, bufferBytes, muteByte);
    }
  } else {
    // Without usable per-write sizes the byte counter gives the amount.
    const uint32_t total = cardLoad(block_->writeTotal);
    const uint32_t bytes = total - lastTotal;
    lastTotal = total;
    const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(bytes, budget));
    if (size != 0) takeOneWrite(size, seq - 1, bufferBytes, muteByte);
  }
}

void PeriodCopy::takeOneWrite(uint32_t size, uint32_t label, uint32_t bufferBytes,
                              uint8_t muteByte) {
  DEBUG << "Alsa Write Size " << size << " " << label;
  incoming_.resize(size);
  const uint64_t first = std::min<uint64_t>(size, bufferBytes - takePos);
  std::memcpy(incoming_.data(), ring_ + takePos, first);
  std::memcpy(incoming_.data() + first, ring_, size - first);
  takePos = (takePos + size) % bufferBytes;
  if (KALMO::SysLog::logs(INFO)) {
    INFO << "Dump:" << KALMO::BufferCS_const{incoming_.data(), incoming_.size()}.dump(48);
  }

  const bool zero = hasSilenceRun(incoming_.data(), incoming_.size());
  const bool same = lastPeriod.size() == incoming_.size() &&
                    std::equal(lastPeriod.begin(), lastPeriod.end(), incoming_.begin());
  if (zero || same) {
    ++stats_.detections;
    INFO << "uninitialized or mute detect " << (zero ? "zero " : "") << (same ? "same " : "")
         << size << " " << label;
  }

  if (same) {
    std::fill(lastPeriod.begin(), lastPeriod.end(), muteByte);
    muteCountdown = 2;
  } else if (zero) {
    if (muteCountdown > 0) std::fill(lastPeriod.begin(), lastPeriod.end(), muteByte);
    muteCountdown = 2;
  } else if (muteCountdown > 0) {
    std::fill(lastPeriod.begin(), lastPeriod.end(), muteByte);
    --muteCountdown;
  }
  if (muteFill && !lastPeriod.empty()) muteFill = false;

  // Release the held write behind what is still unserved, so the audio
  // stays in order.
  if (consumed >= outQueue.size()) {
    outQueue.swap(lastPeriod);
  } else {
    outQueue.erase(outQueue.begin(), outQueue.begin() + static_cast<std::ptrdiff_t>(consumed));
    outQueue.insert(outQueue.end(), lastPeriod.begin(), lastPeriod.end());
  }
  consumed = 0;
  const uint64_t limit = QUEUE_BUFFERS * bufferBytes;
  if (outQueue.size() > limit) {
    const uint64_t drop = outQueue.size() - limit;
    outQueue.erase(outQueue.begin(), outQueue.begin() + static_cast<std::ptrdiff_t>(drop));
    stats_.dropped += drop;
  }
  lastPeriod.swap(incoming_);
}
