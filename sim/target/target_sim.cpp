#include "sim/target/target_sim.h"

#include "base/thread_priority.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <utility>

namespace vsim {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Big enough for any UDP datagram; what arrives is logged whole.
constexpr size_t kReceiveSize = 65536;
// Datagrams taken from one endpoint before the others get their turn.
constexpr int kBurst = 64;

sockaddr_in6 toSockaddr(const KALMO::IPAddress& a, uint32_t scope) {
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  std::memcpy(&sa.sin6_port, &a.port, 2);
  std::memcpy(&sa.sin6_addr, a.address, 16);
  sa.sin6_scope_id = scope;
  return sa;
}

KALMO::IPAddress fromSockaddr(const sockaddr_in6& sa) {
  KALMO::IPAddress a;
  std::memcpy(a.address, &sa.sin6_addr, 16);
  std::memcpy(&a.port, &sa.sin6_port, 2);
  a.interfaceIndex = sa.sin6_scope_id;
  return a;
}

void putWord(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  if (bytes.size() < offset + 2) return;
  bytes[offset] = static_cast<uint8_t>(value & 0xFF);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

// NO_ENDPOINT matches every endpoint, ANY_CODE every datagram (valid or not).
bool matches(const Datagram& d, EndpointId id, int code) {
  return (id == NO_ENDPOINT || d.endpoint == id) &&
         (code == ANY_CODE || (d.valid && d.code == code));
}

Datagram parse(std::vector<uint8_t> bytes, const KALMO::IPAddress& sender, EndpointId endpoint) {
  VELLORA::Receive r;
  r.datagram.assign(bytes.begin(), bytes.end());
  Datagram d;
  d.valid = static_cast<bool>(r);
  d.code = r.getMessage();
  d.status = r.getStatus();
  d.option = r.getOption();
  const KALMO::BufferCS_const p = r.get_data_CS();
  if (p.size != 0) d.payload.assign(p.data, p.data + p.size);
  d.bytes = std::move(bytes);
  d.sender = sender;
  d.endpoint = endpoint;
  d.time.now();
  return d;
}

}  // namespace

KALMO::IPAddress ipv6(const std::string& text, uint16_t port, uint32_t scope) {
  KALMO::IPAddress a;
  in6_addr addr{};
  if (::inet_pton(AF_INET6, text.c_str(), &addr) == 1) std::memcpy(a.address, &addr, 16);
  const uint16_t net = htons(port);
  std::memcpy(&a.port, &net, 2);
  a.interfaceIndex = scope;
  return a;
}

uint16_t portOf(const KALMO::IPAddress& address) {
  uint16_t net = 0;
  std::memcpy(&net, &address.port, 2);
  return ntohs(net);
}

bool linkLocalOf(const std::string& device, KALMO::IPAddress& out) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET6) continue;
    if (i->ifa_name == nullptr || device != i->ifa_name) continue;
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
    if (sa->sin6_addr.s6_addr[0] != 0xFE || sa->sin6_addr.s6_addr[1] != 0x80) continue;
    out = KALMO::IPAddress{};
    std::memcpy(out.address, &sa->sin6_addr, 16);
    out.interfaceIndex = ::if_nametoindex(device.c_str());
    found = out.interfaceIndex != 0;
  }
  ::freeifaddrs(list);
  return found;
}

Answer Answer::withText(const std::string& text, uint64_t option) {
  Answer a;
  a.option = option;
  a.payload.assign(text.begin(), text.end());
  return a;
}

struct TargetSim::Endpoint {
  EndpointId id = NO_ENDPOINT;
  int fd = -1;
  KALMO::IPAddress bound;
  Endpoint() = default;
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  ~Endpoint() {
    if (fd >= 0) ::close(fd);
  }
};

