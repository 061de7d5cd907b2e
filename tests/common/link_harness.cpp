#include "tests/common/link_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace vellora_test {
namespace {

std::string errnoText(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

// One route-netlink request under construction: the header, the family
// record and attributes, nested ones by begin/end.
class NlRequest {
 public:
  NlRequest(std::uint16_t type, std::uint16_t flags) {
    buf_.resize(NLMSG_HDRLEN);
    hdr()->nlmsg_type = type;
    hdr()->nlmsg_flags = static_cast<std::uint16_t>(flags | NLM_F_REQUEST | NLM_F_ACK);
  }
  template <class T>
  void record(const T& value) { append(&value, sizeof value); }
  void attr(std::uint16_t type, const void* data, std::size_t len) {
    const std::size_t at = buf_.size();
    buf_.resize(at + NLA_ALIGN(NLA_HDRLEN + len), 0);
    auto* a = reinterpret_cast<nlattr*>(buf_.data() + at);
    a->nla_type = type;
    a->nla_len = static_cast<std::uint16_t>(NLA_HDRLEN + len);
    if (len != 0) std::memcpy(buf_.data() + at + NLA_HDRLEN, data, len);
  }
  void attr(std::uint16_t type, const std::string& text) { attr(type, text.c_str(), text.size() + 1); }
  template <class T>
  void attrValue(std::uint16_t type, T value) { attr(type, &value, sizeof value); }
  std::size_t begin(std::uint16_t type) {
    const std::size_t at = buf_.size();
    attr(static_cast<std::uint16_t>(type | NLA_F_NESTED), nullptr, 0);
    return at;
  }
  void end(std::size_t at) {
    reinterpret_cast<nlattr*>(buf_.data() + at)->nla_len = static_cast<std::uint16_t>(buf_.size() - at);
  }
  nlmsghdr* hdr() { return reinterpret_cast<nlmsghdr*>(buf_.data()); }
  std::vector<char>& finish() {
    hdr()->nlmsg_len = static_cast<std::uint32_t>(buf_.size());
    return buf_;
  }

 private:
  void append(const void* data, std::size_t len) {
    const std::size_t at = buf_.size();
    buf_.resize(at + NLMSG_ALIGN(len), 0);
    std::memcpy(buf_.data() + at, data, len);
  }
  std::vector<char> buf_;
};

// Sends one request on a route-netlink socket created in the calling
// thread's namespace and waits for its acknowledgement.
bool nlTransact(NlRequest& req, std::string* error, const char* what) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    *error = errnoText("netlink socket", errno);
    return false;
  }
  std::vector<char>& msg = req.finish();
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool ok = ::sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
            static_cast<ssize_t>(msg.size());
  if (!ok) *error = errnoText(what, errno);
  while (ok) {
    alignas(nlmsghdr) char reply[8192];
    const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errnoText(what, errno);
      ok = false;
      break;
    }
    bool done = false;
    int len = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_type == NLMSG_ERROR) {
        const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
        if (e->error != 0) {
          *error = errnoText(what, -e->error);
          ok = false;
        }
        done = true;
        break;
      }
    }
    if (done) break;
  }
  ::close(fd);
  return ok;
}

