#include "protocol/ssync.h"

#include "base/syslog.h"
#include "protocol/ssync_internal.h"
#include "protocol/ssync_pacing.h"
#include "protocol/syslog_vellora.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace VELLORA {

namespace {

using namespace ssync_detail;

using KALMO::Clock;
using KALMO::SysLog::ERR;
using KALMO::SysLog::INFO;
using KALMO::SysLog::WARNING;

}  // namespace

SSync::SSync()
    : converter(memcpySyncOrg),
      syncState(Idle),
      playFlag(false),
      workMode(0),
      hostInvert(false),
      stopping(false) {}

SSync::~SSync() {
  stopThreads();
  Connection::close();
  debugSocket.close();
}

bool SSync::getNewStream(Stream&) {
  ERR << "getNewStream not set err";
  return false;
}

bool SSync::getNewStreamCmp() { return true; }

bool SSync::startSyncWorker() {
  try {
    workerThread = std::thread(&SSync::thread_sync_func, this);
  } catch (...) {
    return false;
  }
  // Started from the idle-class main thread, whose class it would take
  // until it ran far enough to raise itself: on a busy machine that can
  // outlast the connect's wait. Its own call still decides and says how
  // it went.
  (void)KALMO::ThreadPriority::setPriority(workerThread, ssync_detail::workerPriority(workMode.load()));
  return true;
}

void SSync::memcpySync(unsigned char* destination, const unsigned char* source,
                       unsigned long bytes) {
  converter.load(std::memory_order_relaxed)(destination, source, bytes);
}

// ---------------------------------------------------------------- open/close

bool SSync::open(THRED_MODE mode, Clock info, unsigned short scopeId, const std::string& hostName,
                 unsigned long hostTag, int cpu, int dCpu, int dCpuCount) {
  INFO << "Vellora Sync Library ReleaseNo : " << 143 << " [" << scopeId << "]";
  hostInvert = false;
  workMode = mode;
  workerCpu = cpu;
  debugCpu = dCpu;
  debugCpuCount = dCpuCount;
  infoCycle = info;
  scope = scopeId;
  // The debug thread waits on the debug socket: it goes before the socket
  // is opened anew.
  debugThread.stop();
  stopping = false;

  KALMO::IPAddress local{};
  local.interfaceIndex = scopeId;
  if (!Connection::open(local)) return false;
  controlPort = local.port;
  if (!openDataSocket()) return false;
  if (mode & SOCKETNOBLOCK) {
    if (!socket.setBlocking(false)) return false;
    if (!dataSocket.setBlocking(false)) return false;
  }
  maxPacketSize = 1432;
  maxPacketCount = 10;
  name = hostName;
  tag = hostTag;
  syncState = Idle;
  playFlag = false;

  uint16_t debugPort = 0;  // the debug thread finds its own port for its wake-up
  return openBound(debugSocket, debugPort);
}

bool SSync::openBound(KALMO::Socket& s, uint16_t& port) {
  KALMO::IPAddress local{};
  local.interfaceIndex = scope;
  if (!s.open(KALMO::Socket::UDP_IPV6) || !s.bindV6(local, 1000)) return false;
  port = local.port;
  return true;
}

bool SSync::openDataSocket() {
  uint16_t port = 0;
  return openBound(dataSocket, port);
}

void SSync::close() {
  stopThreads();
  Connection::close();
  debugSocket.close();
}

bool SSync::stoppingNow() const { return stopping.load(); }

void SSync::wakeSocket(uint16_t port) {
  if (port == 0) return;
  KALMO::Socket s;
  if (!s.open(KALMO::Socket::UDP_IPV6)) return;
  KALMO::IPAddress to{};
  to.address[15] = 1;  // ::1 reaches a socket bound to [::]
  to.port = static_cast<uint16_t>((port >> 8) | (port << 8));
  const uint8_t byte = 0;
  (void)s.sendToV6(KALMO::BufferCS_const{&byte, 1}, to, false);
}

void SSync::stopThreads() {
  stopping = true;
  if (workerThread.joinable()) {
    // The worker leaves its loop once the state is no longer Connected or
    // Disconnecting; the datagram ends a wait in progress.
    syncState = Idle;
    wakeSocket(controlPort);
    workerThread.join();
  }
  debugThread.stop();
  stopping = false;
}

// ---------------------------------------------------------------- handshake

