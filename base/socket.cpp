#include "base/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>

namespace KALMO {

namespace {

// A retry send waits for room in the send queue at most this long in all,
// and tries at most this often, so a queue that stays full (or a system
// that keeps answering ENOBUFS) cannot hold the sender for ever.
constexpr uint64_t kRetryWindowPs = 20'000'000'000ULL;  // 20 ms
constexpr int kRetryTries = 64;
// ENOBUFS is not a full queue of this socket, so poll would not wait for it.
constexpr long kNoBufferPauseNs = 200'000;  // 200 us

bool setIntOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

uint32_t v4Bytes(const IPAddress& a) {
  uint32_t v;
  std::memcpy(&v, a.address + 12, 4);  // already network order
  return v;
}

void setMappedV4(IPAddress& a, const sockaddr_in& in) {
  std::memset(a.address, 0, 10);
  a.address[10] = 0xff;
  a.address[11] = 0xff;
  std::memcpy(a.address + 12, &in.sin_addr, 4);
  a.port = in.sin_port;
}

sockaddr_in toV4(const IPAddress& a) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_port = a.port;
  s.sin_addr.s_addr = v4Bytes(a);
  return s;
}

void pauseShortly(uint64_t remainingPs) {
  long ns = kNoBufferPauseNs;
  if (remainingPs / 1000 < static_cast<uint64_t>(ns)) ns = static_cast<long>(remainingPs / 1000);
  timespec t{0, ns};
  ::nanosleep(&t, nullptr);
}

// Waits until the queue has room again or the time is up.
void waitForRoom(int fd, uint64_t remainingPs) {
  pollfd p{fd, POLLOUT, 0};
  timespec t{};
  t.tv_sec = static_cast<time_t>(remainingPs / 1'000'000'000'000ULL);
  t.tv_nsec = static_cast<long>((remainingPs / 1000) % 1'000'000'000ULL);
  ::ppoll(&p, 1, &t, nullptr);
}

}  // namespace

Socket::~Socket() {
  if (fd != -1) closeDescriptor();
}

Socket::Socket(Socket&& other) noexcept
    : fd(std::exchange(other.fd, -1)),
      defaultDestination(other.defaultDestination),
      type(other.type),
      receiveSize(other.receiveSize),
      blocking(other.blocking),
      lastError(other.lastError.load(std::memory_order_relaxed)),
      interfaceIndex(other.interfaceIndex) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd = std::exchange(other.fd, -1);
    defaultDestination = other.defaultDestination;
    type = other.type;
    receiveSize = other.receiveSize;
    blocking = other.blocking;
    lastError.store(other.lastError.load(std::memory_order_relaxed), std::memory_order_relaxed);
    interfaceIndex = other.interfaceIndex;
  }
  return *this;
}

bool Socket::isStream() const { return type == TCP_IPV4 || type == TCP_IPV6 || type == TCP_DUAL; }

void Socket::closeDescriptor() {
  if (isStream()) ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

timeval Socket::waitTime(Clock timeout) {
  const uint64_t ps = timeout;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ps / 1'000'000'000'000ULL);
  tv.tv_usec = static_cast<suseconds_t>((ps / 1'000'000ULL) % 1'000'000ULL);
  return tv;
}

uint64_t Socket::waitWindow(Clock timeout) {
  const uint64_t ps = timeout;
  return ps - ps % 1'000'000ULL;
}

