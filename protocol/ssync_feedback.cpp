// What the streaming worker does with a datagram from the sink: resend
// requests, feedback through the control law, profile stepping, phase
// changes, and the sink ending the stream.

#include "protocol/ssync.h"

#include "base/syslog.h"
#include "protocol/syslog_vellora.h"

namespace VELLORA {

namespace {

using KALMO::SysLog::DEBUG;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

}  // namespace

bool SSync::handleSinkDatagram(Worker& w) {
  if (!socket.receiveFromV6(w.received.datagram, w.from)) {
    INFO << "udp rcv error ";
    syncState = Idle;
    return false;
  }
  if (w.received.datagram.empty()) return true;  // nothing was waiting
  // Only the sink's control endpoint may steer the stream.
  if (w.from.comp(w.controlDestination) != 0 || !w.received) return true;
  w.lastReceive = w.now;
  switch (w.received.getMessage()) {
    case STREAMINFO_ANS:
      return handleStreamInfo(w, w.received);
    case SYNCHRO_STATUS_ANS:
      DEBUG << "SYNCHRO_STATUS_ANS ";
      return true;
    case DSICONNECT_ANS:
      INFO << "DSICONNECT_ANS ";
      syncState = Idle;
      return false;
    default:
      return true;
  }
}

bool SSync::handleStreamInfo(Worker& w, const Receive& r) {
  if (w.closeStep == CLOSE_INFO_ASKED) w.closeStep = CLOSE_DISCONNECT;
  const StatusID status = r.getStatus();
  const uint16_t o0 = r.getOption0(), o1 = r.getOption1(), o2 = r.getOption2();

  if (status & RESEND_REQ) {
    const int32_t count = resendRequestCount(w.sequence, o1, w.ringSize, w.sentPackets);
    if (count < 0) {
      INFO << "   count error " << o1 << "   " << o2 << " "
           << static_cast<uint16_t>(w.sequence - o1);
      syncState = Idle;
      return false;
    }
    w.resendCount = static_cast<uint16_t>(count);
    INFO << "   count resend " << o1 << "   " << o2 << " " << count;
    if (count > 0 && w.closeStep == CLOSE_DISCONNECT) {
      w.closeStep = CLOSE_FINAL_SENT;
      w.closeRecheck = true;
    }
    return true;
  }

  const FeedbackError fe = feedbackError(o0, o1, o2);
  const int16_t average = w.law.update(fe.error, w.window);

  switch (profileStep(w.lateScore, w.profileIndex, w.usableProfiles)) {
    case ProfileStep::Up:
      WARNING << "over time change profile " << w.profileIndex << " to " << w.profileIndex + 1;
      w.lateScore = 10;
      w.profileIndex += 1;
      w.cycle = profiles[w.profileIndex].cycle;
      w.framesQ14 = static_cast<int32_t>(profiles[w.profileIndex].framesPerPacketQ14);
      break;
    case ProfileStep::Down:
      WARNING << "over time recover profile " << w.profileIndex << " to " << w.profileIndex - 1;
      w.profileIndex -= 1;
      w.cycle = profiles[w.profileIndex].cycle;
      w.framesQ14 = static_cast<int32_t>(profiles[w.profileIndex].framesPerPacketQ14);
      break;
    case ProfileStep::Stay:
      break;
  }

  const Profile& p = profiles[w.profileIndex];
  if (p.fixedPacketBytes != 0) {
    w.cycle = correctedCycle(p.cycle, w.law.correction);
  } else {
    w.framesQ14 = static_cast<int32_t>(correctedFrames(p.framesPerPacketQ14, w.law.correction));
  }

  const bool newInvert = (status & PHASE_INFO) && !(status & PHASE_NORMAL);
  const bool host = hostInvert.load();
  if (newInvert != w.sinkInvert || host != w.hostInvert) {
    w.sinkInvert = newInvert;
    w.hostInvert = host;
    choosePhaseConverter(w);
  }

  if (SysLogVellora::vellora_log >= 6) {
    char e[8], a[8], c[8];
    formatQ14(fe.error, e);
    formatQ14(average, a);
    formatQ14(w.law.correction, c);
    auto log = INFO << "info rcv ";
    log << fe.kind << " " << e << " " << a << " " << c;
    if (p.fixedPacketBytes != 0) {
      log << " cy=" << static_cast<uint64_t>(w.cycle);
    } else {
      const uint64_t perCycle = static_cast<uint64_t>(w.framesQ14) * p.packetsPerCycle;
      char frac[8];
      formatQ14(static_cast<int32_t>(perCycle & 0x3FFF), frac);
      log << " fs=" << (perCycle >> 14) << "." << (frac + 3);
    }
  }
  w.law.previousAverage = average;
  return true;
}

}  // namespace VELLORA