bool SSync::setSink(const KALMO::IPAddress& sink, Clock wantedLatency, bool probe) {
  Receive answer;
  if (probe) {
    Send request(PROBE_REQ, 0, uint64_t{0});
    if (!sendAck(sink, request, SUPPORTFORMAT_ANS, answer, kHandshakeWait)) return false;
  }
  if (!inquirySupportFormat(sink)) return false;
  const uint32_t frameMax = getFrameMax();
  const uint32_t baseMin = getNoneBaseMin();
  if (!inquiryParameter(sink, baseMin, frameMax)) return false;

  Send ask(LATENCY_REQ, 0, 0, 0, 0, 0);
  if (!sendAck(sink, ask, LATENCY_ANS, answer, kHandshakeWait) || !answer) return false;
  hwLatency = answer.getOption1();
  // The wish travels in 100 us units in 16 bits: a longer one is held at the
  // largest rather than wrapped to a short latency, or to 0, "the sink's own".
  const uint16_t request = static_cast<uint16_t>(
      std::min<uint64_t>(static_cast<uint64_t>(wantedLatency) / (100 * kUs), 0xFFFF));
  if (request == 0) {
    latency = answer.getOption0();
    INFO << "LATENCY_REQ hw=" << hwLatency * 100u << "us latency=" << latency * 100u << "us";
  } else {
    Send want(LATENCY_REQ, 0, request, 0, 0, 0);
    if (!sendAck(sink, want, LATENCY_ANS, answer, kHandshakeWait) || !answer) return false;
    latency = answer.getOption0();
    INFO << "LATENCY_REQ hw=" << hwLatency * 100u << "us request=" << request * 100u
         << "us latency=" << latency * 100u << "us";
  }

  Send size(DATASIZE_REQ, 0);
  if (sendAck(sink, size, DATASIZE_ANS, answer, kHandshakeWait) && answer) {
    const uint16_t mtu = answer.getOption0();
    const uint16_t max = answer.getOption1();
    INFO << "DATASIZE_REQ mtu=" << mtu << " max=" << max;
    // A packet must hold the headers and at least one frame of the sink's
    // largest format; anything less (0 included) cannot be streamed to.
    if (mtu < kPacketOverhead + 8 || ((mtu - kPacketOverhead) & ~7u) < frameMax) {
      ERR << "DATASIZE_REQ mtu error " << mtu;
      return false;
    }
    setPackSize(mtu, max);
  } else {
    maxPacketSize = 1432;
    maxPacketCount = 10;
  }

  sinkAddress = sink;
  debugTarget = sink;
  debugTarget.port = static_cast<uint16_t>((SSyncDebug::PORT >> 8) | (SSyncDebug::PORT << 8));
  debugThread.setTarget(debugTarget);  // registered by the thread at its next pass
  if (logAt(6)) std::this_thread::sleep_for(std::chrono::milliseconds(110));
  return true;
}

bool SSync::is_active() {
  Receive answer;
  Send request(SUPPORTFORMAT_REQ, 0, uint64_t{0});
  return sendAck(sinkAddress, request, SUPPORTFORMAT_ANS, answer, kHandshakeWait) && bool(answer);
}

bool SSync::inquirySupportFormat(const KALMO::IPAddress& to) {
  Receive answer;
  auto ask = [&](uint64_t mask, uint64_t& result) {
    Send request(SUPPORTFORMAT_REQ, 0, mask);
    if (!sendAck(to, request, SUPPORTFORMAT_ANS, answer, kHandshakeWait) || !answer) return false;
    result = answer.getOption();
    return true;
  };
  uint64_t all = 0;
  if (!ask(0, all) || all == 0) return false;
  uint64_t v = 0;
  if (all & 0xFF00) {
    if (!ask(all & 0xFF00, v)) return false;
    sincSupportPCM = v;
  } else {
    sincSupportPCM = 0;
  }
  if (!(all & 0xF0000)) {
    sincSupportDSDlsb = 0;
    sincSupportDSDmsb = 0;
    return sincSupportPCM != 0;
  }
  if (all & 0x100000) {
    if (!ask(0x100000, v)) return false;
    sincSupportDSDlsb = v;
  } else {
    sincSupportDSDlsb = 0;
  }
  if (all & 0x200000) {
    if (!ask(0x200000, v)) return false;
    sincSupportDSDmsb = v;
  } else {
    sincSupportDSDmsb = 0;
  }
  return sincSupportPCM != 0 || sincSupportDSDlsb != 0 || sincSupportDSDmsb != 0;
}

