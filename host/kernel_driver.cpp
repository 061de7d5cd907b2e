// The bridge driver as the kernel provides it: a control device and one
// device per card, driven by plain-number ioctl requests.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "host/bridge_driver.h"

namespace {

class KernelDriver final : public BridgeDriver {
 public:
  int openControl() override { return ::open(controlPath().c_str(), O_RDWR | O_CLOEXEC); }

  int openCard(int memNo) override {
    if (memNo < 0 || memNo > BRIDGE_CARD_MAX) return -1;
    return ::open(cardPath(memNo).c_str(), O_RDWR | O_CLOEXEC);
  }

  void close(int fd) override {
    if (fd >= 0) ::close(fd);
  }

  long request(int fd, unsigned long number, unsigned long arg) override {
    return ::ioctl(fd, number, arg);
  }

  uint8_t* map(int fd, std::size_t length) override {
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
  }

  void unmap(uint8_t* base, std::size_t length) override {
    if (base) ::munmap(base, length);
  }

  std::string controlPath() const override { return "/dev/vellora-alsa"; }

  std::string cardPath(int memNo) const override {
    char path[64];
    std::snprintf(path, sizeof path, "/dev/vellora-alsa_%d", memNo);
    return path;
  }
};

}  // namespace

std::unique_ptr<BridgeDriver> makeBridgeDriver() { return std::make_unique<KernelDriver>(); }