bool createVeth(const std::string& hostName, const std::string& targetName, int targetNsFd,
                std::string* error) {
  NlRequest req(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
  req.record(ifinfomsg{});
  req.attr(IFLA_IFNAME, hostName);
  const std::size_t info = req.begin(IFLA_LINKINFO);
  req.attr(IFLA_INFO_KIND, "veth", 4);
  const std::size_t data = req.begin(IFLA_INFO_DATA);
  const std::size_t peer = req.begin(VETH_INFO_PEER);
  req.record(ifinfomsg{});
  req.attr(IFLA_IFNAME, targetName);
  req.attrValue<std::uint32_t>(IFLA_NET_NS_FD, static_cast<std::uint32_t>(targetNsFd));
  req.end(peer);
  req.end(data);
  req.end(info);
  return nlTransact(req, error, "creating veth pair");
}

bool deleteLink(unsigned index, std::string* error) {
  NlRequest req(RTM_DELLINK, 0);
  ifinfomsg ifi{};
  ifi.ifi_index = static_cast<int>(index);
  req.record(ifi);
  return nlTransact(req, error, "deleting link");
}

bool linkUp(unsigned index, std::string* error) {
  NlRequest req(RTM_NEWLINK, 0);
  ifinfomsg ifi{};
  ifi.ifi_index = static_cast<int>(index);
  ifi.ifi_flags = IFF_UP;
  ifi.ifi_change = IFF_UP;
  req.record(ifi);
  return nlTransact(req, error, "link up");
}

// No generated addresses (the test adds its own), then up.
bool configureLink(unsigned index, std::string* error) {
  NlRequest req(RTM_NEWLINK, 0);
  ifinfomsg ifi{};
  ifi.ifi_index = static_cast<int>(index);
  req.record(ifi);
  const std::size_t layout = req.begin(IFLA_AF_SPEC);
  const std::size_t inet6 = req.begin(AF_INET6);
  req.attrValue<std::uint8_t>(IFLA_INET6_ADDR_GEN_MODE, IN6_ADDR_GEN_MODE_NONE);
  req.end(inet6);
  req.end(layout);
  return nlTransact(req, error, "address generation off") && linkUp(index, error);
}

bool addAddress(unsigned index, const in6_addr& address, std::string* error) {
  NlRequest req(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
  ifaddrmsg ifa{};
  ifa.ifa_family = AF_INET6;
  ifa.ifa_prefixlen = 64;
  ifa.ifa_flags = IFA_F_NODAD;
  ifa.ifa_scope = RT_SCOPE_LINK;
  ifa.ifa_index = index;
  req.record(ifa);
  req.attr(IFA_LOCAL, &address, sizeof address);
  req.attr(IFA_ADDRESS, &address, sizeof address);
  req.attrValue<std::uint32_t>(IFA_FLAGS, IFA_F_NODAD);
  return nlTransact(req, error, "adding address");
}

// Duplicate address detection off for anything added later on the link; the
// file belongs to the namespace of the opening thread.
void dadOff(const std::string& name) {
  std::ofstream f("/proc/sys/net/ipv6/conf/" + name + "/accept_dad");
  if (f) f << "0\n";
}

NetNs openThreadNs(std::string* error) {
  const int fd = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (fd < 0 && error != nullptr) *error = errnoText("opening /proc/thread-self/ns/net", errno);
  return NetNs(fd);
}

// A UDP socket bound to an address of this namespace; -1 while the address
// is not usable yet (still tentative, or the link not up).
int boundSocket(const in6_addr& address, unsigned index, sockaddr_in6* bound) {
  const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = address;
  a.sin6_scope_id = index;
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(bound), &len) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool arrives(int from, const sockaddr_in6& to, int at) {
  const char byte = 'p';
  if (::sendto(from, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 1) return false;
  for (int i = 0; i < 10; ++i) {
    char got = 0;
    if (::recv(at, &got, 1, 0) == 1) return true;
    ::usleep(1000);
  }
  return false;
}

}  // namespace

// A link counts as ready once a datagram crosses it both ways between the
// two addresses: the addresses are usable, both devices pass traffic (the
// kernel activates them asynchronously after they come up) and each side
// has resolved the other's address, so the first datagram of a test is not
// held up or lost in neighbour discovery.
bool LinkHarness::waitUntilUsable(std::size_t link, const in6_addr& hostAddress, const in6_addr& targetAddress,
                                  std::string* error) {
  const Link& l = links_[link];
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (attempt != 0) ::usleep(10000);
    sockaddr_in6 hostEnd{};
    sockaddr_in6 targetEnd{};
    const int h = boundSocket(hostAddress, l.hostIndex, &hostEnd);
    int t = -1;
    {
      NsScope in(target_);
      if (in.ok()) t = boundSocket(targetAddress, l.targetIndex, &targetEnd);
    }
    bool ok = h >= 0 && t >= 0;
    if (ok) {
      hostEnd.sin6_scope_id = l.targetIndex;
      targetEnd.sin6_scope_id = l.hostIndex;
      ok = arrives(h, targetEnd, t) && arrives(t, hostEnd, h);
    }
    if (h >= 0) ::close(h);
    if (t >= 0) ::close(t);
    if (ok) return true;
  }
  *error = "link " + l.hostName + " carries no traffic after 5 s";
  return false;
}

NetNs::~NetNs() {
  if (fd_ >= 0) ::close(fd_);
}

NetNs& NetNs::operator=(NetNs&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

NetNs NetNs::current(std::string* error) { return openThreadNs(error); }

NetNs NetNs::createAnonymous(std::string* error) {
  NetNs back = openThreadNs(error);
  if (!back.valid()) return NetNs();
  // unshare moves only the calling thread; it goes straight back afterwards.
  if (::unshare(CLONE_NEWNET) != 0) {
    *error = errnoText("unshare(CLONE_NEWNET)", errno);
    return NetNs();
  }
  NetNs created = openThreadNs(error);
  const unsigned lo = ::if_nametoindex("lo");
  if (created.valid() && (lo == 0 || !linkUp(lo, error))) {
    if (lo == 0) *error = "the new namespace has no lo";
    created = NetNs();
  }
  if (::setns(back.fd(), CLONE_NEWNET) != 0) {
    // The thread cannot get home; nothing sensible can run on it any more.
    std::abort();
  }
  return created;
}

NsScope::NsScope(const NetNs& ns) {
  previous_ = openThreadNs(nullptr);
  ok_ = previous_.valid() && ns.valid() && ::setns(ns.fd(), CLONE_NEWNET) == 0;
}

NsScope::~NsScope() {
  if (ok_ && ::setns(previous_.fd(), CLONE_NEWNET) != 0) std::abort();
}

in6_addr linkLocal(unsigned short a, unsigned short b) {
  in6_addr r{};
  r.s6_addr[0] = 0xfe;
  r.s6_addr[1] = 0x80;
  r.s6_addr[12] = static_cast<unsigned char>(a >> 8);
  r.s6_addr[13] = static_cast<unsigned char>(a);
  r.s6_addr[14] = static_cast<unsigned char>(b >> 8);
  r.s6_addr[15] = static_cast<unsigned char>(b);
  return r;
}

LinkHarness::~LinkHarness() { tearDown(); }

bool LinkHarness::setUp(std::size_t links, std::string* error) {
  tearDown();
  // The host side must never be the machine's own namespace.
  if (!privateNetwork()) {
    *error = "needs a private network namespace: " + privateNetworkReason();
    return false;
  }
  host_ = NetNs::current(error);
  if (!host_.valid()) return false;
  target_ = NetNs::createAnonymous(error);
  if (!target_.valid()) return false;
  for (std::size_t i = 0; i < links; ++i) {
    Link l;
    const auto n = static_cast<unsigned short>(i + 1);
    l.hostName = "vhost" + std::to_string(n);
    l.targetName = "vtarget" + std::to_string(n);
    l.hostAddress = linkLocal(1, n);
    l.targetAddresses.push_back(linkLocal(2, n));
    if (!createVeth(l.hostName, l.targetName, target_.fd(), error)) {
      tearDown();
      return false;
    }
    l.hostIndex = ::if_nametoindex(l.hostName.c_str());
    {
      NsScope in(target_);
      if (!in.ok()) {
        *error = errnoText("setns", errno);
        links_.push_back(l);
        tearDown();
        return false;
      }
      l.targetIndex = ::if_nametoindex(l.targetName.c_str());
    }
    links_.push_back(l);
    if (l.hostIndex == 0 || l.targetIndex == 0) {
      *error = "veth pair created but its interfaces are not found";
      tearDown();
      return false;
    }
    bool ok = configureLink(l.hostIndex, error) && addAddress(l.hostIndex, l.hostAddress, error);
    if (ok) {
      dadOff(l.hostName);
      NsScope in(target_);
      ok = in.ok() && configureLink(l.targetIndex, error) &&
           addAddress(l.targetIndex, l.targetAddresses.front(), error);
      if (ok) dadOff(l.targetName);
    }
    if (!ok || !waitUntilUsable(links_.size() - 1, l.hostAddress, l.targetAddresses.front(), error)) {
      tearDown();
      return false;
    }
  }
  return true;
}

bool LinkHarness::addTargetAddress(std::size_t link, const in6_addr& address, std::string* error) {
  if (link >= links_.size()) {
    *error = "no such link";
    return false;
  }
  {
    NsScope in(target_);
    if (!in.ok()) {
      *error = errnoText("setns", errno);
      return false;
    }
    if (!addAddress(links_[link].targetIndex, address, error)) return false;
  }
  links_[link].targetAddresses.push_back(address);
  return waitUntilUsable(link, links_[link].hostAddress, address, error);
}

bool LinkHarness::addHostAddress(std::size_t link, const in6_addr& address, std::string* error) {
  if (link >= links_.size()) {
    *error = "no such link";
    return false;
  }
  if (!addAddress(links_[link].hostIndex, address, error)) return false;
  // Only the link's own fe80::/64 has a route on the target side.
  static const unsigned char prefix[8] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0};
  if (std::memcmp(address.s6_addr, prefix, sizeof prefix) != 0) return true;
  return waitUntilUsable(link, address, links_[link].targetAddresses.front(), error);
}

void LinkHarness::tearDown() {
  if (host_.valid()) {
    NsScope in(host_);
    for (const Link& l : links_) {
      std::string ignored;
      // Deleting one end removes its peer in the target namespace too.
      if (l.hostIndex != 0) (void)deleteLink(l.hostIndex, &ignored);
    }
  }
  links_.clear();
  target_ = NetNs();
  host_ = NetNs();
}

}  // namespace vellora_test
