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
// Released writes wait here until served. A writer that the read position
// paces leaves at most a buffer of them besides the write held back; one
// whose application lets the stream run on through an underrun may, after
// a stall, write as much more as the read position ran ahead of it in the
// meantime, one period per block. The queue keeps room for a stall of this
// many blocks; only a driver that claims more gets its oldest bytes
// dropped, so that the queue stays bounded.
constexpr uint64_t STALL_BLOCKS = 16;
// A writer between two stores of one write is seen again at once; one that
// keeps the counters moving longer than this is taken as it was last read.
constexpr int SNAPSHOT_TRIES = 4;
constexpr uint32_t SLOT_MASK = PERIOD_SIZE_SLOTS - 1;

constexpr std::array<bool, 256> makeSilenceLike() {
  std::array<bool, 256> t{};
  for (uint8_t b : {0x00, 0xFF, 0x5A, 0x69, 0x96, 0xA5}) t[b] = true;
  return t;
}
constexpr std::array<bool, 256> kSilenceLike = makeSilenceLike();

bool backwards(uint32_t now, uint32_t before) { return static_cast<int32_t>(now - before) < 0; }

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
  // New writes are taken in from where the driver's counters stand: a new
  // substream has them at zero, a connection made again under a card that
  // kept running goes on from where the writer is. What was written before
  // is gone with the silence the connect fills the ring with.
  Writer w;
  if (block_) w = readWriter();
  lastSeq = w.seq;
  lastTotal = w.total;
  takePos = w.pos < bufferBytes ? w.pos : 0;
  seenSeq_ = w.seq;
  seenTotal_ = w.total;
  seenPos_ = takePos;
  fresh_ = 0;
  consumed = 0;
  muteCountdown = 0;
  muteFill = true;
  outQueue.clear();
  lastPeriod.clear();
  ranSinceRelease_ = false;
  owesHeld_.store(false, std::memory_order_release);
  if (block_) cardStore(block_->readPos, 0u, std::memory_order_release);
}

PeriodCopy::Writer PeriodCopy::readWriter() const {
  Writer w;
  for (int attempt = 0; attempt < SNAPSHOT_TRIES && !w.steady; ++attempt) {
    w.seq = cardLoad(block_->periodSeq, std::memory_order_acquire);
    // The position before the count: the driver publishes the count first,
    // so a count read after its position is never behind it.
    w.pos = cardLoad(block_->writePos, std::memory_order_acquire);
    w.total = cardLoad(block_->writeTotal, std::memory_order_acquire);
    w.steady = cardLoad(block_->periodSeq, std::memory_order_acquire) == w.seq;
  }
  return w;
}

PeriodCopy::Advance PeriodCopy::advance(const Writer& w, uint32_t fromSeq, uint32_t fromTotal,
                                        uint64_t fromPos, uint32_t bufferBytes) const {
  Advance a;
  if (backwards(w.seq, fromSeq) || backwards(w.total, fromTotal)) {
    // The application prepared the card again: the driver counts and
    // writes from zero.
    a.restarted = true;
    fromSeq = 0;
    fromTotal = 0;
    fromPos = 0;
  }
  a.fromSeq = fromSeq;
  a.bytes = w.total - fromTotal;
  a.total = w.total;
  if ((fromPos + a.bytes) % bufferBytes == w.pos) return a;
  // A byte count out before its write position: the newest write waits for
  // the next look, when its position is out too.
  const uint32_t newest = cardLoad(block_->periodSizes[w.seq & SLOT_MASK]);
  if (newest != 0 && newest <= a.bytes && (fromPos + a.bytes - newest) % bufferBytes == w.pos) {
    a.bytes -= newest;
    a.total -= newest;
    // Its data is in the ring already, from the write position on, over
    // the oldest of the counted bytes when they fill the rest of the ring.
    a.ahead = std::min(newest, bufferBytes);
    return a;
  }
  // Counters that do not meet where the last look left off: the writer's
  // position is the one place known to be right.
  a.realigned = true;
  return a;
}

