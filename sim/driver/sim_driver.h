#pragma once
// The bridge driver's stand-in. Each card is a file of ring + control block
// in a shared-memory directory, so an application in another process can
// map it and play into it. The daemon side answers every request the way
// the driver does, records them, and can be told to fail or hold one.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/bridge_driver.h"
#include "host/sync_mem_control.h"

namespace vsim {

// $VELLORA_SIM_DIR, or /dev/shm/vellora-sim.
std::string simDir();

// Path of card N's file in dir (named like its device).
std::string simCardPath(const std::string& dir, int memNo);

enum class Req { Probe, Create, Remove, Wakeup, Attach, Notify, Kill, Unknown };

const char* reqName(Req kind);

struct RequestRecord {
  Req kind = Req::Unknown;
  int card = -1;             // card the request is about (-1: none)
  unsigned long number = 0;  // request number as sent
  unsigned long arg = 0;
  long result = 0;
  uint32_t hostStatus = 0;   // card requests: the block's hostStatus when it arrived
  bool daemonMapped = false; // card requests: the daemon still had the card mapped
};

class SimDriver final : public BridgeDriver {
 public:
  explicit SimDriver(std::string dir = simDir());
  ~SimDriver() override;
  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  int openControl() override;
  int openCard(int memNo) override;
  void close(int fd) override;
  long request(int fd, unsigned long number, unsigned long arg) override;
  uint8_t* map(int fd, std::size_t length) override;
  void unmap(uint8_t* base, std::size_t length) override;
  std::string controlPath() const override;
  std::string cardPath(int memNo) const override;

  const std::string& dir() const { return dir_; }

  // The next `times` requests of this kind (-1: all from now on) answer
  // `result` and have no effect.
  void failRequest(Req kind, long result = -1, int times = 1);
  // Requests of this kind block their caller until released.
  void holdRequest(Req kind);
  void releaseRequest(Req kind);
  // Waits until `count` requests of the kind are blocked (or have been).
  bool waitHeld(Req kind, int count, int timeoutMs);

  // The record is bounded, so that a daemon streaming for hours stays flat:
  // every request is counted by kind, and the last kRecentRequests are kept.
  static constexpr std::size_t kRecentRequests = 4096;
  // The requests kept, oldest first.
  std::vector<RequestRecord> requests() const;
  // Every request of the kind since construction, kept or not.
  int count(Req kind) const;
  // Every request since construction.
  long total() const;
  // Descriptors and daemon mappings still open.
  int openDescriptors() const;
  int liveMappings() const;

 private:
  struct Descriptor {
    bool control = false;
    int card = -1;
  };
  struct CardView {  // the driver's own mapping of a card's file
    uint8_t* base = nullptr;
    std::size_t length = 0;
    int users = 0;
  };
  struct FailRule {
    long result = -1;
    int remaining = 0;  // -1: forever
  };

  long answer(const Descriptor& d, unsigned long number, unsigned long arg,
              RequestRecord& rec);
  long createCard(unsigned long ringBytes);
  long removeCard(int memNo);
  void removeAllCards();
  SyncMemControl* blockOf(int memNo);
  void releaseView(int memNo);
  void applyEnvironment();
  // Keeps the record and, with $VELLORA_SIM_LOG set, appends it to that
  // file, so a test can read what another process's daemon asked.
  void keep(const RequestRecord& rec);

  std::string dir_;
  mutable std::mutex mutex_;
  std::condition_variable holdCond_;
  std::map<int, Descriptor> fds_;
  std::map<int, CardView> views_;
  std::map<uint8_t*, std::pair<int, std::size_t>> mappings_;  // base -> card, length
  std::deque<RequestRecord> records_;
  std::array<long, static_cast<std::size_t>(Req::Unknown) + 1> counts_{};
  long total_ = 0;
  std::map<Req, FailRule> fails_;
  std::set<Req> holds_;
  std::map<Req, int> heldCount_;
  int logFd_ = -1;
};

}  // namespace vsim
