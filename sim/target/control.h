#pragma once
// What stand-in targets answer on their control endpoints: CONTROLHELLO_REQ,
// CONTROLITEM_REQ (the item count, then each item's kind) and
// CONTROLVALUE_REQ reads and writes of each item's 48-bit value and status.
//
// A ControlSim serves any number of endpoints of one engine: the control
// endpoints of DiscoverySim's status items, or endpoints of its own:
//
//   vsim::TargetSim engine;
//   vsim::DiscoverySim targets(engine);
//   vsim::ControlSim control(engine);
//   int amp = targets.addTarget(layout);          // with status item 1
//   vsim::EndpointId ep = targets.itemEndpoint(amp, 1);
//   control.attach(ep, {vsim::ControlItemSpec::play(), vsim::ControlItemSpec::volume(-3000)});
//   ... the host connects, reads, writes ...
//   control.setVolume(ep, 2, -10);              // turned on the target itself
//   control.writes();                           // what the host wrote, in order
//
// Volume items hold a signed volume from 0 (full) down to -6000; a write
// beyond either end is held at that end. A play item reports its playing
// state in the status bit PLAYING and its format in the value (bits 0-15 of
// the format word, then its bits 32-63 in value bits 16-47).
//
// Every answer can be changed per endpoint, per code and per item id with a
// ControlFault: silence, refusal, echo, another sender, lateness, another
// id, a repeated copy. Engine scripts for a code still come first.

#include "sim/target/discovery.h"
#include "sim/target/target_sim.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace vsim {

struct ControlItemSpec {
  static constexpr uint16_t KIND_PLAY = 1;
  static constexpr uint16_t KIND_VOLUME = 2;
  static constexpr int VOLUME_FULL = 0;
  static constexpr int VOLUME_FLOOR = -6000;

  uint16_t kind = KIND_VOLUME;
  uint64_t value = 0;   // 48 bits; a volume as 48-bit two's complement
  uint16_t status = 0;  // sent with STATUS_ACK in every value answer

  static ControlItemSpec volume(int64_t v);
  static ControlItemSpec play(bool playing = false, uint64_t format = 0);
  static ControlItemSpec other(uint16_t kind, uint64_t value = 0);
};

// The value of a volume (held between -6000 and 0), of a play format, and
// a 48-bit value read as a signed number.
uint64_t volumeValue(int64_t volume);
uint64_t playFormatValue(uint64_t format);
int64_t signed48(uint64_t value);

// How one endpoint answers the requests of one code (and item id).
struct ControlFault {
  Reply reply;        // silence, refusal, echo, another sender, lateness
  int wrongId = -1;   // >= 0: the answer carries this in option0 instead
  bool thenAnswer = false;  // after `reply`, the proper answer from the endpoint
  // > 0: what `reply` sent goes once more this much later (a target that
  // answers every try of a slow exchange).
  std::chrono::milliseconds repeat{0};
  int times = -1;  // the fault serves this many requests, then plain answers (-1: all)
};

// One value write that reached a control endpoint.
struct ControlWrite {
  EndpointId endpoint = NO_ENDPOINT;
  uint16_t id = 0;
  int64_t value = 0;  // the 48 bits read as a signed number
};

class ControlSim {
 public:
  explicit ControlSim(TargetSim& engine);
  ~ControlSim();  // takes its handlers off, removes the endpoints it made
  ControlSim(const ControlSim&) = delete;
  ControlSim& operator=(const ControlSim&) = delete;

  // Serves the control channel on an engine endpoint (items get ids 1..n).
  // False when the endpoint is unknown.
  bool attach(EndpointId endpoint, const std::vector<ControlItemSpec>& items);
  // An endpoint of its own (port 0: chosen by the system); NO_ENDPOINT when
  // it cannot be made.
  EndpointId add(const std::vector<ControlItemSpec>& items, const KALMO::IPAddress& at = ipv6("::1", 0));

  // The target's own side. False for an unknown endpoint or id.
  bool setValue(EndpointId endpoint, uint16_t id, uint64_t value);
  bool setStatus(EndpointId endpoint, uint16_t id, uint16_t status);
  bool setVolume(EndpointId endpoint, uint16_t id, int64_t volume);
  bool setPlaying(EndpointId endpoint, uint16_t id, bool playing);
  bool setPlayFormat(EndpointId endpoint, uint16_t id, uint64_t format);
  uint64_t value(EndpointId endpoint, uint16_t id) const;  // 0 when unknown
  int64_t volume(EndpointId endpoint, uint16_t id) const;  // signed48(value)

  // The count answered (-1: the real one), e.g. 0 or far above the items.
  void setReportedCount(EndpointId endpoint, int count);
  // For `code` (CONTROLHELLO_REQ, CONTROLITEM_REQ or CONTROLVALUE_REQ) and
  // item id (-1: every request; the count query is item 0). A fault for one
  // id goes before a fault for every request.
  void fault(EndpointId endpoint, uint16_t code, const ControlFault& how, int id = -1);
  void clearFaults(EndpointId endpoint);

  // Every write received, in arrival order (tries included).
  std::vector<ControlWrite> writes() const;
  void clearWrites();

 private:
  struct State;
  TargetSim& engine_;
  std::shared_ptr<State> state_;
};

}  // namespace vsim
