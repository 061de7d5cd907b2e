#pragma once
// The debug port of a stand-in sink: answers DEBUG_REQ on port 19642 of the
// sink's address, remembers the hosts that asked for texts, and sends them
// debug texts (DEBUG_ANS with option 0 = 2 and the text as payload).
//
//   vsim::TargetSim sim;
//   vsim::DebugPort debug(sim);                 // [::1]:19642
//   ... the host registers (DEBUG_REQ, option 0 = 1) ...
//   debug.waitListeners(1, std::chrono::seconds(1));
//   debug.sendText("volume 12");
//
// A DEBUG_REQ with option 0 = 1 adds its sender to the listeners, one with
// 0 removes it; either is answered by DEBUG_ANS with STATUS_ACK and the
// request's option 0. A greeting, when set, follows each registration as
// the first text. Every operation is thread-safe; handlers run on the
// engine thread.

#include "base/ip_address.h"
#include "sim/target/target_sim.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace vsim {

class DebugPort {
 public:
  static constexpr uint16_t PORT = 19642;

  // An endpoint of its own on port 19642 of `address` (the port given in
  // `address` is ignored).
  explicit DebugPort(TargetSim& sim, const KALMO::IPAddress& address = ipv6("::1", PORT));
  // On an endpoint that exists already (a target's discovery endpoint also
  // sits on port 19642); only DEBUG_REQ is taken there.
  DebugPort(TargetSim& sim, EndpointId existing);
  ~DebugPort();
  DebugPort(const DebugPort&) = delete;
  DebugPort& operator=(const DebugPort&) = delete;

  EndpointId endpoint() const { return endpoint_; }
  KALMO::IPAddress address() const;

  // Behaviour.
  void setAnswer(bool answer);  // false: DEBUG_REQ gets no answer (still registers)
  void setGreeting(const std::string& text);  // empty: none

  // Hosts that asked for texts, in the order they first did.
  std::vector<KALMO::IPAddress> listeners() const;
  bool waitListeners(size_t n, std::chrono::milliseconds timeout) const;

  // A text to every listener; false when there is none or a send failed.
  bool sendText(const std::string& text);
  // A text to one host, registered or not.
  bool sendText(const KALMO::IPAddress& to, const std::string& text);
  // The datagram sendText sends.
  static std::vector<uint8_t> textDatagram(const std::string& text);

 private:
  bool onRequest(const Datagram& d);

  TargetSim& sim_;
  EndpointId endpoint_ = NO_ENDPOINT;
  bool ownEndpoint_ = false;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool answer_ = true;
  std::string greeting_;
  std::vector<KALMO::IPAddress> listeners_;
};

}  // namespace vsim
