#pragma once
// The transfer profile of a streaming connection: how a stream is cut into
// cycles and packets, and how feedback adjusts it.

#include <cstdint>

#include "base/clock.h"

namespace VELLORA {

enum TransferMode : uint32_t {
  // Equal packets of fixedPacketBytes; feedback trims the cycle.
  TRANSFER_VAR = 0,
  // Fixed cycle, packets sized by a Q14 frame accumulator; feedback trims
  // framesPerPacketQ14.
  TRANSFER_FIX = 1,
  // As TRANSFER_FIX, each cycle drawn between minCycle and cycle.
  TRANSFER_RANDOM = 2,
  // Equal packets on a cycle derived from the sink's own cycle.
  TRANSFER_SINKCYCLE = 3,
};

// The sink's profile flags (option2 of its transfer parameters).
using ProfileID = uint16_t;
// Accept by the host's limit cycle only, not the sink's minimum and maximum.
constexpr ProfileID PROFILE_LIMIT = 0x01;
// Variable-cycle profiles instead of fixed-cycle ones.
constexpr ProfileID PROFILE_VAR = 0x02;
// Search upwards in 50 us steps instead of one try at the sink's maximum.
constexpr ProfileID PROFILE_SEARCH = 0x04;
// Search the packet count.
constexpr ProfileID PROFILE_AUTOCOUNT = 0x08;
// Derive the cycle from the sink's minimum cycle.
constexpr ProfileID PROFILE_SINKCYCLE = 0x20;

struct Profile {
  KALMO::Clock cycle = 0;
  // 0: packet sizes come from the frame accumulator.
  uint32_t fixedPacketBytes = 0;
  uint32_t maxPacketBytes = 0;
  // Audio frames per packet x 16384.
  uint32_t framesPerPacketQ14 = 0;
  uint16_t packetsPerCycle = 0;
  KALMO::Clock minCycle = 0;
  TransferMode mode = TRANSFER_VAR;
};

}  // namespace VELLORA