bool Socket::open(Type newType) {
  if (fd != -1) close();
  type = newType;
  int domain = 0;
  int kind = 0;
  switch (newType) {
    case TCP_IPV4: domain = AF_INET; kind = SOCK_STREAM; break;
    case UDP_IPV4: domain = AF_INET; kind = SOCK_DGRAM; break;
    case TCP_IPV6:
    case TCP_DUAL: domain = AF_INET6; kind = SOCK_STREAM; break;
    case UDP_IPV6:
    case UDP_DUAL: domain = AF_INET6; kind = SOCK_DGRAM; break;
  }
  // An unknown type asks for domain 0, kind 0, which the system refuses.
  fd = ::socket(domain, kind | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fd = -1;
    return false;
  }
  if (newType == UDP_IPV4) {
    if (!setIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1)) {
      ::close(fd);
      fd = -1;
      return false;
    }
    int off = 0;
    ::ioctl(fd, FIONBIO, &off);
  }
  // Best effort: some of these do not apply to every kind of socket.
  setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  setIntOption(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DO);
  if (newType == TCP_IPV6 || newType == UDP_IPV6) setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
  if (newType == TCP_DUAL || newType == UDP_DUAL) setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
  blocking = true;
  return true;
}

void Socket::close() {
  if (fd == -1) return;
  closeDescriptor();
  fd = -1;
}

bool Socket::shutdown() { return ::shutdown(fd, SHUT_RDWR) == 0; }

bool Socket::setBlocking(bool block) {
  int nonBlocking = block ? 0 : 1;
  if (::ioctl(fd, FIONBIO, &nonBlocking) != 0) return false;
  blocking = block;
  return true;
}

bool Socket::bindV6(IPAddress& local, unsigned backlog) {
  interfaceIndex = 0;
  sockaddr_in6 s{};
  s.sin6_family = AF_INET6;
  s.sin6_port = local.port;
  std::memcpy(&s.sin6_addr, local.address, 16);
  s.sin6_flowinfo = 0;
  if (local.isLinkLocal()) {
    interfaceIndex = local.interfaceIndex;
  } else if (local.isLoopback()) {
    if (local.interfaceIndex != 0) {
      interfaceIndex = local.interfaceIndex;
    } else {
      InterfaceMap mine;
      if (!getMyAddresV6(mine)) return false;
      IPAddress loopback;
      loopback.address[15] = 1;
      auto it = mine.lower_bound(loopback);
      if (it != mine.end() && it->first.isLoopback()) interfaceIndex = it->first.interfaceIndex;
    }
  }
  s.sin6_scope_id = interfaceIndex;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) {
    lastError.store(errno, std::memory_order_relaxed);
    return false;
  }
  if (local.port == 0) {
    sockaddr_in6 bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) return false;
    local.port = bound.sin6_port;
  }
  if (isStream() && ::listen(fd, static_cast<int>(backlog > INT_MAX ? INT_MAX : backlog)) != 0)
    return false;
  if (interfaceIndex != 0) setIntOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, static_cast<int>(interfaceIndex));
  return true;
}

bool Socket::bindV4(IPAddress local) {
  const sockaddr_in s = toV4(local);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) return false;
  if (type == UDP_IPV4 || type == UDP_IPV6 || type == UDP_DUAL)
    return setIntOption(fd, SOL_SOCKET, SO_BROADCAST, 1);
  return true;
}

sockaddr_in6 Socket::destinationV6(const IPAddress& to) const {
  sockaddr_in6 s{};
  s.sin6_family = AF_INET6;
  s.sin6_port = to.port;
  std::memcpy(&s.sin6_addr, to.address, 16);
  s.sin6_flowinfo = 0;
  s.sin6_scope_id = interfaceIndex != 0 ? interfaceIndex : to.interfaceIndex;
  return s;
}

void Socket::setToV6(const IPAddress& to) {
  const uint32_t flow = defaultDestination.sin6_flowinfo;
  defaultDestination = destinationV6(to);
  defaultDestination.sin6_flowinfo = flow;
}

void Socket::getToV6(IPAddress& to) const {
  to.port = defaultDestination.sin6_port;
  std::memcpy(to.address, &defaultDestination.sin6_addr, 16);
  to.interfaceIndex = interfaceIndex != 0 ? 0 : defaultDestination.sin6_scope_id;
}

