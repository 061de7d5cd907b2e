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
  cardStore(block_->writePos, 0u);
  cardStore(block_->writeTotal, 0u);
  for (uint32_t& size : block_->periodSizes) cardStore(size, 0u);
  cardStore(block_->periodSeq, 0u, std::memory_order_release);
  setMemStatus(MEM_STATUS_OPEN | MEM_STATUS_PREPARED);
}

void SimCard::start() { setMemStatus(MEM_STATUS_OPEN | MEM_STATUS_PREPARED | MEM_STATUS_RUNNING); }

void SimCard::stop() { setMemStatus(MEM_STATUS_OPEN | MEM_STATUS_PREPARED); }

void SimCard::hwFree() { setMemStatus(MEM_STATUS_OPEN); }

void SimCard::closeSubstream() { setMemStatus(0); }

bool SimCard::write(const uint8_t* data, uint32_t n) {
  return cardWrite(base_, ringBytes_, *block_, data, n);
}

bool cardWrite(uint8_t* ring, uint32_t ringBytes, SyncMemControl& block, const uint8_t* data,
               uint32_t n) {
  const uint32_t buffer = cardLoad(block.bufferBytes);
  if (n == 0 || buffer == 0 || buffer > ringBytes || n > buffer) return false;
  uint32_t pos = cardLoad(block.writePos);
  if (pos >= buffer) pos = 0;
  const uint32_t first = std::min(n, buffer - pos);
  std::memcpy(ring + pos, data, first);
  std::memcpy(ring, data + first, n - first);

  const uint32_t seq = cardLoad(block.periodSeq);
  cardStore(block.periodSizes[seq & (PERIOD_SIZE_SLOTS - 1)], n);
  cardStore(block.writeTotal, cardLoad(block.writeTotal) + n);
  cardStore(block.writePos, (pos + n) % buffer);
  cardStore(block.periodSeq, seq + 1, std::memory_order_release);
  return true;
}

}  // namespace vsim
