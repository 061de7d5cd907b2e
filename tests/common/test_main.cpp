#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vellora_test {
namespace {

bool g_private_net = false;
std::string g_reason = "not tried";

bool bringLoopbackUp() {
  int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    g_reason = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ifreq req{};
  std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  if (ok) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
  }
  if (!ok) g_reason = std::string("bringing lo up: ") + std::strerror(errno);
  ::close(fd);
  return ok;
}

void enterPrivateNetwork() {
  if (::geteuid() != 0) {
    g_reason = "not running as root";
    return;
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    g_reason = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    return;
  }
  g_private_net = bringLoopbackUp();
}

}  // namespace

bool privateNetwork() { return g_private_net; }
bool privileged() { return ::geteuid() == 0; }
bool privilegeRequired() {
  const char* v = std::getenv("VELLORA_REQUIRE_PRIVILEGED");
  return v != nullptr && std::string(v) == "1";
}
std::string privateNetworkReason() { return g_private_net ? "" : g_reason; }

}  // namespace vellora_test

int main(int argc, char** argv) {
  // Before any thread exists: the namespace is the whole process's.
  vellora_test::enterPrivateNetwork();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
