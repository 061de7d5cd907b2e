#pragma once
// One socket descriptor with the endpoint, send, receive and wait operations
// the daemon uses. Everything the daemon opens is UDP over IPv6 only
// (open(UDP_IPV6), bindV6, sendToV6, wait + receiveFromV6); the IPv4,
// dual-stack and TCP operations are library surface.
//
// Failures are reported by the result alone; lastError keeps the errno of
// the last failed bind, connect or send for the owner to log.

#include "base/buffer.h"
#include "base/clock.h"
#include "base/ip_address.h"

#include <netinet/in.h>
#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace KALMO {

class Socket {
 public:
  enum Type : int {
    TCP_IPV4 = 0,
    UDP_IPV4 = 1,
    TCP_IPV6 = 2,
    UDP_IPV6 = 3,
    TCP_DUAL = 4,  // IPv6 socket that also accepts IPv4-mapped peers
    UDP_DUAL = 5,
  };

  // Results of wait (and of Waiter::wait, fbsSelect).
  enum : int { WAIT_ERROR = 0, WAIT_TIMEOUT = 1, WAIT_READY = 2 };

  // The value of one entry of an interface list: the interface's name.
  struct Interfase {
    std::string name;
    std::string spare;  // always left empty
  };
  // Local addresses (port 0, interfaceIndex = the interface's index).
  using InterfaceMap = std::map<IPAddress, Interfase>;

  class Waiter;  // base/socket_waiter.h

  int fd = -1;
  sockaddr_in6 defaultDestination{};  // destination of sendToV6(buffer, retry)
  Type type = static_cast<Type>(0);
  size_t receiveSize = 1500;  // a Buffer is sized to this before a receive
  bool blocking = true;
  // Written by failing sends, which may run on several threads at once.
  std::atomic<int> lastError{0};
  // Forced by bindV6 (0 = none): replaces the scope of every destination.
  uint32_t interfaceIndex = 0;

  Socket() = default;
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  // Moving hands the descriptor over; the source is left closed.
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;

  // Set-up and state.
  bool open(Type type);
  void close();
  bool shutdown();
  bool is_open() const { return fd != -1; }
  int getDescriptor() const { return fd; }
  bool setBlocking(bool blocking);
  bool getBlocking() const { return blocking; }
  // Binds; a port of 0 is replaced by the chosen one in `local`.
  bool bindV6(IPAddress& local, unsigned backlog);
  bool bindV4(IPAddress local);
  void setToV6(const IPAddress& to);
  void getToV6(IPAddress& to) const;
  bool setInterface(unsigned index);
  bool memberV6(const IPAddress& group);
  bool memberV4(const IPAddress& group, const IPAddress& interface);
  bool memberV4(const IPAddress& group);
  bool connectV6(const IPAddress& to);
  bool connectV4(const IPAddress& to);
  bool acceptV6(Socket& peer, IPAddress& peerEndpoint);
  int acceptV6(Socket& peer, IPAddress& peerEndpoint, Clock timeout);

  // Waits until the socket is readable: WAIT_READY, WAIT_TIMEOUT, or
  // WAIT_ERROR (also for a closed socket). The time-out is cut to whole
  // microseconds; without one it only polls.
  int wait(Clock timeout);
  int wait();

  // Sending. With retry, a full send queue is waited out for a short,
  // bounded time; the blocking mode is the same afterwards.
  bool sendToV6(BufferCS_const buffer, const IPAddress& to, bool retry);
  bool sendToV6(BufferCS_const buffer, bool retry);
  // The same, but this one send never blocks, whatever the socket's mode;
  // the mode stays as it is (no system call to switch it).
  bool sendToV6NoWait(BufferCS_const buffer, bool retry);
  bool sendToV4(BufferCS_const buffer, const IPAddress& to, const IPAddress& interface,
                bool retry);
  bool sendToV4(BufferCS_const buffer, const IPAddress& to, bool retry);
  bool send(BufferCS_const buffer);
  bool sendNoBlock(BufferCS_const buffer, size_t offset, size_t& sent);

  // Receiving. A datagram longer than the space is cut and still counts.
  // An empty result with true means nothing was waiting.
  bool receiveFromV6(Buffer& buffer, IPAddress& from);
  bool receiveFromV4(Buffer& buffer, IPAddress& from);
  bool receiveFromV6(BufferCS buffer, size_t& got, IPAddress& from);
  bool receiveFromV4(BufferCS buffer, size_t& got, IPAddress& from);
  bool receive(Buffer& buffer);
  bool receiveOff(Buffer& buffer, size_t offset);
  bool receive(BufferCS buffer, size_t& got);
  bool receiveOff(BufferCS buffer, size_t offset, size_t& got);

  // The machine's own addresses (base/interface_list.cpp). False, with the
  // map empty, when the system does not list its interfaces.
  static bool getMyAddresV6(InterfaceMap& map);
  static bool getMyAddresV4(InterfaceMap& map);
  // Link-local IPv6 addresses only, plus ::1 when includeLoopback.
  static bool getMyLocalAddresV6(InterfaceMap& map, bool includeLoopback);

 private:
  // A time-out as whole seconds and microseconds (sub-microsecond rest
  // dropped), as every wait of this class and its Waiter uses it.
  static timeval waitTime(Clock timeout);
  // The same time-out in picoseconds, as much of it as waitTime keeps: the
  // whole window a wait retried after a signal must not outlast.
  static uint64_t waitWindow(Clock timeout);

  bool isStream() const;
  void closeDescriptor();
  sockaddr_in6 destinationV6(const IPAddress& to) const;
  bool sendDatagram(BufferCS_const buffer, const void* to, unsigned toLength, bool retry,
                    int flags = 0);
  bool receiveFrom(void* data, size_t size, size_t& got, IPAddress& from, bool v4);
};

// A Socket used for UDP over IPv6.
class UDPV6 : public Socket {};

}  // namespace KALMO
