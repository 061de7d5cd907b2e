#pragma once
// Arithmetic of the streaming worker's schedule, kept apart from the thread
// so that it can be checked on its own.

#include <cstdint>

namespace VELLORA {

// Largest resend ring; keeps the 16-bit "count >= ring size" test meaningful.
constexpr uint32_t kResendRingMax = 32768;

// Records in the resend ring for about one second of packets: the packets
// per second rounded up to a power of two, at least 32, at most
// kResendRingMax. 0 for a cycle below 1 us (no usable profile).
uint32_t resendRingSize(uint64_t cyclePs, uint16_t packetsPerCycle);

// What lateness does to one cycle. `late` means the cycle started more than
// one cycle behind its schedule.
struct CyclePlan {
  int packets;       // packets to send in this cycle
  bool extraCycle;   // the schedule moves on by one more cycle
  int32_t lateScore; // the updated score
};
CyclePlan planCycle(bool late, bool noFastFeedback, bool msMode, uint16_t resendCount,
                    uint16_t packetsPerCycle, int32_t lateScore);

// Payload size of the next packet. With fixedPacketBytes 0 the Q14 frame
// accumulator decides (it keeps the fraction of a frame); a size above
// maxPacketSize is cut to whole frames that fit (the cut frames are lost to
// the accumulator, as they are to the sink).
uint32_t nextPacketBytes(uint32_t fixedPacketBytes, int32_t& frameAccumulator, int32_t framesQ14,
                         uint32_t bytesPerFrame, uint32_t maxPacketSize);

}  // namespace VELLORA
