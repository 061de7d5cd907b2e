#include "sim/target/hostile_node.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "protocol/message.h"
#include "protocol/message_id.h"
#include "sim/target/target_sim.h"

namespace vsim {
namespace {

constexpr uint16_t kDiscoveryPort = 19642;

sockaddr_in6 socketAddress(const uint8_t* address, uint16_t port, unsigned scope) {
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  std::memcpy(&sa.sin6_addr, address, 16);
  sa.sin6_port = htons(port);
  sa.sin6_scope_id = scope;
  return sa;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

HostileNode::HostileNode(HostileOptions options) : options_(std::move(options)) {}

HostileNode::~HostileNode() { stop(); }

bool HostileNode::start(std::string& error) {
  scope_ = ::if_nametoindex(options_.device.c_str());
  if (scope_ == 0) {
    error = "no interface " + options_.device;
    return false;
  }
  locals_.clear();
  std::array<uint8_t, 16> local{};
  if (options_.address.empty()) {
    KALMO::IPAddress own;
    if (!linkLocalOf(options_.device, own)) {
      error = "no link-local address on " + options_.device;
      return false;
    }
    std::memcpy(local.data(), own.address, 16);
  } else if (::inet_pton(AF_INET6, options_.address.c_str(), local.data()) != 1) {
    error = "bad address " + options_.address;
    return false;
  }
  locals_.push_back(local);
  for (const std::string& more : options_.moreAddresses) {
    if (::inet_pton(AF_INET6, more.c_str(), local.data()) != 1) {
      error = "bad address " + more;
      return false;
    }
    locals_.push_back(local);
  }

  listener_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  in6_addr group{};
  ::inet_pton(AF_INET6, "ff02::1", &group);
  const sockaddr_in6 at = socketAddress(group.s6_addr, kDiscoveryPort, scope_);
  ipv6_mreq req{};
  req.ipv6mr_multiaddr = group;
  req.ipv6mr_interface = scope_;
  if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
      ::setsockopt(listener_, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &req, sizeof req) != 0) {
    error = std::string("discovery listener: ") + std::strerror(errno);
    stop();
    return false;
  }
  for (unsigned i = 0; i < options_.floodPorts; ++i) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in6 own = socketAddress(locals_[i % locals_.size()].data(), 0, scope_);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
      error = std::string("silent answerer: ") + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      stop();
      return false;
    }
    flood_.push_back(fd);
  }
  if (options_.portZeroAnswer) {
    raw_ = ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    const int checksumAt = 6;  // the kernel fills the UDP checksum
    const int small = 1;       // it also sees every UDP datagram; none is read
    const sockaddr_in6 own = socketAddress(locals_.front().data(), 0, scope_);
    if (raw_ < 0 || ::setsockopt(raw_, IPPROTO_IPV6, IPV6_CHECKSUM, &checksumAt, sizeof checksumAt) != 0 ||
        ::bind(raw_, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0) {
      error = std::string("raw socket: ") + std::strerror(errno);
      stop();
      return false;
    }
    (void)::setsockopt(raw_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = "pipe";
    stop();
    return false;
  }
  stop_ = false;
  inBurst_ = false;
  hangAt_ = std::chrono::steady_clock::now() + options_.behaveFor;
  thread_ = std::thread([this] { run(); });
  return true;
}

void HostileNode::stop() {
  stop_ = true;
  if (wake_[1] >= 0) {
    const char c = 0;
    (void)!::write(wake_[1], &c, 1);
  }
  if (thread_.joinable()) thread_.join();
  closeFd(listener_);
  closeFd(raw_);
  closeFd(wake_[0]);
  closeFd(wake_[1]);
  for (int& fd : flood_) closeFd(fd);
  flood_.clear();
}

void HostileNode::run() {
  std::vector<pollfd> fds;
  fds.push_back({wake_[0], POLLIN, 0});
  fds.push_back({listener_, POLLIN, 0});
  for (int fd : flood_) fds.push_back({fd, POLLIN, 0});
  uint8_t bytes[2048];
  while (!stop_.load()) {
    if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) continue;  // stop_ is looked at again
    if (fds[1].revents & POLLIN) {
      sockaddr_in6 from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(listener_, bytes, sizeof bytes, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                   &len);
      if (n > 0) {
        VELLORA::Receive r;
        r.datagram.assign(bytes, bytes + n);
        if (r && r.getMessage() == VELLORA::FIND_REQ) {
          ++requests_;
          seen(true);
          answer(from.sin6_addr.s6_addr, ntohs(from.sin6_port));
        }
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      for (;;) {
        sockaddr_in6 from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fds[i].fd, bytes, sizeof bytes, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        answerSilently(fds[i].fd, bytes, n, from);
      }
    }
  }
}

void HostileNode::seen(bool discovery) {
  const auto now = std::chrono::steady_clock::now();
  const bool quiet = !inBurst_ || now - lastRequest_ > BURST_QUIET;
  // A late request after a quiet time starts nothing: scans begin with discovery.
  if (quiet && !discovery) return;
  if (quiet) {
    inBurst_ = true;
    burstStart_ = now;
    ++bursts_;
  }
  lastRequest_ = now;
  const auto ms = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - burstStart_).count());
  if (ms > longestBurstMs_.load()) longestBurstMs_.store(ms);
}