bool Socket::setInterface(unsigned index) {
  return setIntOption(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, static_cast<int>(index));
}

bool Socket::memberV6(const IPAddress& group) {
  ipv6_mreq m{};
  std::memcpy(&m.ipv6mr_multiaddr, group.address, 16);
  m.ipv6mr_interface = group.interfaceIndex;
  return ::setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &m, sizeof m) == 0;
}

bool Socket::memberV4(const IPAddress& group, const IPAddress& interface) {
  ip_mreq m{};
  m.imr_multiaddr.s_addr = v4Bytes(group);
  m.imr_interface.s_addr = interface.isUnspecified() ? htonl(INADDR_ANY) : v4Bytes(interface);
  return ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
}

bool Socket::memberV4(const IPAddress& group) {
  InterfaceMap mine;
  if (!getMyAddresV4(mine)) return false;
  for (const auto& entry : mine)
    if (!memberV4(group, entry.first)) return false;
  return true;
}

bool Socket::connectV6(const IPAddress& to) {
  const sockaddr_in6 s = destinationV6(to);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) {
    lastError.store(errno, std::memory_order_relaxed);
    return false;
  }
  return true;
}

bool Socket::connectV4(const IPAddress& to) {
  const sockaddr_in s = toV4(to);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&s), sizeof s) != 0) {
    lastError.store(errno, std::memory_order_relaxed);
    return false;
  }
  return true;
}

bool Socket::acceptV6(Socket& peer, IPAddress& peerEndpoint) {
  peer.close();
  sockaddr_in6 s{};
  socklen_t len = sizeof s;
  const int got = ::accept4(fd, reinterpret_cast<sockaddr*>(&s), &len, SOCK_CLOEXEC);
  if (got < 0) return false;
  peer.fd = got;
  std::memcpy(peerEndpoint.address, &s.sin6_addr, 16);
  peerEndpoint.port = s.sin6_port;
  return true;
}

int Socket::acceptV6(Socket& peer, IPAddress& peerEndpoint, Clock timeout) {
  const int w = wait(timeout);
  if (w != WAIT_READY) return w;
  return acceptV6(peer, peerEndpoint) ? WAIT_READY : WAIT_ERROR;
}