void PeriodCopy::advanceRead(uint32_t n, uint32_t bufferBytes) {
  readPos += n;
  if (readPos >= bufferBytes) readPos = 0;
  cardStore(block_->readPos, static_cast<uint32_t>(readPos), std::memory_order_release);
}

void PeriodCopy::endCall(bool delayLine) {
  owesHeld_.store(delayLine && (ranSinceRelease_ || consumed < outQueue.size()),
                  std::memory_order_release);
  calls_.fetch_add(1, std::memory_order_acq_rel);
}

bool PeriodCopy::geometry(uint32_t& bufferBytes, uint32_t& period) {
  // The geometry is read once per call and must be the one of the connect.
  bufferBytes = cardLoad(block_->bufferBytes);
  const uint32_t periodCount = cardLoad(block_->periodCount);
  if (bufferBytes != connectBufferBytes_ || periodCount != connectPeriodCount_ ||
      !usableGeometry(bufferBytes, periodCount, ringBytes_) || readPos >= bufferBytes) {
    return false;
  }
  period = bufferBytes / periodCount;
  return true;
}

bool PeriodCopy::fill(VELLORA::Stream& out, bool delayLine, uint8_t muteByte) {
  if (!block_ || !ring_) {
    out.clear();
    return false;
  }
  if (!(cardLoad(block_->memStatus, std::memory_order_acquire) & MEM_STATUS_RUNNING)) {
    underrunArmed = false;
    bool served = false;
    if (delayLine) serveAfterStop(out, muteByte, served);
    if (!served) {
      out.clear();
      ++stats_.skipped;
      DEBUG << "Buffer Skip";
    }
    endCall(delayLine);
    return false;
  }

  uint32_t bufferBytes = 0, period = 0;
  if (!geometry(bufferBytes, period)) {
    out.clear();
    ++stats_.refused;
    if (!refusalLogged_) {
      refusalLogged_ = true;
      ERR << "Buffer geometry refused " << cardLoad(block_->bufferBytes) << " "
          << cardLoad(block_->periodCount) << " " << connectBufferBytes_ << " "
          << connectPeriodCount_;
    }
    endCall(delayLine);
    return false;
  }
  if (!delayLine) followWriter(bufferBytes);
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
          endCall(delayLine);
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
    copySimple(out, n, bufferBytes, muteByte);
    advanceRead(n, bufferBytes);
    if (cardLoad(block_->writePos) == readPos) {
      underrunArmed = true;
      underrunSeq = seq;
    }
    endCall(false);
    return true;
  }

  ranSinceRelease_ = true;
  const Writer w = readWriter();
  if ((w.seq != lastSeq || w.total != lastTotal || w.pos != takePos) && w.pos < bufferBytes) {
    takeIn(w, bufferBytes, muteByte);
  }
  if (!serveQueue(out, n)) {
    if (muteFill) {
      out.resize(n, muteByte);
    } else {
      out.clear();
    }
  }
  advanceRead(n, bufferBytes);
  endCall(true);
  return true;
}

void PeriodCopy::followWriter(uint32_t bufferBytes) {
  // The bytes the writer put before its position since the reader last
  // passed them are the only ones worth sending; the reader goes on at its
  // own pace, so after a stall it may sit before them (it reaches them
  // after a lap) or inside them (those behind it would come out of order
  // a lap later, and count as passed).
  const Writer w = readWriter();
  if (w.pos >= bufferBytes) return;
  const Advance a = advance(w, seenSeq_, seenTotal_, seenPos_, bufferBytes);
  if (a.restarted || a.realigned) ++stats_.realigned;
  fresh_ = std::min<uint64_t>((a.restarted ? 0 : fresh_) + a.bytes, bufferBytes - a.ahead);
  seenSeq_ = w.seq;
  seenTotal_ = a.total;
  seenPos_ = w.pos;
  if (a.restarted) {
    // The application prepared the card again (after an underrun, say)
    // and fills the buffer anew from its start: the reader goes there, so
    // that the new audio plays from its first byte.
    readPos = (seenPos_ + bufferBytes - fresh_) % bufferBytes;
    underrunArmed = false;
    cardStore(block_->readPos, static_cast<uint32_t>(readPos), std::memory_order_release);
  }
}

