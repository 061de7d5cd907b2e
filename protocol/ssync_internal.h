#pragma once
// Times and switches shared by the streaming connection's source files.

#include "base/clock.h"
#include "base/thread_priority.h"
#include "protocol/ssync.h"
#include "protocol/ssync_pacing.h"
#include "protocol/syslog_vellora.h"

#include <cstdint>

namespace VELLORA {
namespace ssync_detail {

constexpr uint64_t kUs = 1000000ull;
constexpr uint64_t kMs = 1000000000ull;
// Wait per try of the handshake requests and of the connect requests.
constexpr KALMO::Clock kHandshakeWait = 10 * kMs;
constexpr KALMO::Clock kConnectWait = 10000 * kMs;
// IPv6, UDP and record headers that a packet of the sink's MTU carries
// besides the audio.
constexpr unsigned kPacketOverhead = 64;

inline bool logAt(int level) { return SysLogVellora::vellora_log >= level; }

// A profile entry that can be streamed: the resend ring and the pacing
// divide by its cycle and packet count (a failed search leaves neither).
inline bool streamable(const Profile& p) {
  return p.packetsPerCycle != 0 && resendRingSize(p.cycle, p.packetsPerCycle) != 0;
}

// The scheduling class of the streaming worker for a work mode.
inline KALMO::ThreadPriority::Priority workerPriority(int32_t mode) {
  return (mode & SSync::CRITICAL) != 0 ? KALMO::ThreadPriority::CRITICAL : KALMO::ThreadPriority::HIGH;
}

inline bool stillConnecting(const SSync& s) {
  return s.syncState.load() == SSync::Connecting && !s.stoppingNow();
}

}  // namespace ssync_detail
}  // namespace VELLORA
