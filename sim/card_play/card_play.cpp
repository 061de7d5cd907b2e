#include "sim/card_play/card_play.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "sim/driver/sim_driver.h"

namespace vsim {

namespace {

constexpr uint64_t DSD_FORMATS = 0x0F000000;
constexpr uint64_t UNBOUNDED = UINT64_MAX;
constexpr uint32_t CHUNK_BYTES = 1u << 16;

uint64_t lowestBit(uint64_t mask) { return mask & (~mask + 1); }

// Channel count of the card's channel word: its lowest bit b stands for b + 1.
uint32_t channelCount(uint64_t channels) {
  for (uint32_t b = 0; b < 64; ++b) {
    if (channels & (uint64_t{1} << b)) return b + 1;
  }
  return 0;
}

uint32_t le16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

using Clock = std::chrono::steady_clock;

}  // namespace

uint32_t cardSampleBytes(uint64_t format) {
  switch (format) {
    case 0x1: return 1;
    case 0x2: return 2;
    case 0x8: return 3;
    case 0x80: return 4;
    case 0x200: return 8;
    case 0x800: return 4;
    case 0x1000: return 8;
    default: return (format & DSD_FORMATS) && lowestBit(format) == format ? 4 : 0;
  }
}

uint64_t cardRateHz(uint64_t rate) {
  if (rate == 1) return 8000;
  for (unsigned k = 0; k <= 12; ++k) {
    if (rate == uint64_t{1} << (2 * k + 1)) return 44100ull << k;
    if (rate == uint64_t{1} << (2 * k + 2)) return 48000ull << k;
  }
  return 0;
}

CardPlay::CardPlay(CardPlayOptions options) : options_(std::move(options)) {
  if (options_.dir.empty()) options_.dir = simDir();
}

void CardPlay::pattern(uint64_t offset, uint8_t* out, uint64_t n, uint32_t sampleBytes) {
  if (sampleBytes == 0) sampleBytes = 2;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t pos = offset + i;
    const uint64_t value = pos / sampleBytes + 1;
    out[i] = static_cast<uint8_t>(value >> (8 * (pos % sampleBytes)));
  }
}

std::vector<uint8_t> CardPlay::pattern(uint64_t offset, uint64_t n, uint32_t sampleBytes) {
  std::vector<uint8_t> v(n);
  pattern(offset, v.data(), n, sampleBytes);
  return v;
}