void PeriodCopy::copySimple(VELLORA::Stream& out, uint32_t n, uint32_t bufferBytes,
                            uint8_t muteByte) {
  const uint64_t first = (seenPos_ + bufferBytes - fresh_) % bufferBytes;
  const uint64_t at = (readPos + bufferBytes - first) % bufferBytes;
  uint64_t from = 0, len = 0;
  if (at < fresh_) {
    len = std::min<uint64_t>(n, fresh_ - at);
    fresh_ = at + n < fresh_ ? fresh_ - at - n : 0;
  } else if (bufferBytes - at < n) {
    from = bufferBytes - at;
    len = std::min<uint64_t>(n - from, fresh_);
    fresh_ -= len;
  }
  out.resize(n);
  if (len == n) {
    std::memcpy(out.data, ring_ + readPos, n);
    return;
  }
  std::memset(out.data, muteByte, n);
  if (len) std::memcpy(out.data + from, ring_ + readPos + from, len);
  stats_.unwritten += n - len;
}

void PeriodCopy::takeIn(const Writer& w, uint32_t bufferBytes, uint8_t muteByte) {
  const Advance a = advance(w, lastSeq, lastTotal, takePos, bufferBytes);
  if (a.restarted || a.realigned) ++stats_.realigned;

  // Where one write ends and the next begins, from the write sizes, when
  // the driver still holds them all and they did not change under the read.
  uint32_t count = 0;
  uint64_t listed = 0;
  const uint32_t writes = w.seq - a.fromSeq;
  if (w.steady && writes >= 1 && writes <= PERIOD_SIZE_SLOTS - 1) {
    for (uint32_t s = a.fromSeq; s != w.seq; ++s) {
      sizes_[count] = cardLoad(block_->periodSizes[s & SLOT_MASK]);
      labels_[count] = s;
      listed += sizes_[count];
      ++count;
    }
    const uint32_t now = cardLoad(block_->periodSeq, std::memory_order_acquire);
    if (now - w.seq >= PERIOD_SIZE_SLOTS - writes) {
      count = 0;
      listed = 0;
    }
  }
  uint32_t head = 0;
  // Drops bytes from the front of the list of writes.
  auto dropFront = [&](uint64_t bytes) {
    while (bytes > 0 && head < count) {
      if (sizes_[head] <= bytes) {
        bytes -= sizes_[head];
        listed -= sizes_[head];
        ++head;
      } else {
        sizes_[head] -= static_cast<uint32_t>(bytes);
        listed -= bytes;
        bytes = 0;
      }
    }
  };
  uint64_t bytes = a.bytes;
  // The byte counter is what the ring holds. Listed bytes beyond it were
  // taken in at an earlier look, by a count out before its periodSeq; bytes
  // beyond the listed writes belong to a write whose periodSeq is not out.
  if (listed > bytes) dropFront(listed - bytes);
  if (listed < bytes) {
    sizes_[count] = static_cast<uint32_t>(bytes - listed);
    labels_[count] = count ? w.seq : w.seq - 1;
    ++count;
    listed = bytes;
  }
  // More than the ring holds since the last look (a buffer, less a write
  // whose data is out before its position): the oldest bytes are gone.
  const uint64_t intact = bufferBytes - a.ahead;
  if (bytes > intact) {
    stats_.overwritten += bytes - intact;
    dropFront(bytes - intact);
    bytes = intact;
  }
  uint64_t from = (w.pos + bufferBytes - bytes) % bufferBytes;
  for (uint32_t i = head; i < count; ++i) {
    if (sizes_[i] == 0) continue;
    takeOneWrite(sizes_[i], labels_[i], from, bufferBytes, muteByte);
    from = (from + sizes_[i]) % bufferBytes;
  }
  lastSeq = w.seq;
  lastTotal = a.total;
  takePos = w.pos;
}

