#pragma once
// Waits for readability on several sockets at once: register sockets, wait
// with one time-out, then ask which became readable.
//
// The set is a select set of FD_SETSIZE descriptors; a descriptor that
// cannot be put into it (a closed socket, or one numbered FD_SETSIZE or
// more) is never registered or set, so nothing is written past the set.

#include "base/clock.h"
#include "base/socket.h"

#include <sys/select.h>

#include <set>

namespace KALMO {

class Socket::Waiter {
 public:
  using fbsType = fd_set;

  Waiter();
  ~Waiter();
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  // Registers the socket once; false (and nothing registered) for a closed
  // socket or a descriptor the set cannot hold.
  bool set(Socket& socket);
  void clear(Socket& socket);
  void clear();
  bool empty() const;

  // WAIT_READY, WAIT_TIMEOUT or WAIT_ERROR (also when a registered socket
  // was closed since). Afterwards check tells which sockets are readable.
  int wait(Clock timeout);
  bool check(Socket& socket);

  static fbsType* fbsNew();
  static void fbsDelere(fbsType* set);
  // Clears the set, sets every descriptor it can hold, and returns the
  // larger of highest and the highest descriptor set.
  static unsigned long fbsSetup(fbsType* set, const std::set<unsigned long>& descriptors,
                                unsigned long highest);
  static bool fbsCheck(fbsType* set, Socket& socket);
  static int fbsSelect(fbsType* readSet, fbsType* writeSet, unsigned long highest, Clock timeout);

 private:
  fbsType* result;
  std::set<unsigned long> descriptors;
};

}  // namespace KALMO