bool SSync::inquiryParameter(const KALMO::IPAddress& to, unsigned int baseMin,
                             unsigned int frameMax) {
  Receive answer;
  Send request(PARAMETER_REQ, 0, static_cast<uint64_t>(wireFormat));
  if (!sendAck(to, request, PARAMETER_ANS, answer, kHandshakeWait)) return false;
  uint16_t min = 0, max = 0, id = 0;
  if (answer) {
    min = answer.getOption0();
    max = answer.getOption1();
    id = answer.getOption2();
  }
  profileMaker.setParameter(min, max, static_cast<ProfileID>(id), baseMin, frameMax);
  return true;
}

namespace {


struct MaskRef {
  const char* label;
  const FormatSupport* mask;
};

}  // namespace

uint32_t SSync::getNoneBaseMin() const {
  const MaskRef masks[] = {{"sincSupportPCM=", &sincSupportPCM},
                           {"sincSupportDSDlsb=", &sincSupportDSDlsb},
                           {"sincSupportDSDmsb=", &sincSupportDSDmsb}};
  uint32_t best = 0xFFFFFFFFu;
  for (const auto& m : masks) {
    if (*m.mask == 0) continue;
    const uint32_t si = static_cast<uint32_t>(m.mask->getSpeedMultMin() * m.mask->getBitsMax() *
                                              m.mask->getChMax()) / 8;
    INFO << m.label << static_cast<uint64_t>(*m.mask) << " si=" << si;
    if (si != 0 && si < best) best = si;
  }
  return best;
}

uint32_t SSync::getFrameMax() const {
  const MaskRef masks[] = {{"sincSupportPCM=", &sincSupportPCM},
                           {"sincSupportDSDlsb=", &sincSupportDSDlsb},
                           {"sincSupportDSDmsb=", &sincSupportDSDmsb}};
  uint32_t best = 0;
  for (const auto& m : masks) {
    if (*m.mask == 0) continue;
    const uint32_t si = (m.mask->getBitsMax() * m.mask->getChMax()) / 8;
    INFO << m.label << static_cast<uint64_t>(*m.mask) << " si=" << si;
    if (si > best) best = si;
  }
  return best;
}

void SSync::setPackSize(unsigned short mtu, unsigned short max) {
  // An MTU without room for the headers would wrap the size and divide by 0.
  if (mtu <= kPacketOverhead) return;
  maxPacketSize = static_cast<uint16_t>((mtu - kPacketOverhead) & ~7u);
  maxPacketCount = max == 0xFFFF ? 0xFFFF : static_cast<uint16_t>(max / mtu);
}

bool SSync::mtuTest(const KALMO::IPAddress& to, unsigned short& mtu) {
  const unsigned tested = mtu;
  mtu = 0;
  if (tested <= kPacketOverhead || tested - kPacketOverhead > MAX_PAYLOAD) return false;
  const size_t payload = tested - kPacketOverhead;
  SendBuffer request;
  if (!request.resize(payload)) return false;
  uint16_t sum = 0;
  uint8_t* p = request.get_data();
  for (size_t i = 0; i < payload; ++i) {
    p[i] = static_cast<uint8_t>((122 + i) % 256);
    sum = static_cast<uint16_t>(sum + p[i]);
  }
  request.set(DATASIZE_REQ, 0);
  request.update();
  Receive answer;
  const bool ok = sendAck(to, request, DATASIZE_ANS, answer, kHandshakeWait);
  if (ok && answer && answer.getOption3() == sum) {
    // The sink's received length, as 32 bits: an answer beyond 16 bits is
    // not a usable MTU.
    const uint32_t got = static_cast<uint32_t>(answer.getOption2()) + kPacketOverhead;
    if (got <= 0xFFFF) mtu = static_cast<unsigned short>(got);
  }
  return ok;
}

bool SSync::mtuTest(unsigned short& mtu) { return mtuTest(sinkAddress, mtu); }

// ---------------------------------------------------------------- formats

bool SSync::checkSinkSupport(FormatConfigure format) const {
  const uint64_t f = format;
  auto inside = [f](uint64_t mask) { return mask != 0 && (f & ~mask) == 0; };
  if (format.isPCM()) return inside(sincSupportPCM);
  if (format.isDSD()) {
    if (format.isDSDlsb()) return inside(sincSupportDSDlsb);
    if (format.isDSDmsb()) return inside(sincSupportDSDmsb);
    return inside(static_cast<uint64_t>(sincSupportDSDlsb) | sincSupportDSDmsb);
  }
  return false;
}

