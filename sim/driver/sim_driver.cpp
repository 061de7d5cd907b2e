#include "sim/driver/sim_driver.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/driver/sim_card.h"

namespace vsim {

namespace {

// Larger rings than this are refused, as a driver would refuse them.
constexpr unsigned long MAX_RING_BYTES = 1ul << 30;

bool makeDir(const std::string& dir) {
  // Creates every missing level of the path.
  std::string partial;
  std::size_t start = 0;
  while (start <= dir.size()) {
    std::size_t slash = dir.find('/', start);
    if (slash == std::string::npos) slash = dir.size();
    partial = dir.substr(0, slash);
    if (!partial.empty() && ::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      return false;
    }
    start = slash + 1;
  }
  struct stat st{};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Req parseReq(const std::string& name) {
  for (Req r : {Req::Probe, Req::Create, Req::Remove, Req::Wakeup, Req::Attach, Req::Notify,
                Req::Kill}) {
    if (name == reqName(r)) return r;
  }
  return Req::Unknown;
}

}  // namespace

std::string simDir() {
  const char* dir = std::getenv("VELLORA_SIM_DIR");
  return (dir && *dir) ? dir : "/dev/shm/vellora-sim";
}

std::string simCardPath(const std::string& dir, int memNo) {
  return dir + "/vellora-alsa_" + std::to_string(memNo);
}

const char* reqName(Req kind) {
  switch (kind) {
    case Req::Probe: return "probe";
    case Req::Create: return "create";
    case Req::Remove: return "remove";
    case Req::Wakeup: return "wakeup";
    case Req::Attach: return "attach";
    case Req::Notify: return "notify";
    case Req::Kill: return "kill";
    case Req::Unknown: break;
  }
  return "unknown";
}

SimDriver::SimDriver(std::string dir) : dir_(std::move(dir)) { applyEnvironment(); }

SimDriver::~SimDriver() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [fd, d] : fds_) ::close(fd);
  if (logFd_ >= 0) ::close(logFd_);
  for (auto& [card, view] : views_) ::munmap(view.base, view.length);
  for (auto& [base, info] : mappings_) ::munmap(base, info.second);
}

// VELLORA_SIM_FAIL="notify,wakeup:2" makes a daemon built for the stand-in
// fail chosen requests: a kind alone fails every request of that kind, a
// kind with a count fails that many.
void SimDriver::applyEnvironment() {
  const char* log = std::getenv("VELLORA_SIM_LOG");
  if (log && *log) logFd_ = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const char* chosen = std::getenv("VELLORA_SIM_FAIL");
  if (!chosen) return;
  std::string text(chosen);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string item = text.substr(start, comma - start);
    start = comma + 1;
    int times = -1;
    const std::size_t colon = item.find(':');
    if (colon != std::string::npos) {
      times = std::atoi(item.c_str() + colon + 1);
      item.resize(colon);
      if (times <= 0) continue;
    }
    const Req kind = parseReq(item);
    if (kind != Req::Unknown) fails_[kind] = FailRule{-1, times};
  }
}

std::string SimDriver::controlPath() const { return dir_ + "/vellora-alsa"; }

std::string SimDriver::cardPath(int memNo) const { return simCardPath(dir_, memNo); }

int SimDriver::openControl() {
  if (!makeDir(dir_)) return -1;
  const int fd = ::open(controlPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  fds_[fd] = Descriptor{true, -1};
  return fd;
}

int SimDriver::openCard(int memNo) {
  if (memNo < 0 || memNo > BRIDGE_CARD_MAX) return -1;
  const int fd = ::open(cardPath(memNo).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || st.st_size <= static_cast<off_t>(SYNC_MEM_CONTROL_SIZE)) {
    ::close(fd);
    return -1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  CardView& view = views_[memNo];
  if (!view.base) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      views_.erase(memNo);
      ::close(fd);
      return -1;
    }
    view.base = static_cast<uint8_t*>(p);
    view.length = static_cast<std::size_t>(st.st_size);
  }
  ++view.users;
  fds_[fd] = Descriptor{false, memNo};
  return fd;
}

