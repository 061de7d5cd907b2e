#pragma once
// Every request the daemon makes of the sound-card bridge driver goes
// through this interface: the kernel build talks to the real devices, the
// simulated build to shared-memory files.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

// Request numbers: _IO('x', nr) is 0x7800 + nr; the probe is request 0.
constexpr unsigned long bridgeRequestNumber(unsigned nr) { return 0x7800ul + (nr & 0xFFu); }

// The driver's requests by the driver's own names: each a request number
// and a plain integer argument. The card requests (and the removal) carry
// the card number N in their request number.

// Control device, argument 0: the probe once after opening.
constexpr unsigned long VELLORA_BR_INIT = 0;
// Control device, argument the ring bytes: a new card; the result is its number.
constexpr unsigned long VELLORA_BR_CREATE = bridgeRequestNumber(0);
// Card N, after a change of the block's host status.
constexpr unsigned long VELLORA_BR_WAKEUP(unsigned memNo) { return bridgeRequestNumber(memNo); }
constexpr unsigned long VELLORA_BR_WAKEUP_ARG = 3;
// Card N, once its control block is filled.
constexpr unsigned long VELLORA_BR_ATTACH(unsigned memNo) { return bridgeRequestNumber(memNo); }
constexpr unsigned long VELLORA_BR_ATTACH_ARG = 1;
// Card N, after data was taken from its ring.
constexpr unsigned long VELLORA_BR_NOTIFY(unsigned memNo) { return bridgeRequestNumber(memNo); }
constexpr unsigned long VELLORA_BR_NOTIFY_ARG = 4;
// Control device: card N is removed (after it was unmapped and closed).
constexpr unsigned long VELLORA_BR_REMOVE(unsigned memNo) { return bridgeRequestNumber(memNo); }
constexpr unsigned long VELLORA_BR_REMOVE_ARG = 0;
// Control device: the kill command.
constexpr unsigned VELLORA_BR_KILL_CARD = 255;
constexpr unsigned long VELLORA_BR_KILL = bridgeRequestNumber(VELLORA_BR_KILL_CARD);
constexpr unsigned long VELLORA_BR_KILL_ARG = 5;

// Card numbers the driver hands out.
constexpr int BRIDGE_CARD_MAX = 255;

class BridgeDriver {
 public:
  virtual ~BridgeDriver() = default;

  // Descriptors: -1 on failure.
  virtual int openControl() = 0;
  virtual int openCard(int memNo) = 0;
  virtual void close(int fd) = 0;

  // One request without a data structure; the driver's result (negative on
  // failure).
  virtual long request(int fd, unsigned long number, unsigned long arg) = 0;

  // Shared read-write mapping of a card device at offset 0; null on failure.
  virtual uint8_t* map(int fd, std::size_t length) = 0;
  virtual void unmap(uint8_t* base, std::size_t length) = 0;

  // Device paths, for log lines.
  virtual std::string controlPath() const = 0;
  virtual std::string cardPath(int memNo) const = 0;

  // The requests of the control device.
  long probe(int control) { return request(control, VELLORA_BR_INIT, 0); }
  long create(int control, uint32_t ringBytes) { return request(control, VELLORA_BR_CREATE, ringBytes); }
  long remove(int control, int memNo) {
    return request(control, VELLORA_BR_REMOVE(static_cast<unsigned>(memNo)), VELLORA_BR_REMOVE_ARG);
  }
  // Unnamed by the driver: _IO('x', 0) with argument 0, just before the
  // control device is closed.
  long lastRequest(int control) { return request(control, bridgeRequestNumber(0), 0); }
  long kill(int control) { return request(control, VELLORA_BR_KILL, VELLORA_BR_KILL_ARG); }

  // The requests of card device memNo.
  long wakeup(int card, int memNo) {
    return request(card, VELLORA_BR_WAKEUP(static_cast<unsigned>(memNo)), VELLORA_BR_WAKEUP_ARG);
  }
  long attach(int card, int memNo) {
    return request(card, VELLORA_BR_ATTACH(static_cast<unsigned>(memNo)), VELLORA_BR_ATTACH_ARG);
  }
  long notify(int card, int memNo) {
    return request(card, VELLORA_BR_NOTIFY(static_cast<unsigned>(memNo)), VELLORA_BR_NOTIFY_ARG);
  }
};

// The driver this build of the daemon talks to: defined once for the kernel
// driver and once for the simulated one; each daemon links one of them.
std::unique_ptr<BridgeDriver> makeBridgeDriver();

// Owns one descriptor of a driver device.
class DriverDevice {
 public:
  DriverDevice() = default;
  DriverDevice(BridgeDriver& driver, int fd) : driver_(&driver), fd_(fd) {}
  DriverDevice(const DriverDevice&) = delete;
  DriverDevice& operator=(const DriverDevice&) = delete;
  DriverDevice(DriverDevice&& other) noexcept { *this = std::move(other); }
  DriverDevice& operator=(DriverDevice&& other) noexcept {
    if (this != &other) {
      reset();
      driver_ = other.driver_;
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  ~DriverDevice() { reset(); }

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0 && driver_) driver_->close(fd_);
    fd_ = -1;
  }

 private:
  BridgeDriver* driver_ = nullptr;
  int fd_ = -1;
};
