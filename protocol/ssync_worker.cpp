// The streaming worker: connect exchange, the cycle loop that cuts audio
// blocks into packets, and the closing exchange.

#include "protocol/ssync.h"

#include "base/syslog.h"
#include "base/thread_priority.h"
#include "protocol/ssync_internal.h"
#include "protocol/ssync_pacing.h"
#include "protocol/syslog_vellora.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <list>

namespace VELLORA {

namespace {

using namespace ssync_detail;

using KALMO::Clock;
using KALMO::Socket;
using KALMO::SysLog::DEBUG;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

// a is later than b.
bool later(Clock a, Clock b) { return a.Comp(b) > 0; }

uint16_t hostPort(uint16_t networkOrder) {
  return static_cast<uint16_t>((networkOrder >> 8) | (networkOrder << 8));
}

// Record r as prefill packet seq: silence of `bytes`, headerless in MS mode.
bool prefillPacket(SSync::STresendList& r, uint16_t seq, uint32_t bytes, bool ms,
                   unsigned char mute) {
  r.set(STREAMDATA_REQ, 0, seq, 0, 0, 0);
  if (ms ? !r.ms_resize(bytes) : !r.resize(bytes)) return false;
  if (bytes) std::memset(r.get_data(), mute, bytes);
  r.last = false;
  r.update();
  return true;
}

// One audio packet, with the send queue waited out briefly when full.
bool sendOn(Socket& s, KALMO::BufferCS_const bytes, bool noWait) {
  return noWait ? s.sendToV6NoWait(bytes, true) : s.sendToV6(bytes, true);
}

bool pinTo(int cpu) {
  const std::list<KALMO::ThreadPriority::Cpus> cpus{
      {static_cast<uint16_t>(cpu), static_cast<uint16_t>(1)}};
  return KALMO::ThreadPriority::setCpuThread(KALMO::ThreadPriority::getSelfThreadID(), cpus);
}

}  // namespace

void SSync::thread_sync_func() {
  int32_t mode = workMode.load();
  if (latency <= 2000) {
    mode &= ~NOFASTFEEDBACK;
    workMode = mode;
  }
  if (logAt(6)) {
    auto log = INFO << "wth start ";
    if (mode & CRITICAL) log << "CRITICAL ";
    if (mode & NOSHORTSLEEP) log << "NOSHORTSLEEP ";
    if (mode & NOSLEEP4CORE) log << "NOSLEEP4CORE ";
    if (mode & NOSLEEPFORCE) log << "NOSLEEPFORCE ";
    if (mode & SOCKETNOBLOCK) log << "SOCKETNOBLOCK ";
    if (mode & OCCUPIED) log << "OCCUPIED ";
    log << " FEEDBACK:" << (((mode & FEEDBACK) >> 5) + 1)
        << ((mode & NOFASTFEEDBACK) ? " NOFASTFEEDBACK " : " ") << " Info="
        << static_cast<uint64_t>(infoCycle / kMs);
  }
  // A worker that cannot get its priority or CPU streams nothing; waiters of
  // the connect are told at once rather than at their deadline.
  const unsigned long self = KALMO::ThreadPriority::getSelfThreadID();
  const bool critical = (mode & CRITICAL) != 0;
  if (!KALMO::ThreadPriority::setPriority(self, workerPriority(mode))) {
    ERR << "Worker Thread Priority set Error";
    syncState = Idle;
    notifyConnect();
    return;
  }
  INFO << "Worker Thread Priority change " << (critical ? "CRITICAL" : "HIGH");
  if (mode & OCCUPIED) {
    if (workerCpu != -1) {
      if (!pinTo(workerCpu)) {
        ERR << "Worker Thread CPU set error " << workerCpu;
        syncState = Idle;
        notifyConnect();
        return;
      }
      INFO << "Worker Thread CPU change " << workerCpu;
    } else if (pinTo(2)) {
      INFO << "Worker Thread CPU change " << 2;
    } else if (pinTo(1)) {
      INFO << "Worker Thread CPU change " << 1;
    } else {
      ERR << "Worker Thread CPU set error 2 1";
      syncState = Idle;
      notifyConnect();
      return;
    }
  }
  (void)syncWorker();
  syncState = Idle;
  notifyConnect();
  INFO << "wth end";
}

unsigned char SSync::wireMuteByte(const Worker& w) const {
  const unsigned char mute = wireFormat.getMuteByte();
  return w.hostInvert != w.sinkInvert ? static_cast<unsigned char>(~mute) : mute;
}

void SSync::choosePhaseConverter(Worker& w) {
  INFO << "Host Phase " << (w.hostInvert ? "Invert" : "Normal");
  const bool anti = w.hostInvert != w.sinkInvert;
  INFO << "Play Phase " << (anti ? "Invert" : "Normal");
  converter = phaseConverter(converter.load(), anti);
}

bool SSync::connectExchange(Worker& w) {
  Receive answer;
  Send node(SYNCHRO_NODE_REQ, 0);
  // MS mode needs the data socket; without it the plain connect is asked.
  bool askMs = dataSocket.is_open() &&
               sendAck(sinkAddress, node, SYNCHRO_NODE_ANS, answer, kHandshakeWait) && answer;
  Send request(askMs ? CONNECTMS_REQ : CONNECT_REQ, 0, static_cast<uint64_t>(wireFormat));
  const bool sent = exchangeWhile(request, askMs ? CONNECTMS_ANS : CONNECT_ANS, answer,
                                  kConnectWait, stillConnecting);
  if (!sent) {
    ERR << "wth CR send err";
    syncState = Idle;
    notifyConnect();
    return false;
  }
  if (!answer) {
    INFO << "wth CR ack none";
    syncState = Idle;
    notifyConnect();
    return false;
  }
  // The application gives a connect up by setting Idle (a disconnect while
  // connecting, close, another connect). Connected only from Connecting, in
  // one step: a plain store after a test could bring a given-up connection
  // back to life, and its disconnect would then wait on a stream that
  // nobody ends.
  SyncState expected = Connecting;
  if (stoppingNow() || !syncState.compare_exchange_strong(expected, Connected)) {
    INFO << "wth CR given up";
    syncState = Idle;
    notifyConnect();
    return false;
  }
  const StatusID status = answer.getStatus();
  w.sinkInvert = (status & PHASE_INFO) && !(status & PHASE_NORMAL);
  choosePhaseConverter(w);

  w.controlDestination = sinkAddress;
  w.controlDestination.port = hostPort(answer.getOption0());
  setTo(w.controlDestination);
  w.msMode = askMs && answer.getOption1() != 0;
  if (w.msMode) {
    KALMO::IPAddress data = sinkAddress;
    data.port = hostPort(answer.getOption1());
    dataSocket.setToV6(data);
  } else {
    dataSocket.close();
  }
  INFO << "MS mode :  " << (w.msMode ? "active" : "disable");

  // Prefill: one cycle of silence that goes out before the first audio.
  const Profile& p = profiles[w.profileIndex];
  w.prefillBytes = std::min<uint32_t>(
      static_cast<uint32_t>(w.framesQ14 / 16384) * w.bytesPerFrame, maxPacketSize);
  const unsigned char mute = wireMuteByte(w);
  for (uint32_t i = 0; i < p.packetsPerCycle && i < w.ringSize; ++i) {
    if (!prefillPacket(w.resendRing[i], static_cast<uint16_t>(i), w.prefillBytes, w.msMode, mute)) {
      return false;
    }
  }
  notifyConnect();
  w.now.now();
  w.nextCycle = w.now - w.cycle / 2;
  w.infoStart = w.now;
  w.lastReceive = w.now;
  INFO << "redy to play loop start" << static_cast<int>(playFlag.load());
  return true;
}

bool SSync::syncWorker() {
  Worker w;
  const Profile& p0 = profiles[0];
  w.ringSize = resendRingSize(p0.cycle, p0.packetsPerCycle);
  if (w.ringSize == 0 || p0.packetsPerCycle == 0) {
    ERR << "profile invalid";
    syncState = Idle;
    notifyConnect();
    return false;
  }
  try {
    w.resendRing.resize(w.ringSize);
    for (auto& r : w.resendRing) r.reserve(maxPacketSize + 1u);
  } catch (...) {
    ERR << "resend ring alloc error";
    syncState = Idle;
    notifyConnect();
    return false;
  }
  const uint64_t eightInfo = 8 * static_cast<uint64_t>(infoCycle);
  w.receiveLimit = eightInfo > 1000 * kMs ? eightInfo : 1000 * kMs;
  // Long enough for the sink to answer the info request after closing
  // resends, well within the closing limit.
  w.closeRecheckWait = std::min<uint64_t>(
      std::max<uint64_t>(4 * static_cast<uint64_t>(infoCycle), 100 * kMs), w.receiveLimit / 2);
  if (p0.mode == TRANSFER_RANDOM) {
    try {
      std::random_device device("default");
      w.random.seed(device());
    } catch (...) {
      // Keep the default seed: the cycles are still drawn, only predictably.
    }
  }
  w.usableProfiles = usableProfileCount();
  w.prefillLeft = static_cast<int32_t>(p0.packetsPerCycle) - 1;
  w.cycle = p0.cycle;
  w.framesQ14 = static_cast<int32_t>(p0.framesPerPacketQ14);
  w.window = ((workMode.load() & FEEDBACK) >> 5) + 1;
  w.bytesPerFrame = static_cast<uint16_t>(wireFormat.getWid() * wireFormat.getChannel());
  w.hostInvert = hostInvert.load();
  w.received.datagram.reserve(socket.receiveSize);

  if (!connectExchange(w)) return false;

  bool yielded = false;
  while (true) {
    const SyncState s = syncState.load();
    if ((s != Connected && s != Disconnecting) || stoppingNow()) break;
    // Packets the sink asked for in its last answer go out first: a
    // resend request may be that answer, and the audio it asks for would
    // otherwise be lost at the very end.
    w.now.now();
    if (w.closeRecheck) {
      if (w.resendCount > 0) {
        w.closeRecheckBy = w.now + w.closeRecheckWait;
      } else if (w.closeStep == CLOSE_DISCONNECT || !later(w.closeRecheckBy, w.now)) {
        w.closeRecheck = false;
        w.closeStep = CLOSE_DISCONNECT;
      }
    }
    if (w.closeStep == CLOSE_DISCONNECT && w.resendCount == 0) {
      disconnectExchange(w);
      return true;
    }
    bool followsWait = false;
    if (later(w.nextCycle, w.now)) {
      const int32_t mode = workMode.load();
      if (mode & IDLEALWAYS) {
        KALMO::ThreadPriority::idle();
      } else if ((mode & IDLEONCE) && !yielded) {
        KALMO::ThreadPriority::idle();
        yielded = true;
      }
      if (mode & (NOSLEEP4CORE | NOSLEEPFORCE)) continue;
      const uint64_t remaining = w.nextCycle - w.now;
      if ((mode & NOSHORTSLEEP) && remaining <= 100 * kUs) continue;
      w.waitAsked = remaining;
      w.waitResult = socket.wait(remaining);
      if (w.waitResult == Socket::WAIT_ERROR) {
        ERR << "wth udp wait error";
        return false;
      }
      w.now.now();
      if (later(w.nextCycle, w.now)) {
        // A datagram came before the cycle is due.
        if (receiveTimedOut(w)) return false;
        if (w.waitResult == Socket::WAIT_READY && !handleSinkDatagram(w)) return false;
        continue;
      }
      followsWait = true;
    } else {
      w.waitAsked = 0;
    }

    if (!runCycle(w, followsWait)) return false;
    yielded = false;

    if (w.tookStream) (void)getNewStreamCmp();
    if (w.waitResult == Socket::WAIT_TIMEOUT) {
      const int r = socket.wait();
      if (r == Socket::WAIT_ERROR) {
        ERR << "wth udp wait2 error";
        return false;
      }
      w.waitResult = r;
    }
    if (receiveTimedOut(w)) return false;
    if (w.waitResult == Socket::WAIT_READY && !handleSinkDatagram(w)) return false;
  }
  syncState = Idle;
  return true;
}

bool SSync::receiveTimedOut(Worker& w) {
  uint64_t silence = w.now - w.lastReceive;
  // The closing steps take no longer than the limit either, however much
  // else the sink keeps sending: disconnect() waits for them.
  if (w.closeStep != CLOSE_NONE) silence = std::max<uint64_t>(silence, w.now - w.closeStart);
  if (silence < static_cast<uint64_t>(w.receiveLimit)) return false;
  INFO << "   timeout " << silence / kUs;
  syncState = Idle;
  return true;
}

bool SSync::runCycle(Worker& w, bool followsWait) {
  if (!followsWait) w.waitResult = Socket::WAIT_TIMEOUT;
  w.tookStream = false;
  const Profile& p = profiles[w.profileIndex];

  uint64_t length = w.cycle;
  float factor = 1.0f;
  if (p.mode == TRANSFER_RANDOM && later(w.cycle, p.minCycle)) {
    const uint64_t cycleUs = w.cycle / kUs;
    const uint64_t range = (w.cycle - p.minCycle) / kUs;
    const uint64_t d = w.random() % (range + 1);
    const uint64_t lengthUs = cycleUs > d ? cycleUs - d : 0;
    length = lengthUs * kUs;
    factor = cycleUs ? static_cast<float>(lengthUs) / static_cast<float>(cycleUs) : 1.0f;
  }
  w.nextCycle = w.nextCycle + length;

  const bool late = !later(w.nextCycle, w.now);
  const int32_t mode = workMode.load();
  if (late) {
    WARNING << "over time " << static_cast<uint64_t>((w.now - w.nextCycle) / kUs) << " "
            << static_cast<uint64_t>(w.waitAsked / kUs) << " " << w.lateScore;
  }
  const CyclePlan plan = planCycle(late, (mode & NOFASTFEEDBACK) != 0, w.msMode, w.resendCount,
                                   p.packetsPerCycle, w.lateScore);
  w.lateScore = plan.lateScore;
  if (plan.extraCycle) w.nextCycle = w.nextCycle + w.cycle;
  const int packets = plan.packets;

  // All but the last packet of a cycle go out without blocking. Asked per
  // send, so the sockets stay blocking and no cycle pays for switching them.
  const bool noWaitSends = !(mode & SOCKETNOBLOCK) && packets > 1;
  const bool infoDue = static_cast<uint64_t>(w.now - w.infoStart) >= infoCycle;
  const int32_t scaledFrames = static_cast<int32_t>(static_cast<float>(w.framesQ14) * factor + 0.5f);
  const uint32_t n = w.ringSize;

  for (int k = 1; k <= packets; ++k) {
    const bool lastSlot = k == packets;
    const bool noWait = noWaitSends && !lastSlot;
    if (noWaitSends && lastSlot) {
      // Left non-blocking by SOCKETNOBLOCK before the mode changed: blocking
      // from here on, as a cycle of several packets leaves them.
      if (!socket.getBlocking()) (void)socket.setBlocking(true);
      if (w.msMode && !dataSocket.getBlocking()) (void)dataSocket.setBlocking(true);
    }
    if (w.resendCount > 0) {
      STresendList& r = w.resendRing[static_cast<uint16_t>(w.sequence - w.resendCount) % n];
      if (w.msMode) {
        (void)sendOn(dataSocket, r.ms_send(true, false), noWait);
      } else {
        r.statusUpdate(CYCLE_END | INFO_REQ, lastSlot ? CYCLE_END : 0);
        (void)sendOn(socket, r, noWait);
      }
      w.resendCount -= 1;
      trace(w, r);
      continue;
    }

    STresendList& r = w.resendRing[w.sequence % n];
    StatusID status = 0;
    if (lastSlot) {
      status = CYCLE_END;
      if (infoDue) {
        if (static_cast<uint64_t>(w.now - w.lastReceive) >= 4 * static_cast<uint64_t>(infoCycle)) {
          Send ask(SYNCHRO_STATUS_REQ, 0);
          if (!socket.sendToV6(ask, true)) {
            ERR << "wth udp send error";
            return false;
          }
        }
        w.infoStart = w.now;
        DEBUG << "Request Info " << static_cast<uint64_t>(w.infoStart / kUs);
        status = CYCLE_END | INFO_REQ;
        if (w.closeStep == CLOSE_FINAL_SENT) w.closeStep = CLOSE_INFO_ASKED;
      }
    }
    r.statusUpdate(CYCLE_END | INFO_REQ, status);
    if (w.msMode) {
      (void)sendOn(dataSocket, r.ms_send(false, false), noWait);
    } else if (!sendOn(socket, r, noWait)) {
      ERR << "wth udp send error " << socket.lastError.load();
      return false;
    }
    w.sentPackets += 1;
    if (r.last) w.closeStep = CLOSE_FINAL_SENT;

    const int32_t add = p.mode == TRANSFER_RANDOM ? scaledFrames : w.framesQ14;
    const uint32_t size =
        nextPacketBytes(p.fixedPacketBytes, w.frameAccumulator, add, w.bytesPerFrame, maxPacketSize);
    w.sequence = static_cast<uint16_t>(w.sequence + 1);
    if (w.prefillLeft > 0) {
      w.prefillLeft -= 1;
      // A cycle of more packets than the ring holds goes round it within
      // the prefill: the slot still holds a prefill packet that went out
      // already, and is sent again under its own sequence number.
      if (w.sequence >= n && !prefillPacket(w.resendRing[w.sequence % n], w.sequence,
                                            w.prefillBytes, w.msMode, wireMuteByte(w))) {
        ERR << "packet size error " << w.prefillBytes;
        return false;
      }
    } else if (!buildPacket(w, w.resendRing[w.sequence % n], size)) {
      return false;
    }
    trace(w, r);
  }
  return true;
}

bool SSync::buildPacket(Worker& w, STresendList& r, uint32_t size) {
  r.set(STREAMDATA_REQ, 0, w.sequence, 0, 0, 0);
  if (w.msMode ? !r.ms_resize(size) : !r.resize(size)) {
    ERR << "packet size error " << size;
    return false;
  }
  uint8_t* out = r.get_data();
  uint32_t pos = 0;
  const Converter conv = converter.load(std::memory_order_relaxed);
  while (pos < size) {
    if (w.streamPos < w.stream.size && w.stream.data != nullptr) {
      uint64_t c = w.stream.size - w.streamPos;
      if (c > size - pos) c = size - pos;
      conv(out + pos, w.stream.data + w.streamPos, c);
      pos += static_cast<uint32_t>(c);
      w.streamPos += c;
      continue;
    }
    if (w.closeStep != CLOSE_NONE) break;
    if (!playFlag.load()) {
      if (syncState.load() == Disconnecting) {
        INFO << "buffer disconnect ";
        w.closeStep = CLOSE_FINAL_BUILT;
        w.closeStart = w.now;
        r.last = true;
      }
      break;
    }
    const bool got = getNewStream(w.stream);
    w.streamPos = 0;
    if (got) {
      w.tookStream = true;
      continue;
    }
    w.stream.size = 0;
    if (syncState.load() == Disconnecting) {
      INFO << "buffer Final ";
      w.tookStream = true;
      w.closeStep = CLOSE_FINAL_BUILT;
      w.closeStart = w.now;
      r.last = true;
      break;
    }
    WARNING << "buffer timeout ";
    return false;
  }
  if (pos < size) std::memset(out + pos, wireMuteByte(w), size - pos);
  r.update();
  return true;
}

void SSync::trace(Worker& w, const STresendList& r) {
  if (!logAt(6)) return;
  Clock t;
  t.now();
  const uint32_t us = static_cast<uint32_t>(t / kUs);
  w.traceBuffer[1 + 2 * w.traceCount] = us;
  w.traceBuffer[2 + 2 * w.traceCount] = static_cast<uint32_t>(r.sendSize + 74);
  w.traceCount += 1;
  if (w.traceCount >= 176 || us - w.traceBuffer[1] > 49999) {
    w.traceBuffer[0] = w.traceCount * 65536 + 0x1000000;
    INFO << "" << KALMO::BufferCS_const{reinterpret_cast<const uint8_t*>(w.traceBuffer),
                                          sizeof(w.traceBuffer)};
    std::memset(w.traceBuffer, 0, sizeof(w.traceBuffer));
    w.traceCount = 0;
  }
}

void SSync::disconnectExchange(Worker& w) {
  Send request(DSICONNECT_REQ, 0);
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (!socket.sendToV6(request, true)) break;
    const int r = socket.wait(500 * kMs);
    if (r == Socket::WAIT_ERROR) break;
    if (r == Socket::WAIT_TIMEOUT) continue;
    if (!socket.receiveFromV6(w.received.datagram, w.from)) break;
    if (w.received && w.from.comp(w.controlDestination) == 0 &&
        w.received.getMessage() == DSICONNECT_ANS) {
      w.closeStep = CLOSE_DONE;
      syncState = Idle;
      return;
    }
  }
  INFO << "DSICONNECT_REQ ERROR ";
  syncState = Idle;
}

}  // namespace VELLORA