bool SSync::setSinkConfigure(FormatConfigure format) {
  if (checkSinkSupport(format)) {
    converter = memcpySyncOrg;
    wireFormat = format;
    hostFormat = format;
    return true;
  }
  const bool dsd1Offered = ((static_cast<uint64_t>(sincSupportDSDlsb) | sincSupportDSDmsb) & 0x10000) != 0;
  if (!format.isDSD1() || !dsd1Offered || format.getWid() != 4) return false;

  const bool lsb = format.isDSDlsb();
  const bool little = format.isDSDlittle();
  const uint64_t own = lsb ? sincSupportDSDlsb : sincSupportDSDmsb;
  const uint64_t other = lsb ? sincSupportDSDmsb : sincSupportDSDlsb;
  auto words32 = [](uint64_t mask) { return ((mask >> 24) & 0x02) != 0; };

  FormatID target = 0;
  Converter conv = nullptr;
  const char* line = nullptr;
  if (words32(own)) {
    conv = memcpySyncByteSwap32;
    if (lsb) {
      target = little ? 0x2910000 : 0x2510000;
      line = little ? "DSD COVERT LSB littele -> LSB Big" : "DSD COVERT LSB Big -> LSB littele";
    } else {
      target = little ? 0x2A10000 : 0x2610000;
      line = little ? "DSD COVERT MSB littele -> MSB Big" : "DSD COVERT MSB Big -> MSB littele";
    }
  } else if (words32(other)) {
    // Keep the word order when the other bit order offers it, else swap it too.
    const bool otherHasBig = (other & 0x800000) != 0;
    const bool otherHasLittle = (other & 0x400000) != 0;
    const bool toBig = little ? otherHasBig : !otherHasLittle;
    conv = (toBig == little) ? memcpySyncBitByteSwap32 : memcpySyncBitSwap32;
    if (lsb) {
      target = toBig ? 0x2A10000 : 0x2610000;
      line = little ? (toBig ? "DSD COVERT LSB littele -> MSB Big"
                             : "DSD COVERT LSB littele -> MSB littele")
                    : (toBig ? "DSD COVERT LSB Big -> MSB Big" : "DSD COVERT LSB Big -> MSB littele");
    } else {
      target = toBig ? 0x2910000 : 0x2510000;
      line = little ? (toBig ? "DSD COVERT MSB littele -> LSB Big"
                             : "DSD COVERT MSB littele -> LSB littele")
                    : (toBig ? "DSD COVERT MSB Big -> LSB Big" : "DSD COVERT MSB Big -> LSB littele");
    }
  } else {
    return false;
  }
  INFO << line;
  FormatConfigure candidate = format;
  candidate.setFormat(target);
  if (!checkSinkSupport(candidate)) return false;
  converter = conv;
  wireFormat = candidate;
  hostFormat = format;
  return true;
}

// ---------------------------------------------------------------- connection

void SSync::notifyConnect() {
  { std::lock_guard<std::mutex> lock(connectMutex); }
  connectCond.notify_all();
}

bool SSync::connectPrepare() {
  Receive answer;
  Send request(CONNECTPRE_REQ, 0, static_cast<uint64_t>(FormatPreConfigure(wireFormat, latency)));
  if (!sendAck(sinkAddress, request, CONNECTPRE_ANS, answer, kConnectWait)) {
    ERR << "wth CR send err";
    syncState = Idle;
    notifyConnect();
    return false;
  }
  if (!answer) return true;
  const FormatPreConfigure sinkPre(answer.getOption());
  INFO << "CONNECTPRE_REQ latency=" << sinkPre.getLatency() * 100u << "us";
  SendBuffer hello;
  if (!hello.set_str(name)) hello.set_str(std::string());
  hello.set(CONNECTNAME_REQ, STATUS_ACK, tag);
  hello.update();
  return sendAck(sinkAddress, hello, CONNECTNAME_ANS, answer, kHandshakeWait);
}