TargetSim::TargetSim() {
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) return;
  running_ = true;
  // The host gives most answers 10 ms a try; on a machine whose CPUs are all
  // busy a thread of the normal class can wait longer than that for one.
  // A modest real-time class (below the streaming worker's critical one)
  // when permitted, else the normal class. Taken before the constructor
  // returns: a new thread may otherwise wait for its first turn in the
  // normal class while the first request is already under way.
  std::promise<void> classTaken;
  std::future<void> taken = classTaken.get_future();
  thread_ = std::thread([this, done = std::move(classTaken)]() mutable {
    (void)KALMO::ThreadPriority::setPriority(KALMO::ThreadPriority::getSelfThreadID(),
                                             KALMO::ThreadPriority::HIGH);
    done.set_value();
    run();
  });
  taken.wait();
}

TargetSim::~TargetSim() {
  stop_ = true;
  wake();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Handlers and timers may hold captures that refer to endpoints; drop
    // them before the sockets.
    timers_.clear();
    codeHandlers_.clear();
    endpointHandlers_.clear();
    endpoints_.clear();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TargetSim::wake() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

EndpointId TargetSim::addEndpoint(const KALMO::IPAddress& address) {
  EndpointSpec layout;
  layout.address = address;
  return addEndpoint(layout);
}

EndpointId TargetSim::addEndpoint(const EndpointSpec& layout) {
  auto ep = std::make_shared<Endpoint>();
  ep->fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (ep->fd < 0) return NO_ENDPOINT;
  const int on = 1;
  ::setsockopt(ep->fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  // Unicast and multicast endpoints of several targets share port 19642.
  // Only a port asked for by number is shared: with the option, a port the
  // system chooses may be one that another endpoint already has, and that
  // endpoint's datagrams would go astray.
  if (layout.address.port != 0) ::setsockopt(ep->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Audio bursts must not be dropped here; beyond the system's limit only
  // with the right to force it.
  const int rcvbuf = 4 << 20;
  if (::setsockopt(ep->fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0) {
    ::setsockopt(ep->fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  }

  uint32_t scope = layout.address.interfaceIndex;
  if (!layout.device.empty()) {
    const unsigned index = ::if_nametoindex(layout.device.c_str());
    if (index == 0) return NO_ENDPOINT;
    if (::setsockopt(ep->fd, SOL_SOCKET, SO_BINDTODEVICE, layout.device.c_str(),
                     static_cast<socklen_t>(layout.device.size())) != 0) {
      return NO_ENDPOINT;
    }
    if (scope == 0) scope = index;
  }
  sockaddr_in6 sa = toSockaddr(layout.address, scope);
  if (::bind(ep->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return NO_ENDPOINT;
  sockaddr_in6 got{};
  socklen_t len = sizeof got;
  if (::getsockname(ep->fd, reinterpret_cast<sockaddr*>(&got), &len) != 0) return NO_ENDPOINT;
  ep->bound = fromSockaddr(got);
  ep->bound.interfaceIndex = scope;
  if (scope != 0) {
    ::setsockopt(ep->fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &scope, sizeof scope);
  }
  if (layout.joinAllNodes) {
    ipv6_mreq req{};
    ::inet_pton(AF_INET6, "ff02::1", &req.ipv6mr_multiaddr);
    req.ipv6mr_interface = scope;
    if (::setsockopt(ep->fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &req, sizeof req) != 0) {
      return NO_ENDPOINT;
    }
  }
  EndpointId id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = nextId_++;
    ep->id = id;
    endpoints_[id] = std::move(ep);
  }
  wake();
  return id;
}

bool TargetSim::removeEndpoint(EndpointId id) {
  std::shared_ptr<Endpoint> gone;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = endpoints_.find(id);
    if (it == endpoints_.end()) return false;
    gone = std::move(it->second);
    endpoints_.erase(it);
    endpointHandlers_.erase(id);
    for (auto h = codeHandlers_.begin(); h != codeHandlers_.end();) {
      h = h->first.first == id ? codeHandlers_.erase(h) : std::next(h);
    }
    for (auto s = scripts_.begin(); s != scripts_.end();) {
      s = s->first.first == id ? scripts_.erase(s) : std::next(s);
    }
  }
  // The engine may still poll this socket; it closes when the engine lets go.
  wake();
  return true;
}

std::shared_ptr<TargetSim::Endpoint> TargetSim::find(EndpointId id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = endpoints_.find(id);
  return it == endpoints_.end() ? nullptr : it->second;
}

KALMO::IPAddress TargetSim::address(EndpointId id) const {
  std::shared_ptr<Endpoint> ep = find(id);
  return ep ? ep->bound : KALMO::IPAddress{};
}

void TargetSim::onCode(EndpointId id, uint16_t code, Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  if (handler) {
    codeHandlers_[{id, code}] = std::make_shared<Handler>(std::move(handler));
  } else {
    codeHandlers_.erase({id, code});
  }
}

void TargetSim::onEndpoint(EndpointId id, Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  if (handler) {
    endpointHandlers_[id] = std::make_shared<Handler>(std::move(handler));
  } else {
    endpointHandlers_.erase(id);
  }
}

void TargetSim::script(EndpointId id, int code, const Script& script) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_[{id, code}] = ScriptState{script, 0};
}

void TargetSim::unscript(EndpointId id, int code) {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_.erase({id, code});
}

bool TargetSim::send(EndpointId from, const KALMO::IPAddress& to, KALMO::BufferCS_const bytes) {
  std::shared_ptr<Endpoint> ep = find(from);
  if (!ep) return false;
  const uint32_t scope = to.interfaceIndex != 0 ? to.interfaceIndex : ep->bound.interfaceIndex;
  const sockaddr_in6 sa = toSockaddr(to, scope);
  // A full send queue on a non-blocking socket is waited out, for a while.
  for (int attempt = 0; attempt < 50; ++attempt) {
    const ssize_t n = ::sendto(ep->fd, bytes.data, bytes.size, 0,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n >= 0) return static_cast<size_t>(n) == bytes.size;
    if (errno == EAGAIN || errno == ENOBUFS) {
      pollfd p{ep->fd, POLLOUT, 0};
      if (::poll(&p, 1, 10) < 0 && errno != EINTR) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return false;
}

bool TargetSim::send(EndpointId from, const KALMO::IPAddress& to,
                     const std::vector<uint8_t>& bytes) {
  return send(from, to, KALMO::BufferCS_const{bytes.data(), bytes.size()});
}

bool TargetSim::send(EndpointId from, const KALMO::IPAddress& to, const VELLORA::Send& record) {
  return send(from, to, static_cast<KALMO::BufferCS_const>(record));
}

void TargetSim::after(std::chrono::milliseconds delay, std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    timers_.emplace(SteadyClock::now() + delay, std::move(work));
  }
  wake();
}

void TargetSim::sendLater(std::chrono::milliseconds delay, EndpointId from,
                          const KALMO::IPAddress& to, std::vector<uint8_t> bytes) {
  after(delay, [this, from, to, bytes = std::move(bytes)] { send(from, to, bytes); });
}

void TargetSim::sendDelayed(std::chrono::milliseconds delay, EndpointId from,
                            const KALMO::IPAddress& to, std::vector<uint8_t> bytes) {
  if (delay.count() <= 0) {
    send(from, to, bytes);
  } else {
    sendLater(delay, from, to, std::move(bytes));
  }
}

uint16_t TargetSim::answerCode(uint16_t requestCode) {
  return VELLORA::answerOf(static_cast<VELLORA::MessageID>(requestCode));
}

std::vector<uint8_t> TargetSim::build(uint16_t code, VELLORA::StatusID status, uint64_t option,
                                      const std::vector<uint8_t>& payload) {
  VELLORA::SendBuffer b;
  if (!b.resize(payload.size())) return {};
  if (!payload.empty()) std::memcpy(b.get_data(), payload.data(), payload.size());
  b.set(static_cast<VELLORA::MessageID>(code), status, option);
  b.update();
  return std::vector<uint8_t>(b.buffer.begin(), b.buffer.end());
}

bool TargetSim::reply(const Datagram& request, const Answer& answer, EndpointId from) {
  const uint16_t code =
      answer.code >= 0 ? static_cast<uint16_t>(answer.code) : answerCode(request.code);
  return send(from != NO_ENDPOINT ? from : request.endpoint, request.sender,
              build(code, answer.status, answer.option, answer.payload));
}

bool TargetSim::answerDefault(const Datagram& request) {
  // Audio packets are not requests; a sink answers them only by feedback.
  if (!request.valid || (request.code & 1) != 0 || request.code == VELLORA::STREAMDATA_REQ) {
    return false;
  }
  return reply(request, Answer{});
}

void TargetSim::applyScript(const Datagram& d, const Script& s) {
  const Answer& a = s.answer;
  const uint16_t code = a.code >= 0 ? static_cast<uint16_t>(a.code) : answerCode(d.code);
  std::vector<uint8_t> bytes;
  bool sendIt = true;
  switch (s.action) {
    case Script::Action::ANSWER:
      bytes = build(code, a.status, a.option, a.payload);
      break;
    case Script::Action::REFUSE:
      bytes = build(code, a.status & static_cast<VELLORA::StatusID>(~VELLORA::STATUS_ACK), a.option,
                    a.payload);
      break;
    case Script::Action::ECHO:
      bytes = d.bytes;
      break;
    case Script::Action::MALFORMED:
      bytes = build(code, a.status, a.option, a.payload);
      switch (s.malformed) {
        case Malformed::BAD_MAGIC:
          putWord(bytes, 0, VELLORA::MAGIC - 1);
          break;
        case Malformed::SHORT:
          bytes.resize(10);
          break;
        case Malformed::LENGTH_TOO_LARGE:
          putWord(bytes, 2, VELLORA::lengthWord(a.payload.size() + 8));
          break;
        case Malformed::LENGTH_WORD:
          putWord(bytes, 2, s.lengthWord);
          break;
      }
      break;
    case Script::Action::RAW:
      bytes = s.raw;
      break;
    case Script::Action::SILENT:
    case Script::Action::HANDLER:
      sendIt = false;
      break;
  }
  if (sendIt) sendDelayed(s.delay, s.from != NO_ENDPOINT ? s.from : d.endpoint, d.sender, bytes);
  if (s.thenAnswer) {
    sendDelayed(s.delay, d.endpoint, d.sender,
                build(answerCode(d.code), VELLORA::STATUS_ACK, a.option, a.payload));
  }
}

void TargetSim::dispatch(const Datagram& d) {
  bool scripted = false;
  bool silent = false;
  Script s;
  std::shared_ptr<Handler> codeHandler;
  std::shared_ptr<Handler> endpointHandler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (d.valid) {
      auto it = scripts_.find({d.endpoint, d.code});
      if (it == scripts_.end()) it = scripts_.find({d.endpoint, ANY_CODE});
      if (it != scripts_.end()) {
        scripted = true;
        ++it->second.seen;
        silent = it->second.seen <= it->second.script.silentFirst;
        s = it->second.script;
      }
      auto h = codeHandlers_.find({d.endpoint, d.code});
      if (h != codeHandlers_.end()) codeHandler = h->second;
    }
    auto e = endpointHandlers_.find(d.endpoint);
    if (e != endpointHandlers_.end()) endpointHandler = e->second;
  }
  if (silent) return;
  if (scripted && s.action != Script::Action::HANDLER) {
    applyScript(d, s);
    return;
  }
  if (codeHandler && (*codeHandler)(*this, d)) return;
  if (endpointHandler && (*endpointHandler)(*this, d)) return;
  answerDefault(d);
}

void TargetSim::record(const Datagram& d) {
  {
    std::lock_guard<std::mutex> lock(logMu_);
    log_.push_back(d);
    while (log_.size() > logLimit_) {
      log_.pop_front();
      ++firstSeq_;
    }
  }
  logCv_.notify_all();
}

void TargetSim::receiveFrom(const std::shared_ptr<Endpoint>& ep) {
  std::vector<uint8_t>& space = receiveSpace_;
  space.resize(kReceiveSize);
  for (int i = 0; i < kBurst && !stop_; ++i) {
    sockaddr_in6 from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(ep->fd, space.data(), space.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;  // EAGAIN: drained; anything else: try next round
    const Datagram d = parse(std::vector<uint8_t>(space.begin(), space.begin() + n),
                             fromSockaddr(from), ep->id);
    record(d);
    dispatch(d);
  }
}

void TargetSim::run() {
  std::vector<std::shared_ptr<Endpoint>> eps;
  std::vector<pollfd> fds;
  while (!stop_) {
    int timeoutMs = -1;
    {
      std::lock_guard<std::mutex> lock(mu_);
      eps.clear();
      for (auto& [id, ep] : endpoints_) eps.push_back(ep);
      if (!timers_.empty()) {
        const auto left = timers_.begin()->first - SteadyClock::now();
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
        timeoutMs = us <= 0 ? 0 : static_cast<int>((us + 999) / 1000);
      }
    }
    fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
    for (auto& ep : eps) fds.push_back(pollfd{ep->fd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (stop_) break;
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
    }
    // Due timers, in order of their time.
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (timers_.empty() || timers_.begin()->first > SteadyClock::now()) break;
        work = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
      }
      work();
    }
    for (size_t i = 0; i < eps.size(); ++i) {
      if (fds[i + 1].revents & POLLIN) receiveFrom(eps[i]);
    }
    eps.clear();
  }
  running_ = false;
}

std::vector<Datagram> TargetSim::received() const {
  std::lock_guard<std::mutex> lock(logMu_);
  return std::vector<Datagram>(log_.begin(), log_.end());
}

std::vector<Datagram> TargetSim::received(EndpointId id, int code) const {
  std::lock_guard<std::mutex> lock(logMu_);
  std::vector<Datagram> out;
  for (const Datagram& d : log_) {
    if (matches(d, id, code)) out.push_back(d);
  }
  return out;
}

size_t TargetSim::count(EndpointId id, int code) const {
  std::lock_guard<std::mutex> lock(logMu_);
  size_t n = 0;
  for (const Datagram& d : log_) {
    if (matches(d, id, code)) ++n;
  }
  return n;
}

bool TargetSim::waitFor(EndpointId id, int code, size_t n,
                        std::chrono::milliseconds timeout) const {
  // Counts incrementally: a stream fills the log much faster than a full
  // scan per arrival could keep up with.
  std::unique_lock<std::mutex> lock(logMu_);
  size_t seen = 0;
  uint64_t scanned = firstSeq_;
  return logCv_.wait_for(lock, timeout, [&] {
    const uint64_t end = firstSeq_ + log_.size();
    for (uint64_t seq = std::max(scanned, firstSeq_); seq < end; ++seq) {
      seen += matches(log_[static_cast<size_t>(seq - firstSeq_)], id, code) ? 1 : 0;
    }
    scanned = end;
    return seen >= n;
  });
}

bool TargetSim::waitUntil(const std::function<bool(const std::deque<Datagram>&)>& done,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(logMu_);
  return logCv_.wait_for(lock, timeout, [&] { return done(log_); });
}

void TargetSim::clearLog() {
  std::lock_guard<std::mutex> lock(logMu_);
  firstSeq_ += log_.size();
  log_.clear();
}

void TargetSim::setLogLimit(size_t limit) {
  std::lock_guard<std::mutex> lock(logMu_);
  logLimit_ = limit;
  while (log_.size() > logLimit_) {
    log_.pop_front();
    ++firstSeq_;
  }
}

}  // namespace vsim
