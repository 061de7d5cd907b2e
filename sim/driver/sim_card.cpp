#include "sim/driver/sim_card.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/driver/sim_driver.h"

namespace vsim {

uint32_t& simWakeups(SyncMemControl& block) {
  return *reinterpret_cast<uint32_t*>(&block.reservedHead[0]);
}

uint32_t& simNotifies(SyncMemControl& block) {
  return *reinterpret_cast<uint32_t*>(&block.reservedHead[4]);
}

uint32_t& simFlags(SyncMemControl& block) {
  return *reinterpret_cast<uint32_t*>(&block.reservedTail[0]);
}

MemoryCard::MemoryCard(uint32_t ringBytes)
    : ringBytes(ringBytes), storage((ringBytes + SYNC_MEM_CONTROL_SIZE) / 8 + 1, 0) {
  ring = reinterpret_cast<uint8_t*>(storage.data());
  block = reinterpret_cast<SyncMemControl*>(ring + ringBytes);
}

void MemoryCard::geometry(uint32_t bufferBytes, uint32_t periodCount) {
  block->bufferBytes = bufferBytes;
  block->periodCount = periodCount;
}

void MemoryCard::run(bool on) {
  block->memStatus = on ? MEM_STATUS_OPEN | MEM_STATUS_PREPARED | MEM_STATUS_RUNNING
                        : MEM_STATUS_OPEN | MEM_STATUS_PREPARED;
}

bool MemoryCard::write(const std::vector<uint8_t>& bytes) {
  return cardWrite(ring, ringBytes, *block, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool MemoryCard::write(const uint8_t* data, uint32_t n) {
  return cardWrite(ring, ringBytes, *block, data, n);
}

SimCard::~SimCard() { close(); }

bool SimCard::open(int memNo, const std::string& dir) {
  close();
  const int fd = ::open(simCardPath(dir, memNo).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  // The ring must keep the block's 64-bit fields aligned.
  if (::fstat(fd, &st) != 0 || st.st_size <= static_cast<off_t>(SYNC_MEM_CONTROL_SIZE) ||
      (st.st_size - SYNC_MEM_CONTROL_SIZE) % 8 != 0) {
    ::close(fd);
    return false;
  }
  const std::size_t length = static_cast<std::size_t>(st.st_size);
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  base_ = static_cast<uint8_t*>(p);
  length_ = length;
  ringBytes_ = static_cast<uint32_t>(length - SYNC_MEM_CONTROL_SIZE);
  block_ = reinterpret_cast<SyncMemControl*>(base_ + ringBytes_);
  return true;
}

void SimCard::close() {
  if (base_) ::munmap(base_, length_);
  if (fd_ >= 0) ::close(fd_);
  base_ = nullptr;
  block_ = nullptr;
  fd_ = -1;
  length_ = 0;
  ringBytes_ = 0;
}

bool SimCard::attached() {
  return cardLoad(simFlags(*block_), std::memory_order_acquire) & SIM_FLAG_ATTACHED;
}

bool SimCard::removed() {
  return cardLoad(simFlags(*block_), std::memory_order_acquire) & SIM_FLAG_REMOVED;
}

uint32_t SimCard::wakeups() { return cardLoad(simWakeups(*block_), std::memory_order_acquire); }

uint32_t SimCard::notifies() { return cardLoad(simNotifies(*block_), std::memory_order_acquire); }

uint32_t SimCard::hostStatus() { return cardLoad(block_->hostStatus, std::memory_order_acquire); }

uint32_t SimCard::readPos() { return cardLoad(block_->readPos, std::memory_order_acquire); }

int32_t SimCard::volume() { return cardLoad(block_->volume); }

void SimCard::setVolume(int32_t volume) { cardStore(block_->volume, volume); }

namespace {

template <class Pred>
bool waitFor(Pred pred, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

bool SimCard::waitHostStatus(uint32_t bits, int timeoutMs) {
  return waitFor([&] { return (hostStatus() & bits) != 0; }, timeoutMs);
}

bool SimCard::waitAttached(int timeoutMs) {
  return waitFor([&] { return attached(); }, timeoutMs);
}

void SimCard::setMemStatus(uint32_t status) {
  cardStore(block_->memStatus, status, std::memory_order_release);
}

void SimCard::openSubstream() { setMemStatus(MEM_STATUS_OPEN); }

bool SimCard::hwParams(uint64_t format, uint64_t rate, uint64_t channels, uint32_t bufferBytes,
                       uint32_t periodCount) {
  if (bufferBytes == 0 || bufferBytes > ringBytes_ || periodCount == 0 ||
      bufferBytes / periodCount == 0) {
    return false;
  }
  cardStore(block_->format, format);
  cardStore(block_->rate, rate);
  cardStore(block_->channels, channels);
  cardStore(block_->bufferBytes, bufferBytes);
  cardStore(block_->periodCount, periodCount);
  return true;
}

void SimCard::prepare() {
  cardRestartCounters(*block_);
  setMemStatus(MEM_STATUS_OPEN | MEM_STATUS_PREPARED);
}

void SimCard::start() { setMemStatus(MEM_STATUS_OPEN | MEM_STATUS_PREPARED | MEM_STATUS_RUNNING); }

void SimCard::stop() { setMemStatus(MEM_STATUS_OPEN | MEM_STATUS_PREPARED); }

void SimCard::hwFree() { setMemStatus(MEM_STATUS_OPEN); }

void SimCard::closeSubstream() { setMemStatus(0); }

bool SimCard::write(const uint8_t* data, uint32_t n) {
  return cardWrite(base_, ringBytes_, *block_, data, n);
}

void cardRestartCounters(SyncMemControl& block) {
  cardStore(block.writePos, 0u, std::memory_order_release);
  cardStore(block.writeTotal, 0u, std::memory_order_release);
  for (uint32_t& size : block.periodSizes) cardStore(size, 0u);
  cardStore(block.periodSeq, 0u, std::memory_order_release);
}

bool StagedWrite::begin(uint8_t* ring, uint32_t ringBytes, SyncMemControl& block,
                        const uint8_t* data, uint32_t n) {
  const uint32_t buffer = cardLoad(block.bufferBytes);
  if (n == 0 || buffer == 0 || buffer > ringBytes || n > buffer) return false;
  ring_ = ring;
  block_ = &block;
  data_ = data;
  n_ = n;
  buffer_ = buffer;
  pos_ = cardLoad(block.writePos);
  if (pos_ >= buffer) pos_ = 0;
  seq_ = cardLoad(block.periodSeq);
  done_ = Nothing;
  return true;
}

void StagedWrite::advance(Stage stage) {
  if (!block_) return;
  // Each step is published with release, so that a reader that sees it
  // also sees the steps before it.
  while (done_ < stage) {
    switch (done_) {
      case Nothing: {
        const uint32_t first = std::min(n_, buffer_ - pos_);
        std::memcpy(ring_ + pos_, data_, first);
        std::memcpy(ring_, data_ + first, n_ - first);
        done_ = Data;
        break;
      }
      case Data:
        cardStore(block_->periodSizes[seq_ & (PERIOD_SIZE_SLOTS - 1)], n_, std::memory_order_release);
        done_ = Size;
        break;
      case Size:
        cardStore(block_->writeTotal, cardLoad(block_->writeTotal) + n_, std::memory_order_release);
        done_ = Total;
        break;
      case Total:
        cardStore(block_->writePos, (pos_ + n_) % buffer_, std::memory_order_release);
        done_ = Position;
        break;
      case Position:
        cardStore(block_->periodSeq, seq_ + 1, std::memory_order_release);
        done_ = Sequence;
        break;
      case Sequence:
        return;
    }
  }
}

bool cardWrite(uint8_t* ring, uint32_t ringBytes, SyncMemControl& block, const uint8_t* data,
               uint32_t n) {
  StagedWrite w;
  if (!w.begin(ring, ringBytes, block, data, n)) return false;
  w.advance(StagedWrite::Sequence);
  return true;
}

}  // namespace vsim