bool SSync::connect(int cpu) {
  if (cpu >= 0) workerCpu = cpu;
  syncState = Idle;
  if (workerThread.joinable()) {
    wakeSocket(controlPort);
    workerThread.join();
  }
  if (!wireFormat.isValid()) {
    ERR << "sinkConfig invalid";
    return false;
  }
  // The resend ring and the pacing divide by the cycle; a profile that was
  // never computed (or failed) cannot be streamed.
  const Profile& p = profiles[0];
  const uint32_t frame = wireFormat.getWid() * wireFormat.getChannel();
  if (profileCount < 1 || !streamable(p) || maxPacketSize < frame) {
    ERR << "profile invalid";
    return false;
  }
  // A connection without MS mode closed the data socket; a later one may
  // negotiate it again.
  if (!dataSocket.is_open() && openDataSocket() && (workMode.load() & SOCKETNOBLOCK)) {
    (void)dataSocket.setBlocking(false);
  }
  playFlag = false;
  syncState = Connecting;
  if (!startSyncWorker()) {
    ERR << "Sync Worker Start Error";
    syncState = Idle;
    stopThreads();
    Connection::close();
    debugSocket.close();
    return false;
  }
  // The sink's debug texts are wanted from the log threshold 6 on; the
  // thread lives until close.
  if (logAt(6) && !debugThread.running() &&
      !debugThread.start(debugSocket, (workMode.load() & OCCUPIED) != 0, debugCpu,
                         debugCpuCount)) {
    WARNING << "Debug Thread Start Error";
  }
  return true;
}

bool SSync::connectWait() {
  SyncState s = syncState.load();
  if (s != Connecting && s != Connected) return false;
  {
    std::unique_lock<std::mutex> lock(connectMutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(50);
    const bool done = connectCond.wait_until(lock, deadline, [this] {
      return syncState.load() != Connecting;
    });
    if (done) {
      INFO << "connectWait notimeout";
    } else {
      INFO << "connectWait timeout";
    }
  }
  INFO << "connectWait " << static_cast<int32_t>(syncState.load());
  return true;
}

bool SSync::beginDisconnect() {
  // One step: a worker that ends the stream at the same moment sets Idle,
  // and a separate test and store would turn that Idle into a Disconnecting
  // that nobody ever ends.
  SyncState expected = Connected;
  if (!syncState.compare_exchange_strong(expected, Disconnecting)) return false;
  INFO << "discone flgset";
  return true;
}

void SSync::disconnect_flgset() { (void)beginDisconnect(); }

void SSync::disconnect() {
  if (!beginDisconnect()) return;
  if (workerThread.joinable()) workerThread.join();
  INFO << "discone done";
}

void SSync::play() {
  playFlag = true;
  INFO << "play " << static_cast<int32_t>(syncState.load());
}

void SSync::stop() {
  playFlag = false;
  INFO << "stop " << static_cast<int32_t>(syncState.load());
}

void SSync::changeWorkMode(THRED_MODE mode) { workMode = mode; }

void SSync::setHostInvertPhase(bool invert) { hostInvert = invert; }

Clock SSync::getLatency() const {
  return static_cast<uint64_t>(latency + hwLatency) * 100 * kUs;
}

// ---------------------------------------------------------------- exchange

bool SSync::exchangeWhile(const Send& request, MessageID answerCode, Receive& out, Clock perTry,
                          bool (*keepGoing)(const SSync&)) {
  out.clear();
  const KALMO::BufferCS_const bytes = request;
  const MessageID own = request.getMessage();
  Receive got;
  KALMO::IPAddress from;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (!keepGoing(*this)) return true;
    if (!socket.sendToV6(bytes, sinkAddress, true)) return false;
    Clock start;
    start.now();
    for (;;) {
      Clock now;
      now.now();
      const uint64_t elapsed = now - start;
      if (elapsed >= perTry) break;
      if (!keepGoing(*this)) return true;
      uint64_t slice = perTry - elapsed;
      if (slice > 50 * kMs) slice = 50 * kMs;
      const int r = socket.wait(slice);
      if (r == KALMO::Socket::WAIT_ERROR) return false;
      if (r == KALMO::Socket::WAIT_TIMEOUT) continue;
      if (!socket.receiveFromV6(got.datagram, from)) return false;
      if (got.datagram.empty() || !got) continue;
      if (from.comp(sinkAddress) != 0) continue;
      if (got.getMessage() == own) return true;
      if (got.getMessage() == answerCode) {
        if (got.getStatus() & STATUS_ACK) out.datagram.swap(got.datagram);
        return true;
      }
    }
  }
  return true;
}

}  // namespace VELLORA