uint64_t CardPlay::fnv1a(const uint8_t* data, uint64_t n, uint64_t hash) {
  for (uint64_t i = 0; i < n; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

bool CardPlay::open() {
  const auto deadline = Clock::now() + std::chrono::milliseconds(options_.timeoutMs);
  // The daemon creates the card and then attaches it; wait for both.
  while (!card_.open(options_.card, options_.dir)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return card_.waitAttached(static_cast<int>(std::max<int64_t>(left.count(), 0)));
}

bool CardPlay::readWavHeader() {
  file_.open(options_.file, std::ios::binary);
  if (!file_) return false;
  file_.seekg(0, std::ios::end);
  const std::streamoff fileSize = file_.tellg();
  file_.seekg(0);
  uint8_t riff[12];
  if (fileSize < 12 || !file_.read(reinterpret_cast<char*>(riff), 12) ||
      std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return false;
  }
  bool haveFormat = false;
  std::streamoff at = 12;
  for (int chunks = 0; chunks < 64 && at + 8 <= fileSize; ++chunks) {
    uint8_t head[8];
    file_.seekg(at);
    if (!file_.read(reinterpret_cast<char*>(head), 8)) return false;
    const uint32_t size = le32(head + 4);
    const std::streamoff body = at + 8;
    if (std::memcmp(head, "fmt ", 4) == 0) {
      uint8_t fmt[40] = {};
      if (size < 16) return false;
      if (!file_.read(reinterpret_cast<char*>(fmt), std::min<uint32_t>(size, sizeof fmt))) {
        return false;
      }
      uint32_t kind = le16(fmt);
      if (kind == 0xFFFE && size >= 26) kind = le16(fmt + 24);
      const uint32_t channels = le16(fmt + 2);
      const uint32_t rate = le32(fmt + 4);
      const uint32_t bits = le16(fmt + 14);
      uint64_t format = 0;
      if (kind == 1) {
        format = bits == 8 ? 0x1 : bits == 16 ? 0x2 : bits == 24 ? 0x8 : bits == 32 ? 0x80
                                                                          : bits == 64 ? 0x200 : 0;
      } else if (kind == 3) {
        format = bits == 32 ? 0x800 : bits == 64 ? 0x1000 : 0;
      }
      uint64_t rateBit = 0;
      for (unsigned b = 0; b < 27; ++b) {
        if (cardRateHz(uint64_t{1} << b) == rate) rateBit = uint64_t{1} << b;
      }
      if (format == 0 || rateBit == 0 || channels == 0 || channels > 64) return false;
      if (options_.format == 0) options_.format = format;
      if (options_.rate == 0) options_.rate = rateBit;
      if (options_.channels == 0) options_.channels = uint64_t{1} << (channels - 1);
      haveFormat = true;
    } else if (std::memcmp(head, "data", 4) == 0) {
      if (!haveFormat) return false;
      sourceBytes_ = std::min<uint64_t>(size, static_cast<uint64_t>(fileSize - body));
      file_.seekg(body);
      return true;
    }
    at = body + size + (size & 1);
  }
  return false;
}

bool CardPlay::choose() {
  SyncMemControl& b = card_.block();
  if (options_.source == CardPlayOptions::Source::Wav && !readWavHeader()) return false;

  const uint64_t formats = cardLoad(b.formatMask);
  const uint64_t rates = cardLoad(b.rateMask);
  const uint64_t channels = cardLoad(b.channelMask);
  if (options_.format == 0) {
    options_.format = (formats & 0x2) ? 0x2 : (formats & 0x8) ? 0x8 : lowestBit(formats);
  }
  if (options_.rate == 0) {
    options_.rate = (rates & 0x4) ? 0x4 : (rates & 0x2) ? 0x2 : lowestBit(rates);
  }
  if (options_.channels == 0) {
    options_.channels = (channels & 0x2) ? 0x2 : lowestBit(channels);
  }
  sampleBytes_ = cardSampleBytes(options_.format);
  frameBytes_ = sampleBytes_ * channelCount(options_.channels);
  const uint32_t frame = std::max<uint32_t>(frameBytes_, 1);

  if (options_.periodCount == 0) {
    const int32_t lo = cardLoad(b.periodMin), hi = cardLoad(b.periodMax);
    options_.periodCount = static_cast<uint32_t>(lo > 0 && hi >= lo ? std::clamp(4, lo, hi) : 4);
  }
  if (options_.bufferBytes == 0) {
    // About 10 ms per period, in whole frames, within the card's limits.
    const int32_t lo = cardLoad(b.periodSizeMin), hi = cardLoad(b.periodSizeMax);
    uint64_t period = cardRateHz(options_.rate) * frame / 100;
    if (hi > 0) period = std::min<uint64_t>(period, static_cast<uint64_t>(hi));
    if (lo > 0) period = std::max<uint64_t>(period, static_cast<uint64_t>(lo));
    period = std::max<uint64_t>(period / frame * frame, frame);
    while (options_.periodCount > 1 && period * options_.periodCount > card_.ringBytes()) {
      --options_.periodCount;
    }
    options_.bufferBytes = static_cast<uint32_t>(
        std::min<uint64_t>(period * options_.periodCount, card_.ringBytes() / frame * frame));
  }
  periodBytes_ = options_.periodCount ? options_.bufferBytes / options_.periodCount : 0;

  switch (options_.source) {
    case CardPlayOptions::Source::Pattern: {
      uint64_t n = options_.bytes;
      if (n == 0 && options_.seconds > 0) {
        n = static_cast<uint64_t>(options_.seconds * static_cast<double>(cardRateHz(options_.rate))) *
            frame;
      }
      sourceBytes_ = n == 0 ? UNBOUNDED : n / frame * frame;
      break;
    }
    case CardPlayOptions::Source::Raw: {
      file_.open(options_.file, std::ios::binary);
      if (!file_) return false;
      file_.seekg(0, std::ios::end);
      const std::streamoff size = file_.tellg();
      file_.seekg(0);
      if (size < 0) return false;
      sourceBytes_ = static_cast<uint64_t>(size) / frame * frame;
      break;
    }
    case CardPlayOptions::Source::Wav:
      sourceBytes_ = sourceBytes_ / frame * frame;
      break;
  }
  return periodBytes_ > 0;
}

uint32_t CardPlay::prepare() {
  card_.openSubstream();
  if (!card_.hwParams(options_.format, options_.rate, options_.channels, options_.bufferBytes,
                      options_.periodCount)) {
    return 0;
  }
  card_.prepare();
  consumed_ = written_;
  lastRead_ = 0;
  // As a driver would, hold the application in prepare until the daemon
  // has connected (or refused), so nothing it writes is cleared by the
  // connect.
  if (!card_.waitHostStatus(HOST_STATUS_CONNECTED | HOST_STATUS_ERROR, options_.timeoutMs)) {
    return 0;
  }
  return card_.hostStatus();
}

void CardPlay::prepareAgain() {
  staleRead_ = card_.readPos();
  readStale_ = true;
  card_.prepare();
  consumed_ = written_;
  lastRead_ = 0;
}

uint64_t CardPlay::remaining() const {
  return sourceBytes_ == UNBOUNDED ? UNBOUNDED : sourceBytes_ - sourceDone_;
}

uint64_t CardPlay::nextChunk(uint8_t* out, uint64_t n) {
  n = std::min(n, remaining());
  if (options_.source == CardPlayOptions::Source::Pattern) {
    pattern(sourceDone_, out, n, sampleBytes_);
  } else if (!file_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n))) {
    n = static_cast<uint64_t>(std::max<std::streamsize>(file_.gcount(), 0));
  }
  sourceDone_ += n;
  return n;
}

bool CardPlay::updateConsumed() {
  const uint32_t buffer = options_.bufferBytes;
  const uint32_t rp = card_.readPos();
  if (buffer == 0 || rp >= buffer) return true;
  if (readStale_) {
    if (rp == staleRead_) return true;
    readStale_ = false;
  }
  const uint64_t moved = (uint64_t{rp} + buffer - lastRead_) % buffer;
  lastRead_ = rp;
  // The daemon's read position can run ahead of a late writer; what it
  // passed beyond the written bytes frees nothing more.
  const bool behind = consumed_ + moved > written_;
  consumed_ = std::min(consumed_ + moved, written_);
  return !behind;
}

bool CardPlay::writeOne(uint64_t maxBytes) {
  const uint64_t fill = written_ - consumed_;
  const uint64_t want = std::min({uint64_t{periodBytes_}, remaining(), maxBytes});
  if (want == 0 || fill + want > options_.bufferBytes) return false;
  chunk_.resize(static_cast<std::size_t>(want));
  const uint64_t got = nextChunk(chunk_.data(), want);
  if (got == 0 || !card_.write(chunk_.data(), static_cast<uint32_t>(got))) return false;
  checksum_ = fnv1a(chunk_.data(), got, checksum_);
  written_ += got;
  return true;
}

void CardPlay::prefillBuffer() {
  while (writeOne(UINT64_MAX)) {
  }
}

void CardPlay::start() { card_.start(); }

uint64_t CardPlay::play(uint64_t bytes) {
  const uint64_t start = written_;
  // How long the audio written ahead lasts at the least: the buffer less
  // the period being written, read at twice the rate (a daemon catching up
  // after a late cycle sends two cycles in one).
  const uint64_t byteRate = 2 * cardRateHz(options_.rate) * frameBytes_;
  const uint64_t ahead = std::max<uint64_t>(options_.bufferBytes - periodBytes_, periodBytes_);
  const auto lasts = std::chrono::microseconds(byteRate ? ahead * 1000000 / byteRate : 0);
  auto lastProgress = Clock::now();
  auto lastPoll = lastProgress;
  while (written_ - start < bytes && remaining() > 0 && !card_.removed()) {
    const uint64_t before = consumed_;
    const auto now = Clock::now();
    const bool away = now - lastPoll >= lasts;
    lastPoll = now;
    if (!updateConsumed() || away) ++late_;
    if (writeOne(bytes - (written_ - start)) || consumed_ != before) {
      lastProgress = Clock::now();
      continue;
    }
    if (Clock::now() - lastProgress > std::chrono::milliseconds(options_.timeoutMs)) break;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return written_ - start;
}

bool CardPlay::drain() {
  auto lastProgress = Clock::now();
  while (consumed_ < written_ && !card_.removed()) {
    const uint64_t before = consumed_;
    updateConsumed();
    if (consumed_ != before) lastProgress = Clock::now();
    if (Clock::now() - lastProgress > std::chrono::milliseconds(options_.timeoutMs)) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return consumed_ == written_;
}

void CardPlay::stop() { card_.stop(); }

void CardPlay::unprepare() { card_.hwFree(); }

void CardPlay::close() {
  if (card_.isOpen()) card_.closeSubstream();
  card_.close();
  file_.close();
}

bool CardPlay::run() {
  if (!open() || !choose() || remaining() == UNBOUNDED) return false;
  const uint32_t status = prepare();
  if ((status & HOST_STATUS_CONNECTED) == 0 || (status & HOST_STATUS_ERROR) != 0) return false;
  if (options_.prefill) prefillBuffer();
  start();
  playAll();
  const bool complete = remaining() == 0 && drain();
  stop();
  unprepare();
  close();
  return complete;
}

}  // namespace vsim