void SimDriver::releaseView(int memNo) {
  auto it = views_.find(memNo);
  if (it == views_.end()) return;
  if (--it->second.users <= 0) {
    ::munmap(it->second.base, it->second.length);
    views_.erase(it);
  }
}

void SimDriver::close(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  if (!it->second.control) releaseView(it->second.card);
  fds_.erase(it);
  ::close(fd);
}

uint8_t* SimDriver::map(int fd, std::size_t length) {
  int card = -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = fds_.find(fd);
    if (it == fds_.end() || it->second.control) return nullptr;
    card = it->second.card;
    auto view = views_.find(card);
    // The device maps exactly its ring and block, no more.
    if (view == views_.end() || length == 0 || length > view->second.length) return nullptr;
  }
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  mappings_[static_cast<uint8_t*>(p)] = {card, length};
  return static_cast<uint8_t*>(p);
}

void SimDriver::unmap(uint8_t* base, std::size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = mappings_.find(base);
  if (it == mappings_.end()) return;
  ::munmap(base, length);
  mappings_.erase(it);
}

SyncMemControl* SimDriver::blockOf(int memNo) {
  auto it = views_.find(memNo);
  if (it == views_.end()) return nullptr;
  return reinterpret_cast<SyncMemControl*>(it->second.base + it->second.length -
                                           SYNC_MEM_CONTROL_SIZE);
}

long SimDriver::request(int fd, unsigned long number, unsigned long arg) {
  std::unique_lock<std::mutex> lock(mutex_);
  RequestRecord rec;
  rec.number = number;
  rec.arg = arg;
  auto it = fds_.find(fd);
  if (it == fds_.end()) {
    rec.result = -1;
    keep(rec);
    return -1;
  }
  const Descriptor d = it->second;

  // Classify first, so holds and failures apply to the right kind.
  const unsigned long base = bridgeRequestNumber(0);
  const bool cardRange = number >= base && number <= bridgeRequestNumber(0xFF);
  const int nr = cardRange ? static_cast<int>(number - base) : -1;
  if (d.control) {
    if (number == VELLORA_BR_INIT && arg == 0) rec.kind = Req::Probe;
    else if (number == VELLORA_BR_CREATE && arg != 0) rec.kind = Req::Create;
    else if (number == VELLORA_BR_KILL && arg == VELLORA_BR_KILL_ARG) rec.kind = Req::Kill;
    // Also the last request: VELLORA_BR_REMOVE(0) is its number and argument.
    else if (cardRange && number == VELLORA_BR_REMOVE(static_cast<unsigned>(nr)) && arg == VELLORA_BR_REMOVE_ARG)
      rec.kind = Req::Remove;
    if (rec.kind == Req::Remove) rec.card = nr;
  } else {
    rec.card = d.card;
    const unsigned card = static_cast<unsigned>(d.card);
    if (nr == d.card) {
      if (number == VELLORA_BR_WAKEUP(card) && arg == VELLORA_BR_WAKEUP_ARG) rec.kind = Req::Wakeup;
      else if (number == VELLORA_BR_ATTACH(card) && arg == VELLORA_BR_ATTACH_ARG) rec.kind = Req::Attach;
      else if (number == VELLORA_BR_NOTIFY(card) && arg == VELLORA_BR_NOTIFY_ARG) rec.kind = Req::Notify;
    }
  }

  if (holds_.count(rec.kind)) {
    ++heldCount_[rec.kind];
    holdCond_.notify_all();
    holdCond_.wait(lock, [&] { return holds_.count(rec.kind) == 0; });
  }

  if (!d.control) {
    if (SyncMemControl* block = blockOf(d.card)) {
      rec.hostStatus = cardLoad(block->hostStatus, std::memory_order_acquire);
    }
    for (const auto& [mapBase, info] : mappings_) {
      if (info.first == d.card) rec.daemonMapped = true;
    }
  }

  auto fail = fails_.find(rec.kind);
  if (fail != fails_.end() && fail->second.remaining != 0) {
    rec.result = fail->second.result;
    if (fail->second.remaining > 0) --fail->second.remaining;
  } else {
    rec.result = answer(d, number, arg, rec);
  }
  keep(rec);
  return rec.result;
}

