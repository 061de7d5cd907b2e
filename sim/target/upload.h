#pragma once
// What a stand-in target does with an upload: the slot query and the slot
// open (packet size, packets per block and block count of its own), the
// data packets of each burst with one acknowledgement per burst (naming the
// first missing sequence number after a loss), and the finish exchange: the
// CRC-16 received is echoed, the verdict says whether it is the CRC-16 of
// what the target stored.
//
//   vsim::TargetSim engine;
//   vsim::EndpointId ep = engine.addEndpoint(vsim::ipv6("::1", 0));
//   vsim::UploadSpec plan;
//   plan.packetSize = 100;
//   plan.drops = {{3, 1}};                 // lose packet 3 once
//   vsim::UploadSim upload(engine, ep, plan);
//   ... Find::Transfer(engine.address(ep), 0, data, 0) ...
//   upload.state().stored                   // what arrived, in place
//
// The target takes a packet only when it carries the next sequence number
// it expects (and sits where that number belongs), so whatever comes after
// a gap is dropped until it is resent.

#include "sim/target/manage_fault.h"
#include "sim/target/manage_handlers.h"
#include "sim/target/target_sim.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vsim {

struct UploadSpec {
  uint16_t slots = 1;             // option0 of the answer to the slot query
  uint16_t windowLimit = 0xFFFF;  // option1 of it: bytes per burst, 0xFFFF none
  uint32_t packetSize = 1024;     // bytes per packet, 1 .. 65536
  uint32_t blockPackets = 16;     // packets per block, 1 .. 65536
  uint32_t blocks = 16;           // blocks of the slot, 1 .. 65536
  int openSlot = -1;              // option0 of the open answer; -1: the slot asked for
  bool ackNext = false;           // a complete burst is acknowledged with the number after its last
  int finishResult = -1;          // -1: 0xFFFF when the CRC matches what was stored, else 0
  int finishCrc = -1;             // option1 of the finish answer; -1: the CRC received

  // Lose the packet at this place (block * blockPackets + index) `times`
  // times (-1: every time).
  struct Drop {
    uint64_t packet = 0;
    int times = 1;
  };
  std::vector<Drop> drops;

  // How the answers go wrong (counted per kind of answer). For the burst
  // acknowledgements: SILENT drops one, REFUSE is a NAK, OTHER names
  // another slot, TRUNCATED and LENGTH_OVER are short and overlong ones,
  // `from` sends it from another endpoint (with thenAnswer: a decoy first).
  Fault queryFault;   // answer to the slot query
  Fault openFault;    // answer to the slot open
  Fault ackFault;     // burst acknowledgements
  Fault finishFault;  // answer to the finish

  size_t storeLimit = size_t{64} << 20;  // bytes the target keeps at most
};

struct UploadState {
  std::vector<uint8_t> stored;  // data in place, as far as it arrived
  uint16_t openedSlot = 0;      // slot + 1 of the last open, 0 before any
  uint64_t packets = 0;         // data packets that reached the target
  uint64_t taken = 0;           // of them, stored
  uint64_t dropped = 0;         // lost on purpose
  uint64_t misplaced = 0;       // right sequence number, wrong block or index, or another slot
  std::vector<uint16_t> acks;   // option1 of each acknowledgement, in order
  uint16_t finishCrc = 0;       // CRC the host sent with the last finish
  uint16_t storedCrc = 0;       // CRC-16 of `stored` at that finish
  int finishes = 0;
};

class UploadSim {
 public:
  UploadSim(TargetSim& engine, EndpointId endpoint, const UploadSpec& plan);

  UploadState state() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  EndpointHandlers handlers_;  // after state_: removed first
};

}  // namespace vsim