int Socket::wait(Clock timeout) {
  // poll has no descriptor limit, unlike a select set; a closed socket has
  // nothing to wait for and is an error, not a time-out.
  if (fd < 0) return WAIT_ERROR;
  const uint64_t window = waitWindow(timeout);
  Clock start;
  start.now();
  pollfd p{fd, POLLIN, 0};
  int n = 0;
  for (;;) {
    const uint64_t left = Clock::remaining(start, window);
    const timespec ts{static_cast<time_t>(left / 1'000'000'000'000ULL),
                      static_cast<long>((left / 1000) % 1'000'000'000ULL)};
    p.revents = 0;
    n = ::ppoll(&p, 1, &ts, nullptr);
    // A signal that lands on this thread (the daemon's handler only raises
    // its stop flag) says nothing about the socket: wait out the rest.
    if (n >= 0 || errno != EINTR) break;
  }
  if (n < 0 || (p.revents & POLLNVAL) != 0) return WAIT_ERROR;
  // Like a select read set: an error or hang-up makes a read not block.
  return (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 ? WAIT_READY : WAIT_TIMEOUT;
}

int Socket::wait() { return wait(Clock(0)); }

bool Socket::sendDatagram(BufferCS_const buffer, const void* to, unsigned toLength, bool retry,
                          int flags) {
  if (buffer.size > static_cast<size_t>(INT_MAX)) {
    lastError.store(EMSGSIZE, std::memory_order_relaxed);
    return false;
  }
  const auto* dest = static_cast<const sockaddr*>(to);
  const auto want = static_cast<ssize_t>(buffer.size);
  // MSG_NOSIGNAL: a peer that went away must not raise SIGPIPE on a stream.
  flags |= MSG_NOSIGNAL;
  if (!retry) {
    const ssize_t n = ::sendto(fd, buffer.data, buffer.size, flags, dest, toLength);
    if (n < 0) {
      lastError.store(errno, std::memory_order_relaxed);
      return false;
    }
    return n == want;
  }
  Clock start;
  start.now();
  for (int attempt = 1;; ++attempt) {
    const ssize_t n = ::sendto(fd, buffer.data, buffer.size, flags, dest, toLength);
    if (n == want) return true;
    const int err = n < 0 ? errno : EAGAIN;
    lastError.store(err, std::memory_order_relaxed);
    if (err != EAGAIN && err != ENOBUFS) return false;
    Clock now;
    now.now();
    const uint64_t elapsed = static_cast<uint64_t>(now) - static_cast<uint64_t>(start);
    if (attempt >= kRetryTries || elapsed >= kRetryWindowPs) return false;
    const uint64_t remaining = kRetryWindowPs - elapsed;
    if (err == ENOBUFS)
      pauseShortly(remaining);
    else
      waitForRoom(fd, remaining);
  }
}

bool Socket::sendToV6(BufferCS_const buffer, const IPAddress& to, bool retry) {
  const sockaddr_in6 dest = destinationV6(to);
  return sendDatagram(buffer, &dest, sizeof dest, retry);
}

bool Socket::sendToV6(BufferCS_const buffer, bool retry) {
  const sockaddr_in6 dest = defaultDestination;
  return sendDatagram(buffer, &dest, sizeof dest, retry);
}

bool Socket::sendToV6NoWait(BufferCS_const buffer, bool retry) {
  const sockaddr_in6 dest = defaultDestination;
  return sendDatagram(buffer, &dest, sizeof dest, retry, MSG_DONTWAIT);
}

bool Socket::sendToV4(BufferCS_const buffer, const IPAddress& to, const IPAddress& interface,
                      bool retry) {
  if (!interface.isUnspecified() && to.address[12] == 239) {
    in_addr via{};
    via.s_addr = v4Bytes(interface);
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) != 0) return false;
  }
  const sockaddr_in dest = toV4(to);
  return sendDatagram(buffer, &dest, sizeof dest, retry);
}

bool Socket::sendToV4(BufferCS_const buffer, const IPAddress& to, bool retry) {
  if (to.address[12] != 239) return sendToV4(buffer, to, IPAddress(), retry);
  InterfaceMap mine;
  if (!getMyAddresV4(mine)) return false;
  for (const auto& entry : mine)
    if (!sendToV4(buffer, to, entry.first, retry)) return false;
  return true;
}

bool Socket::send(BufferCS_const buffer) {
  if (buffer.size > static_cast<size_t>(INT_MAX)) return false;
  const ssize_t n = ::send(fd, buffer.data, buffer.size, MSG_NOSIGNAL);
  return n >= 0 && static_cast<size_t>(n) == buffer.size;
}

bool Socket::sendNoBlock(BufferCS_const buffer, size_t offset, size_t& sent) {
  sent = 0;
  if (offset > buffer.size) {
    lastError.store(EINVAL, std::memory_order_relaxed);
    return false;
  }
  size_t length = buffer.size - offset;
  if (length > static_cast<size_t>(INT_MAX)) length = static_cast<size_t>(INT_MAX);
  const ssize_t n = ::send(fd, buffer.data + offset, length, MSG_NOSIGNAL);
  if (n < 0) {
    lastError.store(errno, std::memory_order_relaxed);
    return false;
  }
  sent = offset + static_cast<size_t>(n);
  return true;
}

bool Socket::receiveFrom(void* data, size_t size, size_t& got, IPAddress& from, bool v4) {
  got = 0;
  if (size > static_cast<size_t>(INT_MAX)) size = static_cast<size_t>(INT_MAX);
  sockaddr_storage sender{};
  sender.ss_family = v4 ? AF_INET : AF_INET6;
  socklen_t len = sizeof sender;
  errno = 0;
  const ssize_t n = ::recvfrom(fd, data, size, 0, reinterpret_cast<sockaddr*>(&sender), &len);
  if (n < 0) return errno == 0 || errno == EAGAIN;
  got = static_cast<size_t>(n);
  if (sender.ss_family == AF_INET6) {
    const auto& s6 = reinterpret_cast<const sockaddr_in6&>(sender);
    std::memcpy(from.address, &s6.sin6_addr, 16);
    from.port = s6.sin6_port;
    // All 32 bits: a reply must go out on the interface the datagram came in.
    if (!v4) from.interfaceIndex = s6.sin6_scope_id;
  } else if (sender.ss_family == AF_INET) {
    setMappedV4(from, reinterpret_cast<const sockaddr_in&>(sender));
  }
  return true;
}

bool Socket::receiveFromV6(Buffer& buffer, IPAddress& from) {
  buffer.resize(receiveSize);
  size_t got = 0;
  const bool ok = receiveFrom(buffer.data(), buffer.size(), got, from, false);
  buffer.resize(got);
  return ok;
}

bool Socket::receiveFromV4(Buffer& buffer, IPAddress& from) {
  buffer.resize(receiveSize);
  size_t got = 0;
  const bool ok = receiveFrom(buffer.data(), buffer.size(), got, from, true);
  buffer.resize(got);
  return ok;
}

bool Socket::receiveFromV6(BufferCS buffer, size_t& got, IPAddress& from) {
  return receiveFrom(buffer.data, buffer.size, got, from, false);
}

bool Socket::receiveFromV4(BufferCS buffer, size_t& got, IPAddress& from) {
  return receiveFrom(buffer.data, buffer.size, got, from, true);
}

bool Socket::receive(Buffer& buffer) {
  buffer.resize(receiveSize);
  const size_t space = buffer.size() > static_cast<size_t>(INT_MAX) ? INT_MAX : buffer.size();
  const ssize_t n = ::recv(fd, buffer.data(), space, 0);
  if (n > 0) {
    buffer.resize(static_cast<size_t>(n));
    return true;
  }
  const bool nothingWaiting = n < 0 && errno == EAGAIN;
  buffer.clear();
  return nothingWaiting;
}

bool Socket::receiveOff(Buffer& buffer, size_t offset) {
  // An offset the buffer cannot grow to (offset + receiveSize wrapping
  // round, or more than can be allocated) must not send the receive
  // outside the buffer.
  if (receiveSize > buffer.max_size() || offset > buffer.max_size() - receiveSize) {
    buffer.clear();
    return false;
  }
  try {
    buffer.resize(offset + receiveSize);
  } catch (...) {
    buffer.clear();
    return false;
  }
  const size_t space = receiveSize > static_cast<size_t>(INT_MAX) ? INT_MAX : receiveSize;
  const ssize_t n = ::recv(fd, buffer.data() + offset, space, 0);
  if (n > 0) {
    buffer.resize(offset + static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && errno == EAGAIN) {
    buffer.resize(offset);
    return true;
  }
  buffer.clear();
  return false;
}

bool Socket::receive(BufferCS buffer, size_t& got) { return receiveOff(buffer, 0, got); }

bool Socket::receiveOff(BufferCS buffer, size_t offset, size_t& got) {
  if (offset > buffer.size) {
    got = 0;
    return false;
  }
  size_t space = buffer.size - offset;
  if (space > static_cast<size_t>(INT_MAX)) space = static_cast<size_t>(INT_MAX);
  const ssize_t n = ::recv(fd, buffer.data + offset, space, 0);
  if (n > 0) {
    got = static_cast<size_t>(n);
    return true;
  }
  if (n == 0) return false;
  got = 0;
  return errno == EAGAIN;
}

}  // namespace KALMO
