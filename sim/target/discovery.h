#pragma once
// What stand-in targets answer to discovery: FIND_REQ (multicast to ff02::1
// and unicast), NOTISNAME_REQ (the engine logs every announced name), the
// port count with its presence bitmaps and each output port, TARGETINFO_REQ,
// SYNCHRO_NODE_REQ on each port's endpoint, and the status-item count and
// each item, with items of devices linked behind another item.
//
// One DiscoverySim presents any number of targets on one engine, each with
// its own endpoint, ports and items:
//
//   vsim::TargetSim engine;
//   vsim::DiscoverySim targets(engine);
//   vsim::TargetSpec layout;
//   layout.name = "amp";
//   layout.ports = {vsim::PortSpec{1, "out"}};
//   int amp = targets.addTarget(layout);        // [::1]:19642
//
// A target on a link-local address listens for the multicast on its link
// (one listener per link, shared by every target there) and answers from
// its own address, so several targets can share one link. Create them in
// the namespace of their link (the engine creates sockets on the calling
// thread).
//
// Every answer can be changed per target, per port and per item with a
// Reply (silence, refusal, echo, another sender, lateness); codes as a
// whole can still be scripted on the engine (scripts come first there).

#include "sim/target/target_sim.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vsim {

// How one answer goes out.
struct Reply {
  enum class Kind {
    ANSWER,  // the accepted answer
    REFUSE,  // the same without STATUS_ACK
    ECHO,    // the request's own bytes back
    SILENT,  // nothing
  };
  Kind kind = Kind::ANSWER;
  std::chrono::milliseconds delay{0};
  EndpointId from = NO_ENDPOINT;  // answer from this endpoint instead
  // Sent just before the answer, the same way: a stale datagram, such as a
  // late answer to an earlier request, that must not be taken for this one.
  std::vector<uint8_t> before;

  static Reply refuse() { return make(Kind::REFUSE); }
  static Reply echo() { return make(Kind::ECHO); }
  static Reply silent() { return make(Kind::SILENT); }
  static Reply late(std::chrono::milliseconds d) {
    Reply r;
    r.delay = d;
    return r;
  }
  static Reply fromEndpoint(EndpointId e) {
    Reply r;
    r.from = e;
    return r;
  }
  static Reply after(std::vector<uint8_t> stale) {
    Reply r;
    r.before = std::move(stale);
    return r;
  }

 private:
  static Reply make(Kind k) {
    Reply r;
    r.kind = k;
    return r;
  }
};

struct PortSpec {
  uint16_t index = 1;  // 1-based
  std::string name = "out";
  uint16_t kind = 1;
  uint16_t version = 1;
  uint16_t udpPort = 0;  // 0: chosen by the system
  uint16_t sync[4] = {};  // options of SYNCHRO_NODE_ANS
  Reply reply;            // to PORT_REQ for this port
  Reply syncReply;        // to SYNCHRO_NODE_REQ at its endpoint
  // Report this UDP port instead of the endpoint's (two indexes, one port).
  uint16_t reportPort = 0;
};

struct StatusItemSpec {
  uint16_t index = 1;
  uint16_t kind = 1;  // 1, 2: an item of an own port; 0: hangs on another device
  uint16_t version = 1;
  std::string name = "item";
  // Where the item hangs: ::1 with the own port's index as port, or another
  // device's control address with that device's item index as port.
  KALMO::IPAddress link;
  uint16_t controlPort = 0;  // 0: chosen by the system
  // Payload cut to this many bytes (-1: whole), for short answers.
  int payloadLimit = -1;
  Reply reply;
};

struct TargetSpec {
  // The discovery endpoint (port 0: chosen by the system). Link-local
  // addresses carry their interface index as scope (or name `device`).
  KALMO::IPAddress address = ipv6("::1", 19642);
  std::string device;
  uint64_t productID = 1;
  std::string name = "target";
  std::string infoText;
  std::vector<PortSpec> ports;
  std::vector<StatusItemSpec> items;

  int reportedPorts = -1;  // port count answered; -1: the highest port index
  uint16_t countKind = 0;  // option2 of the answer to the first count query
  bool bitmap = true;      // send the 1024-byte presence bitmaps
  int reportedItems = -1;  // item count answered; -1: the highest item index
  bool echoIndex = true;   // answers carry the asked index in its option
  bool acknowledgeProbe = false;  // PROBE_REQ accepted (else refused)

  Reply findReply;       // to FIND_REQ, multicast and unicast
  Reply portCountReply;  // to the port count queries
  Reply itemCountReply;  // to the item count query
  Reply absentPort;      // PORT_REQ for an index it does not have (answer: port 0)
  Reply absentItem = Reply::refuse();  // STATUSITEM_REQ for an index it does not have
};

class DiscoverySim {
 public:
  using TargetId = int;

  explicit DiscoverySim(TargetSim& engine);
  ~DiscoverySim();  // removes its endpoints from the engine
  DiscoverySim(const DiscoverySim&) = delete;
  DiscoverySim& operator=(const DiscoverySim&) = delete;

  // -1 when an endpoint cannot be created.
  TargetId addTarget(const TargetSpec& layout);

  EndpointId endpoint(TargetId id) const;
  EndpointId portEndpoint(TargetId id, uint16_t portIndex) const;
  EndpointId itemEndpoint(TargetId id, uint16_t itemIndex) const;
  KALMO::IPAddress address(TargetId id) const;                       // discovery endpoint
  KALMO::IPAddress portAddress(TargetId id, uint16_t portIndex) const;  // the port's endpoint
  KALMO::IPAddress itemAddress(TargetId id, uint16_t itemIndex) const;  // control address
  // Names announced to the target, in arrival order.
  std::vector<std::string> announcedNames(TargetId id) const;

 private:
  struct State;
  TargetSim& engine_;
  std::shared_ptr<State> state_;
};

}  // namespace vsim
