#include "protocol/ssync_pacing.h"

namespace VELLORA {

uint32_t resendRingSize(uint64_t cyclePs, uint16_t packetsPerCycle) {
  const uint64_t cycleUs = cyclePs / 1000000u;
  if (cycleUs == 0) return 0;
  const uint64_t pps = (1000000u / cycleUs) * packetsPerCycle;
  uint64_t n = 32;
  // Never below one cycle's packets, so a cycle does not overwrite itself.
  while ((n < pps || n < packetsPerCycle) && n < kResendRingMax) n <<= 1;
  return static_cast<uint32_t>(n);
}

CyclePlan planCycle(bool late, bool noFastFeedback, bool msMode, uint16_t resendCount,
                    uint16_t packetsPerCycle, int32_t lateScore) {
  CyclePlan plan{packetsPerCycle, false, lateScore};
  const bool catchUpResends = msMode && resendCount > 0;
  if (late) {
    if (plan.lateScore < 1000) plan.lateScore += 10;
    if (!noFastFeedback) {
      plan.packets *= 2;
      plan.extraCycle = true;
    } else if (catchUpResends) {
      plan.packets *= 2;
    }
  } else {
    if (plan.lateScore > 0) plan.lateScore -= 1;
    if (catchUpResends) plan.packets *= 2;
  }
  return plan;
}

uint32_t nextPacketBytes(uint32_t fixedPacketBytes, int32_t& frameAccumulator, int32_t framesQ14,
                         uint32_t bytesPerFrame, uint32_t maxPacketSize) {
  uint32_t size;
  if (fixedPacketBytes != 0) {
    size = fixedPacketBytes;
  } else {
    int64_t acc = static_cast<int64_t>(frameAccumulator) + framesQ14;
    if (acc < 0) acc = 0;
    const uint64_t frames = static_cast<uint64_t>(acc) >> 14;
    frameAccumulator = static_cast<int32_t>(acc & 0x3FFF);
    const uint64_t bytes = frames * bytesPerFrame;
    size = bytes > maxPacketSize ? maxPacketSize + 1 : static_cast<uint32_t>(bytes);
  }
  if (size > maxPacketSize) {
    size = bytesPerFrame ? maxPacketSize - maxPacketSize % bytesPerFrame : maxPacketSize;
  }
  return size;
}

}  // namespace VELLORA