void SimDriver::keep(const RequestRecord& rec) {
  ++counts_[static_cast<std::size_t>(rec.kind)];
  ++total_;
  if (records_.size() == kRecentRequests) records_.pop_front();
  records_.push_back(rec);
  if (logFd_ < 0) return;
  // One line per request: "<kind> <card> <arg> <result>", written whole.
  char line[96];
  const int n = std::snprintf(line, sizeof line, "%s %d %lu %ld\n", reqName(rec.kind), rec.card, rec.arg,
                              rec.result);
  if (n > 0 && static_cast<std::size_t>(n) < sizeof line) {
    (void)!::write(logFd_, line, static_cast<std::size_t>(n));
  }
}

long SimDriver::answer(const Descriptor& d, unsigned long, unsigned long arg,
                       RequestRecord& rec) {
  switch (rec.kind) {
    case Req::Probe: return 0;
    case Req::Create: return createCard(arg);
    case Req::Remove: return removeCard(rec.card);
    case Req::Kill: removeAllCards(); return 0;
    case Req::Wakeup:
    case Req::Attach:
    case Req::Notify: {
      SyncMemControl* block = blockOf(d.card);
      if (!block) return -1;
      std::atomic_ref<uint32_t> counter(rec.kind == Req::Notify ? simNotifies(*block)
                                                                : simWakeups(*block));
      if (rec.kind == Req::Attach) {
        std::atomic_ref<uint32_t>(simFlags(*block)).fetch_or(SIM_FLAG_ATTACHED,
                                                             std::memory_order_release);
      } else {
        counter.fetch_add(1, std::memory_order_release);
      }
      return 0;
    }
    case Req::Unknown: break;
  }
  return -1;
}

long SimDriver::createCard(unsigned long ringBytes) {
  if (ringBytes == 0 || ringBytes > MAX_RING_BYTES) return -1;
  if (!makeDir(dir_)) return -1;
  for (int n = 0; n <= BRIDGE_CARD_MAX; ++n) {
    const std::string path = cardPath(n);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    const bool sized =
        ::ftruncate(fd, static_cast<off_t>(ringBytes + SYNC_MEM_CONTROL_SIZE)) == 0;
    ::close(fd);
    if (!sized) {
      ::unlink(path.c_str());
      return -1;
    }
    return n;
  }
  return -1;
}

long SimDriver::removeCard(int memNo) {
  const std::string path = cardPath(memNo);
  // Tell an application that still has the card mapped that it is gone.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  if (::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(SYNC_MEM_CONTROL_SIZE)) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
      auto* block = reinterpret_cast<SyncMemControl*>(static_cast<uint8_t*>(p) + st.st_size -
                                                      SYNC_MEM_CONTROL_SIZE);
      std::atomic_ref<uint32_t>(simFlags(*block)).fetch_or(SIM_FLAG_REMOVED,
                                                           std::memory_order_release);
      ::munmap(p, static_cast<std::size_t>(st.st_size));
    }
  }
  ::close(fd);
  return ::unlink(path.c_str()) == 0 ? 0 : -1;
}

void SimDriver::removeAllCards() {
  for (int n = 0; n <= BRIDGE_CARD_MAX; ++n) {
    if (::access(cardPath(n).c_str(), F_OK) == 0) removeCard(n);
  }
}

void SimDriver::failRequest(Req kind, long result, int times) {
  std::lock_guard<std::mutex> lock(mutex_);
  fails_[kind] = FailRule{result, times};
}

void SimDriver::holdRequest(Req kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  holds_.insert(kind);
}

void SimDriver::releaseRequest(Req kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  holds_.erase(kind);
  holdCond_.notify_all();
}

bool SimDriver::waitHeld(Req kind, int count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return holdCond_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return heldCount_[kind] >= count; });
}

std::vector<RequestRecord> SimDriver::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<RequestRecord>(records_.begin(), records_.end());
}

int SimDriver::count(Req kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(counts_[static_cast<std::size_t>(kind)]);
}

long SimDriver::total() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

int SimDriver::openDescriptors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(fds_.size());
}

int SimDriver::liveMappings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(mappings_.size());
}

}  // namespace vsim