void HostileNode::answerSilently(int fd, const uint8_t* bytes, ssize_t n, const sockaddr_in6& from) {
  VELLORA::Receive r;
  r.datagram.assign(bytes, bytes + n);
  const bool behaving = std::chrono::steady_clock::now() < hangAt_;
  if (!r) {
    ++dropped_;
    return;
  }
  seen(false);
  if (!options_.answerName) {
    ++dropped_;
    return;
  }
  // Count queries ask for no index; without the presence bitmaps every port
  // up to the count is asked for.
  const bool countQuery = r.getOption0() == 0 && r.getOption1() == 0;
  const VELLORA::MessageID code = r.getMessage();
  VELLORA::SendBuffer record;
  if (code == VELLORA::NOTISNAME_REQ) {
    record.set(VELLORA::NOTISNAME_ANS, VELLORA::STATUS_ACK);
  } else if (code == VELLORA::PORT_REQ && countQuery && (behaving || options_.knownPorts != 0)) {
    const uint16_t ports = behaving ? 0 : options_.knownPorts;
    record.set(VELLORA::PORT_ANS, VELLORA::STATUS_ACK, ports, ports, 0, 0);
  } else if (behaving && code == VELLORA::TARGETINFO_REQ) {
    record.set(VELLORA::TARGETINFO_ANS, VELLORA::STATUS_ACK);
  } else if (behaving && code == VELLORA::STATUSITEM_REQ && countQuery) {
    record.set(VELLORA::STATUSITEM_ANS, VELLORA::STATUS_ACK);
  } else {
    ++dropped_;
    return;
  }
  record.update();
  const KALMO::BufferCS_const span = record;
  if (::sendto(fd, span.data, span.size, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from) ==
      static_cast<ssize_t>(span.size)) {
    ++listingAnswers_;
  }
}

void HostileNode::answer(const uint8_t* from, uint16_t fromPort) {
  VELLORA::SendBuffer record;
  (void)record.set_str(options_.name);
  record.set(VELLORA::FIND_ANS, VELLORA::STATUS_ACK, options_.productID);
  record.update();
  const KALMO::BufferCS_const span = record;
  const sockaddr_in6 to = socketAddress(from, fromPort, scope_);
  for (int fd : flood_) {
    if (::sendto(fd, span.data, span.size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(span.size)) {
      ++answers_;
    }
  }
  if (raw_ >= 0) {
    const std::vector<uint8_t> bytes(span.data, span.data + span.size);
    if (sendPortZero(bytes, from, fromPort)) ++portZero_;
  }
}

bool HostileNode::sendPortZero(const std::vector<uint8_t>& record, const uint8_t* to, uint16_t toPort) {
  std::vector<uint8_t> packet(8 + record.size());
  const uint16_t words[4] = {0, htons(toPort), htons(static_cast<uint16_t>(packet.size())), 0};
  std::memcpy(packet.data(), words, sizeof words);
  std::memcpy(packet.data() + 8, record.data(), record.size());
  // The port field of a raw destination is the protocol, or 0.
  const sockaddr_in6 dest = socketAddress(to, 0, scope_);
  return ::sendto(raw_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) ==
         static_cast<ssize_t>(packet.size());
}

}  // namespace vsim
