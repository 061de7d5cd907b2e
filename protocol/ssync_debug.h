#pragma once
// The sink debug-text thread of a streaming connection: it registers with
// the debug port of the sink (DEBUG_REQ to port 19642 of the sink's
// address) and copies each debug text the sink sends there (DEBUG_ANS with
// option 0 = 2) into the host's log as a "Target: " line.
//
// The connection owns one SSyncDebug next to its debug socket:
//
//   debugThread.setTarget(debugTarget);               // setSink, any time
//   if (!debugThread.running())                       // connect, threshold >= 6
//     debugThread.start(debugSocket, occupied, debugCpu, debugCpuCount);
//   debugThread.stop();                               // close, before the
//   debugSocket.close();                              // socket is closed
//
// Only datagrams from the registered target (address, port and scope) are
// taken: any host on the link could otherwise write into the log. A text is
// never longer than the payload that arrived.

#include "base/ip_address.h"
#include "base/socket.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace VELLORA {

class SSyncDebug {
 public:
  // The sink's debug port.
  static constexpr uint16_t PORT = 19642;
  // Longest text put into one log record; the rest is cut.
  static constexpr size_t MAX_TEXT = 1900;

  SSyncDebug() = default;
  ~SSyncDebug();  // stop()
  SSyncDebug(const SSyncDebug&) = delete;
  SSyncDebug& operator=(const SSyncDebug&) = delete;

  // The endpoint to register with (the sink's address with port 19642); the
  // thread sends DEBUG_REQ to it at its next pass, or when it starts.
  void setTarget(const KALMO::IPAddress& target);
  KALMO::IPAddress getTarget() const;

  // Starts the thread on `socket`, which must be open and bound, and stay
  // open until stop() has returned. A target set before is registered at
  // once (again after a restart: the socket may be a new one). With `occupied`, a cpu other than -1 and
  // a count above 0 the thread is pinned to cpu .. cpu + count - 1. False
  // when a thread exists already or cannot be started.
  bool start(KALMO::UDPV6& socket, bool occupied, int cpu, int cpuCount);
  // Ends the thread by a flag and a wake-up datagram to the socket's own
  // port, and joins it; nothing when no thread exists. The socket may be
  // closed afterwards.
  void stop();
  // A thread exists (it may have ended on a socket error; stop() joins it).
  bool running() const { return thread.joinable(); }

  // The thread body.
  void thread_debug_func();

  // The text a DEBUG_ANS payload gives in the log: cut at the first zero
  // byte and at MAX_TEXT, line ends at its end dropped and any other
  // control character shown as a space, so that one datagram is one line.
  static std::string logText(KALMO::BufferCS_const payload);

 private:
  // One DEBUG_REQ to `to`; false when it could not be sent.
  bool sendRequest(const KALMO::IPAddress& to);
  void wake();

  std::thread thread;
  KALMO::UDPV6* socket = nullptr;  // set by start, read by the thread
  bool occupied = false;
  int cpu = -1;
  int cpuCount = 0;
  std::atomic<bool> quit{false};
  std::atomic<bool> pending{false};  // target changed, not yet registered
  mutable std::mutex targetMutex;    // guards target
  KALMO::IPAddress target{};
  bool haveTarget = false;
};

}  // namespace VELLORA
