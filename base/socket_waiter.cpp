#include "base/socket_waiter.h"

#include <cerrno>
#include <cstdint>
#include <new>

namespace KALMO {

namespace {

bool fits(long descriptor) { return descriptor >= 0 && descriptor < FD_SETSIZE; }

}  // namespace

Socket::Waiter::Waiter() : result(fbsNew()) {}

Socket::Waiter::~Waiter() { fbsDelere(result); }

bool Socket::Waiter::set(Socket& socket) {
  if (!fits(socket.fd)) return false;
  descriptors.insert(static_cast<unsigned long>(socket.fd));
  return true;
}

void Socket::Waiter::clear(Socket& socket) {
  if (socket.fd < 0) return;
  descriptors.erase(static_cast<unsigned long>(socket.fd));
}

void Socket::Waiter::clear() { descriptors.clear(); }

bool Socket::Waiter::empty() const { return descriptors.empty(); }

int Socket::Waiter::wait(Clock timeout) {
  const uint64_t window = waitWindow(timeout);
  Clock start;
  start.now();
  int n = 0;
  for (;;) {
    const unsigned long highest = fbsSetup(result, descriptors, 0);
    timeval tv = waitTime(Clock(Clock::remaining(start, window)));
    n = ::select(static_cast<int>(highest) + 1, result, nullptr, nullptr, &tv);
    // A signal handled elsewhere in the process is not a socket failure.
    if (n >= 0 || errno != EINTR) break;
  }
  if (n < 0) {
    // The set holds nothing useful after a failed select.
    if (result != nullptr) FD_ZERO(result);
    return WAIT_ERROR;
  }
  return n == 0 ? WAIT_TIMEOUT : WAIT_READY;
}

bool Socket::Waiter::check(Socket& socket) { return fbsCheck(result, socket); }

Socket::Waiter::fbsType* Socket::Waiter::fbsNew() {
  auto* set = new (std::nothrow) fbsType;
  if (set != nullptr) FD_ZERO(set);
  return set;
}

void Socket::Waiter::fbsDelere(fbsType* set) { delete set; }

unsigned long Socket::Waiter::fbsSetup(fbsType* set, const std::set<unsigned long>& list,
                                       unsigned long highest) {
  if (set == nullptr) return highest;
  FD_ZERO(set);
  auto top = static_cast<int32_t>(highest);
  for (unsigned long d : list) {
    if (!fits(static_cast<long>(d))) continue;
    FD_SET(static_cast<int>(d), set);
    if (static_cast<int32_t>(d) > top) top = static_cast<int32_t>(d);
  }
  return static_cast<unsigned long>(static_cast<uint32_t>(top));
}

bool Socket::Waiter::fbsCheck(fbsType* set, Socket& socket) {
  return set != nullptr && fits(socket.fd) && FD_ISSET(socket.fd, set);
}

int Socket::Waiter::fbsSelect(fbsType* readSet, fbsType* writeSet, unsigned long highest,
                              Clock timeout) {
  // The sets hold FD_SETSIZE descriptors; select must not look beyond them.
  int count = highest >= FD_SETSIZE ? FD_SETSIZE : static_cast<int>(highest) + 1;
  timeval tv = waitTime(timeout);
  const int n = ::select(count, readSet, writeSet, nullptr, &tv);
  if (n < 0) return WAIT_ERROR;
  return n == 0 ? WAIT_TIMEOUT : WAIT_READY;
}

}  // namespace KALMO
