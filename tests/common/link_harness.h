#pragma once
// Link-local test network: the host side stays in the namespace the test
// runs in, the targets live in a second, anonymous network namespace, and
// each link between them is a veth pair. Addresses are fixed fe80:: ones
// added without duplicate address detection, and no address is generated
// automatically, so the interface lists a test sees are exactly the ones it
// asked for and usable at once.
//
// A thread enters either namespace with NsScope (setns on that thread);
// sockets keep the namespace they were created in after the thread leaves.
// The anonymous namespace vanishes with its last descriptor and socket; the
// harness deletes its links itself so that a later harness in the same
// process can reuse the names.

#include "tests/common/test_env.h"

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vellora_test {

// Owns one descriptor of a network namespace.
class NetNs {
 public:
  NetNs() = default;
  explicit NetNs(int fd) : fd_(fd) {}
  ~NetNs();
  NetNs(NetNs&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  NetNs& operator=(NetNs&& other) noexcept;
  NetNs(const NetNs&) = delete;
  NetNs& operator=(const NetNs&) = delete;

  // The namespace of the calling thread.
  static NetNs current(std::string* error);
  // A new empty namespace with lo up; the calling thread stays where it is.
  static NetNs createAnonymous(std::string* error);

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Moves the calling thread into a namespace for the lifetime of the scope and
// back into the one it came from at its end. Scopes nest.
class NsScope {
 public:
  explicit NsScope(const NetNs& ns);
  ~NsScope();
  NsScope(const NsScope&) = delete;
  NsScope& operator=(const NsScope&) = delete;
  bool ok() const { return ok_; }

 private:
  NetNs previous_;
  bool ok_ = false;
};

// fe80::<a>:<b> as an address (a = 0 gives fe80::<b>).
in6_addr linkLocal(unsigned short a, unsigned short b);

class LinkHarness {
 public:
  struct Link {
    std::string hostName;    // interface in the host namespace
    std::string targetName;  // its peer in the target namespace
    unsigned hostIndex = 0;
    unsigned targetIndex = 0;
    in6_addr hostAddress{};                // fe80::1:<n> for link n (from 1)
    std::vector<in6_addr> targetAddresses;  // fe80::2:<n> first, then added ones
  };

  LinkHarness() = default;
  ~LinkHarness();
  LinkHarness(const LinkHarness&) = delete;
  LinkHarness& operator=(const LinkHarness&) = delete;

  // Creates the target namespace and `links` veth pairs, both ends up with
  // one address each. The calling thread's namespace is the host side.
  bool setUp(std::size_t links, std::string* error);
  // One more address on the target side of a link (another target there).
  bool addTargetAddress(std::size_t link, const in6_addr& address, std::string* error);
  // One more address on the host side of a link; one in fe80::/64 can be
  // reached from the target side once this returns.
  bool addHostAddress(std::size_t link, const in6_addr& address, std::string* error);

  std::size_t linkCount() const { return links_.size(); }
  const Link& link(std::size_t i) const { return links_.at(i); }
  const NetNs& hostNs() const { return host_; }
  const NetNs& targetNs() const { return target_; }

  // Deletes the links and lets the target namespace go; also done by the destructor.
  void tearDown();

 private:
  bool waitUntilUsable(std::size_t link, const in6_addr& hostAddress, const in6_addr& targetAddress,
                       std::string* error);

  NetNs host_;
  NetNs target_;
  std::vector<Link> links_;
};

}  // namespace vellora_test

// Sets up a harness with `links` links or skips (fails when privileges are
// required); put it first in a test after VELLORA_REQUIRE_PRIVATE_NET().
#define VELLORA_SETUP_LINKS(harness, links)                                   \
  do {                                                                        \
    std::string _vellora_link_error;                                          \
    if (!(harness).setUp((links), &_vellora_link_error)) {                    \
      if (::vellora_test::privilegeRequired()) {                              \
        FAIL() << "link harness: " << _vellora_link_error;                    \
      }                                                                       \
      GTEST_SKIP() << "link harness: " << _vellora_link_error;                \
    }                                                                         \
  } while (0)