void PeriodCopy::takeOneWrite(uint32_t size, uint32_t label, uint64_t from, uint32_t bufferBytes,
                              uint8_t muteByte) {
  DEBUG << "Alsa Write Size " << size << " " << label;
  incoming_.resize(size);
  const uint64_t first = std::min<uint64_t>(size, bufferBytes - from);
  std::memcpy(incoming_.data(), ring_ + from, first);
  std::memcpy(incoming_.data() + first, ring_, size - first);
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
  releaseHeld();
  lastPeriod.swap(incoming_);
}

void PeriodCopy::releaseHeld() {
  if (muteFill && !lastPeriod.empty()) muteFill = false;
  // Behind what is still unserved, so the audio stays in order.
  if (consumed >= outQueue.size()) {
    outQueue.swap(lastPeriod);
  } else {
    outQueue.erase(outQueue.begin(), outQueue.begin() + static_cast<std::ptrdiff_t>(consumed));
    outQueue.insert(outQueue.end(), lastPeriod.begin(), lastPeriod.end());
  }
  consumed = 0;
  const uint64_t limit = 2 * uint64_t{connectBufferBytes_} + STALL_BLOCKS * connectPeriod();
  if (outQueue.size() > limit) {
    const uint64_t drop = outQueue.size() - limit;
    outQueue.erase(outQueue.begin(), outQueue.begin() + static_cast<std::ptrdiff_t>(drop));
    stats_.dropped += drop;
  }
}

bool PeriodCopy::serveQueue(VELLORA::Stream& out, uint64_t n) {
  if (consumed >= outQueue.size()) return false;
  const uint64_t k = std::min<uint64_t>(outQueue.size() - consumed, n);
  out.resize(k);
  std::memcpy(out.data, outQueue.data() + consumed, k);
  consumed += k;
  return true;
}

uint32_t PeriodCopy::connectPeriod() const {
  return connectPeriodCount_ ? connectBufferBytes_ / connectPeriodCount_ : 0;
}

void PeriodCopy::serveAfterStop(VELLORA::Stream& out, uint8_t muteByte, bool& served) {
  // The card stopped running: nothing will push the held write out of the
  // delay line any more, so it goes out now, with what the writer added
  // since the last block, muted only if the detection still says so. The
  // read position stays, as it does for every call while the card stops.
  // A card prepared again with another choice has the ring in a new
  // geometry, but what was taken in before still belongs to this stream.
  if (!ranSinceRelease_ && consumed >= outQueue.size()) return;
  uint32_t bufferBytes = 0, period = 0;
  const bool sameGeometry = geometry(bufferBytes, period);
  if (!sameGeometry) period = connectPeriod();
  if (period == 0) return;
  if (ranSinceRelease_) {
    ranSinceRelease_ = false;
    if (sameGeometry) {
      const Writer w = readWriter();
      if ((w.seq != lastSeq || w.total != lastTotal || w.pos != takePos) && w.pos < bufferBytes) {
        takeIn(w, bufferBytes, muteByte);
      }
    }
    if (!lastPeriod.empty()) {
      if (muteCountdown > 0) {
        std::fill(lastPeriod.begin(), lastPeriod.end(), muteByte);
        --muteCountdown;
      }
      releaseHeld();
      lastPeriod.clear();
      ++stats_.released;
    }
  }
  // Whole periods: the read position no longer moves, so the end of the
  // ring does not cut these blocks short.
  served = serveQueue(out, period);
}
