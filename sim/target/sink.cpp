#include "sim/target/sink.h"

#include "base/thread_priority.h"
#include "protocol/message_id.h"
#include "sim/target/target_program.h"

#include <algorithm>

#include <sys/socket.h>

namespace vsim {

using namespace VELLORA;

namespace {

constexpr uint64_t kMs = 1000000000ull;
// A resend request that brought nothing is asked again after this long.
constexpr uint64_t kResendRetry = 100 * kMs;

}  // namespace

SinkFeedback SinkFeedback::neutral(int kind) {
  switch (kind) {
    case 2: return {0x8000, 0, 0};
    case 3: return {0, 100, 100};
    case 0: return {0, 0, 0};
    default: return {0x2000, 0, 0};
  }
}

SinkFeedback SinkFeedback::tooFull(int kind) {
  switch (kind) {
    case 2: return {0x8000 | 0x2000, 0, 0};
    case 3: return {0, 150, 100};
    case 0: return {0, 0, 0};
    default: return {0x3000, 0, 0};
  }
}

SinkFeedback SinkFeedback::tooEmpty(int kind) {
  switch (kind) {
    case 2: return {0x8000 | 0x6000, 0, 0};  // bits 0-14 read as -0x2000
    case 3: return {0, 50, 100};
    case 0: return {0, 0, 0};
    default: return {0x1000, 0, 0};
  }
}

Sink::Sink(TargetSim& sim, const KALMO::IPAddress& at, const SinkConfig& config)
    : sim_(sim), config_(config) {
  // Long streams would otherwise keep every packet twice.
  sim_.setLogLimit(2000);
  KALMO::IPAddress any = at;
  any.port = 0;
  handshake_ = sim_.addEndpoint(at);
  control_ = sim_.addEndpoint(any);
  sim_.onEndpoint(handshake_, [this](TargetSim&, const Datagram& d) { return onHandshake(d); });
  sim_.onEndpoint(control_, [this](TargetSim&, const Datagram& d) { return onControl(d); });
  // The data port has a reader of its own with a deep receive queue: a fast
  // stream must not overflow it while the engine is busy, since its 7-bit
  // tags cannot tell a long loss from a short one.
  dataAddress_ = any;
  if (dataSocket_.open(KALMO::Socket::UDP_IPV6) && dataSocket_.bindV6(dataAddress_, 1000)) {
    const int size = 4 << 20;  // well below a resend ring of packets
    (void)::setsockopt(dataSocket_.getDescriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    dataSocket_.receiveSize = 70000;
    // Non-blocking: the connect handler may take the datagram the reader
    // was told of (see flushStaleData).
    (void)dataSocket_.setBlocking(false);
    dataThread_ = std::thread([this] { readData(); });
  }
}

void Sink::readData() {
  // Keeps up with a fast stream on a busy machine; without the privilege it
  // runs at the normal class.
  (void)KALMO::ThreadPriority::setPriority(KALMO::ThreadPriority::getSelfThreadID(),
                                           KALMO::ThreadPriority::HIGH);
  KALMO::Buffer space;
  KALMO::IPAddress from;
  while (!dataStop_.load()) {
    const int r = dataSocket_.wait(50 * kMs);
    if (r == KALMO::Socket::WAIT_ERROR) return;
    if (r != KALMO::Socket::WAIT_READY) continue;
    const uint64_t stream = dataStream_.load();
    if (!dataSocket_.receiveFromV6(space, from) || space.empty()) continue;
    KALMO::Clock now;
    now.now();
    std::unique_lock<std::mutex> lock(mu_);
    // Taken before a new stream began: a packet of the stream before.
    if (dataStream_.load() != stream) continue;
    const uint8_t tag = space.back();
    // The trailing tag: 7 bits of the sequence number, bit 7 asks for info.
    onPacket(tag & 0x7F, true, false, (tag & 0x80) != 0, true, tag, space.data(),
             space.size() - 1, now);
    lock.unlock();
    cv_.notify_all();
  }
}

Sink::~Sink() {
  {
    std::lock_guard<std::mutex> lock(life_->mu);
    life_->alive = false;
  }
  sim_.onEndpoint(handshake_, TargetSim::Handler());
  sim_.onEndpoint(control_, TargetSim::Handler());
  // A handler may still be running on the engine thread: wait for it by
  // taking a round through the engine.
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  sim_.after(std::chrono::milliseconds(0), [&] {
    std::lock_guard<std::mutex> lock(m);
    done = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(m);
  cv.wait_for(lock, std::chrono::seconds(2), [&] { return done; });
  lock.unlock();
  sim_.removeEndpoint(handshake_);
  sim_.removeEndpoint(control_);
  dataStop_ = true;
  if (dataThread_.joinable()) dataThread_.join();
}

KALMO::IPAddress Sink::address() const { return sim_.address(handshake_); }

StatusID Sink::phaseBits() const {
  return static_cast<StatusID>(PHASE_INFO | (config_.inverted ? 0 : PHASE_NORMAL));
}

bool Sink::onHandshake(const Datagram& d) {
  if (!d.valid) return true;
  std::unique_lock<std::mutex> lock(mu_);
  const SinkConfig c = config_;
  switch (d.code) {
    case SUPPORTFORMAT_REQ:
    case PROBE_REQ: {
      uint64_t v = 0;
      const uint64_t ask = d.option;
      if (ask == 0) {
        v = c.pcm | c.dsdLsb | c.dsdMsb;
      } else if (ask & 0xFF00) {
        v = c.pcm;
      } else if (ask & 0x100000) {
        v = c.dsdLsb;
      } else if (ask & 0x200000) {
        v = c.dsdMsb;
      }
      lock.unlock();
      sim_.reply(d, Answer{SUPPORTFORMAT_ANS, STATUS_ACK, v, {}});
      return true;
    }
    case PARAMETER_REQ:
      if (!c.parameter) return true;
      lock.unlock();
      sim_.reply(d, Answer{-1, STATUS_ACK,
                           uint64_t{(*c.parameter)[0]} | uint64_t{(*c.parameter)[1]} << 16 |
                               uint64_t{(*c.parameter)[2]} << 32,
                           {}});
      return true;
    case LATENCY_REQ: {
      if (!c.answerLatency) return true;
      const uint16_t agreed = d.option0() != 0 ? d.option0() : c.latency;
      lock.unlock();
      sim_.reply(d, Answer{-1, STATUS_ACK, uint64_t{agreed} | uint64_t{c.hwLatency} << 16, {}});
      return true;
    }
    case DATASIZE_REQ: {
      if (!d.payload.empty()) {
        if (!c.answerMtuTest) return true;
        uint16_t sum = 0;
        for (uint8_t b : d.payload) sum = static_cast<uint16_t>(sum + b);
        lock.unlock();
        sim_.reply(d, Answer{-1, STATUS_ACK,
                             uint64_t{static_cast<uint16_t>(d.payload.size())} << 32 |
                                 uint64_t{sum} << 48,
                             {}});
        return true;
      }
      if (!c.dataSize) return true;
      lock.unlock();
      sim_.reply(d, Answer{-1, STATUS_ACK,
                           uint64_t{c.dataSize->first} | uint64_t{c.dataSize->second} << 16, {}});
      return true;
    }
    case CONNECTPRE_REQ: {
      connectPre_ = d.option;
      if (!c.answerConnectPre) return true;
      const uint64_t mine = (d.option & ~0xFFFF0000ull) | uint64_t{c.connectPreLatency} << 16;
      lock.unlock();
      sim_.reply(d, Answer{-1, STATUS_ACK, mine, {}});
      return true;
    }
    case CONNECTNAME_REQ:
      hostName_ = d.text();
      hostTag_ = d.option;
      lock.unlock();
      sim_.reply(d, Answer{});
      return true;
    case SYNCHRO_NODE_REQ:
      if (!c.answerSynchroNode) return true;
      lock.unlock();
      sim_.reply(d, Answer{});
      return true;
    case CONNECT_REQ:
    case CONNECTMS_REQ: {
      if (!c.answerConnect) return true;
      const bool ms = d.code == CONNECTMS_REQ && c.offerDataPort && dataSocket_.is_open();
      // A new stream starts from sequence 0.
      flushStaleData();
      ms_ = ms;
      wire_ = d.option;
      hostControl_ = d.sender;
      expected_ = 0;
      resendAsked_ = false;
      droppedUpTo_ = 0;
      anyDropped_ = false;
      chunks_.clear();
      packets_.clear();
      counterStarted_ = false;
      counterNext_ = 0;
      counterZeros_ = 0;
      counterPart_ = 0;
      counterPartBytes_ = 0;
      highest_ = 0;
      previous_ = 0;
      seenAny_ = false;
      wireHighest_ = 0;
      streamGen_ += 1;
      stats_ = SinkStats();
      stats_.connects = 1;
      const StatusID status = static_cast<StatusID>(STATUS_ACK | phaseBits());
      lock.unlock();
      const uint64_t control = portOf(sim_.address(control_));
      const uint64_t data = ms ? portOf(dataAddress_) : 0;
      sim_.reply(d, Answer{-1, status, control | data << 16, {}});
      cv_.notify_all();
      return true;
    }
    default:
      return true;  // nothing else is answered on the port
  }
}

void Sink::flushStaleData() {
  // The host sent the last packets of its previous stream before this
  // connect request, and loopback delivers at the send: they are all
  // queued on the data port by now, and nothing of the new stream is,
  // since it starts only after the answer. Their 7-bit tags could pass for
  // the new stream's first packets.
  dataStream_.fetch_add(1);
  if (!dataSocket_.is_open()) return;
  KALMO::Buffer stale;
  KALMO::IPAddress from;
  for (int i = 0; i < 100000; ++i) {
    if (!dataSocket_.receiveFromV6(stale, from) || stale.empty()) break;
  }
}

void Sink::sendControl(const std::vector<uint8_t>& bytes, ToHost kind) {
  sendThroughNet(control_, hostControl_, bytes, kind);
}

void Sink::sendThroughNet(EndpointId from, const KALMO::IPAddress& to, std::vector<uint8_t> bytes,
                          ToHost kind) {
  const NetFate f = toHost_ ? toHost_(kind) : NetFate();
  if (f.drop) return;
  for (int i = 0; i < f.copies; ++i) {
    if (f.delay.count() > 0) {
      sim_.sendLater(f.delay, from, to, bytes);
    } else {
      (void)sim_.send(from, to, bytes);
    }
  }
}

bool Sink::onControl(const Datagram& d) {
  if (!d.valid) return true;
  std::unique_lock<std::mutex> lock(mu_);
  switch (d.code) {
    case STREAMDATA_REQ: {
      const StatusID s = d.status;
      const uint16_t sequence = d.option0();
      // A number at or behind the newest on the wire was sent before.
      const int delta = static_cast<int16_t>(
          static_cast<uint16_t>(sequence - static_cast<uint16_t>(wireHighest_)));
      const bool first = stats_.wire == 0;
      const bool resent = !first && delta <= 0;
      if (first) {
        wireHighest_ = sequence;
      } else if (delta > 0) {
        wireHighest_ += static_cast<uint64_t>(delta);
      }
      stats_.wire += 1;
      const bool cycleEnd = (s & CYCLE_END) != 0, info = (s & INFO_REQ) != 0;
      const NetFate f = toSink_ ? toSink_(WirePacket{sequence, resent, cycleEnd, info}) : NetFate();
      if (f.drop) {
        stats_.netDropped += 1;
        break;
      }
      for (int i = 0; i < f.copies; ++i) {
        if (f.delay.count() <= 0) {
          onPacket(sequence, false, cycleEnd, info, false, 0, d.payload.data(), d.payload.size(),
                   d.time);
          continue;
        }
        sim_.after(f.delay, [this, life = life_, gen = streamGen_, sequence, cycleEnd, info,
                             audio = d.payload] {
          std::lock_guard<std::mutex> alive(life->mu);
          if (!life->alive) return;
          std::unique_lock<std::mutex> later(mu_);
          // Held back past the end of its stream: the sink has moved on.
          if (gen != streamGen_) return;
          KALMO::Clock now;
          now.now();
          onPacket(sequence, false, cycleEnd, info, false, 0, audio.data(), audio.size(), now);
          later.unlock();
          cv_.notify_all();
        });
      }
      break;
    }
    case DSICONNECT_REQ: {
      stats_.disconnects += 1;
      const bool answer = config_.answerDisconnect && !silent_;
      if (answer) {
        sendThroughNet(d.endpoint, d.sender, TargetSim::build(DSICONNECT_ANS, STATUS_ACK, 0),
                       ToHost::OTHER);
      }
      lock.unlock();
      cv_.notify_all();
      return true;
    }
    case SYNCHRO_STATUS_REQ: {
      stats_.synchroStatus += 1;
      const bool answer = !silent_;
      lock.unlock();
      if (answer) sim_.reply(d, Answer{});
      return true;
    }
    default:
      break;
  }
  lock.unlock();
  cv_.notify_all();
  return true;
}

bool Sink::shouldDrop(uint64_t index) {
  auto once = std::find(dropOnce_.begin(), dropOnce_.end(), index);
  if (once != dropOnce_.end()) {
    dropOnce_.erase(once);
    return true;
  }
  if (dropEvery_ != 0 && index % dropEvery_ == dropEvery_ - 1 &&
      (!anyDropped_ || index > droppedUpTo_)) {
    droppedUpTo_ = index;
    anyDropped_ = true;
    return true;
  }
  return false;
}

void Sink::onPacket(uint16_t sequence, bool sevenBits, bool cycleEnd, bool infoRequest,
                    bool headerless, uint8_t tag, const uint8_t* audio, size_t bytes,
                    KALMO::Clock time) {
  // Unwrap the sequence number. 16 bits: around the next one expected. The
  // data port's 7 bits: most likely the packet after the previous one (new
  // packets and resends both come in runs), then the start of a resend run
  // (the packet the sink waits for), else the newest so far moved on.
  uint64_t index;
  if (sevenBits) {
    const uint64_t next = seenAny_ ? highest_ + 1 : 0;
    const uint64_t follow = seenAny_ ? previous_ + 1 : 0;
    if (sequence == (follow & 0x7F)) {
      index = follow;
    } else if (expected_ < next && sequence == (expected_ & 0x7F)) {
      index = expected_;
    } else {
      const int d7 = (sequence - static_cast<int>(next & 0x7F)) & 0x7F;
      const int64_t delta = d7 >= 64 ? d7 - 128 : d7;
      index = delta < 0 && static_cast<uint64_t>(-delta) > next ? 0 : next + delta;
    }
  } else {
    int64_t delta =
        static_cast<int16_t>(static_cast<uint16_t>(sequence - static_cast<uint16_t>(expected_)));
    if (delta < 0 && static_cast<uint64_t>(-delta) > expected_) delta = -static_cast<int64_t>(expected_);
    index = expected_ + delta;
  }
  if (!seenAny_ || index > highest_) highest_ = index;
  previous_ = index;
  seenAny_ = true;
  stats_.packets += 1;

  if (index >= expected_ && shouldDrop(index)) {
    stats_.dropped += 1;
    return;
  }
  if (config_.keepAudio) {
    packets_.push_back(SinkPacket{index, static_cast<uint32_t>(bytes), cycleEnd, infoRequest,
                                  headerless, tag, time});
  }
  if (index < expected_) {
    stats_.duplicates += 1;
  } else if (index == expected_) {
    append(audio, bytes);
    stats_.audioBytes += bytes;
    expected_ += 1;
    if (highest_ < expected_ - 1) highest_ = expected_ - 1;
    resendAsked_ = false;
  } else {
    stats_.ahead += 1;
    // An info request is answered only after the request is renewed: the
    // first may have been lost, and the answer may be what closes the stream.
    const bool retry = resendAsked_ && (infoRequest || static_cast<uint64_t>(time - resendAskedAt_) >=
                                                           kResendRetry);
    if (!resendAsked_ || retry) {
      if (!resendAsked_) stats_.gaps += 1;
      resendAsked_ = true;
      resendAskedAt_ = time;
      if (!silent_) {
        stats_.resendRequests += 1;
        sendControl(TargetSim::build(STREAMINFO_ANS, static_cast<StatusID>(RESEND_REQ | phaseBits()),
                                     uint64_t{static_cast<uint16_t>(expected_)} << 16),
                    ToHost::RESEND_REQUEST);
      }
    }
  }
  if (infoRequest) {
    stats_.infoRequests += 1;
    if (!silent_) {
      stats_.feedbacks += 1;
      const SinkFeedback f = feedback_;
      sendControl(TargetSim::build(STREAMINFO_ANS, phaseBits(),
                                   uint64_t{f.option0} | uint64_t{f.option1} << 16 |
                                       uint64_t{f.option2} << 32),
                  ToHost::FEEDBACK);
    }
  }
}

void Sink::setFeedback(const SinkFeedback& feedback) {
  std::lock_guard<std::mutex> lock(mu_);
  feedback_ = feedback;
}

void Sink::setInverted(bool inverted) {
  std::lock_guard<std::mutex> lock(mu_);
  config_.inverted = inverted;
}

void Sink::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mu_);
  silent_ = silent;
}

void Sink::setAnswerDisconnect(bool answer) {
  std::lock_guard<std::mutex> lock(mu_);
  config_.answerDisconnect = answer;
}

void Sink::dropOnce(uint64_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  dropOnce_.push_back(index);
}

void Sink::dropEvery(uint64_t k) {
  std::lock_guard<std::mutex> lock(mu_);
  dropEvery_ = k;
}

void Sink::setNetwork(PacketNet toSink, HostNet toHost) {
  std::lock_guard<std::mutex> lock(mu_);
  toSink_ = std::move(toSink);
  toHost_ = std::move(toHost);
}

void Sink::pause(std::chrono::milliseconds length) {
  // The engine serves every endpoint of the sink on one thread.
  sim_.after(std::chrono::milliseconds(0), [length] { std::this_thread::sleep_for(length); });
}

bool Sink::sendToHost(uint16_t code, StatusID status, uint64_t option, EndpointId from) {
  KALMO::IPAddress to;
  {
    std::lock_guard<std::mutex> lock(mu_);
    to = hostControl_;
  }
  return sim_.send(from != NO_ENDPOINT ? from : control_, to, TargetSim::build(code, status, option));
}

bool Sink::requestResend(uint16_t first) {
  StatusID phase;
  {
    std::lock_guard<std::mutex> lock(mu_);
    phase = phaseBits();
  }
  return sendToHost(STREAMINFO_ANS, static_cast<StatusID>(RESEND_REQ | phase),
                    uint64_t{first} << 16);
}

void Sink::append(const uint8_t* audio, size_t bytes) {
  stats_.checksum = audioChecksum(audio, bytes, stats_.checksum);
  if (config_.checkCounter) checkCounter(audio, bytes);
  if (!config_.keepAudio) return;
  // In chunks: a long stream never stalls the engine on a reallocation.
  constexpr size_t kChunk = 1 << 20;
  while (bytes > 0) {
    if (chunks_.empty() || chunks_.back().size() == kChunk) {
      chunks_.emplace_back();
      chunks_.back().reserve(kChunk);
    }
    std::vector<uint8_t>& c = chunks_.back();
    const size_t n = std::min(bytes, kChunk - c.size());
    c.insert(c.end(), audio, audio + n);
    audio += n;
    bytes -= n;
  }
}

void Sink::checkCounter(const uint8_t* audio, size_t bytes) {
  size_t i = 0;
  while (i < bytes && counterPartBytes_ != 0) {
    counterPart_ |= uint32_t{audio[i++]} << (8 * counterPartBytes_);
    if (++counterPartBytes_ == 4) {
      counterWord(counterPart_);
      counterPart_ = 0;
      counterPartBytes_ = 0;
    }
  }
  for (; i + 4 <= bytes; i += 4) {
    counterWord(uint32_t{audio[i]} | uint32_t{audio[i + 1]} << 8 | uint32_t{audio[i + 2]} << 16 |
                uint32_t{audio[i + 3]} << 24);
  }
  for (; i < bytes; ++i) counterPart_ |= uint32_t{audio[i]} << (8 * counterPartBytes_++);
}

void Sink::counterWord(uint32_t word) {
  // Zero samples before the counter are the stream's mute start, those
  // after its last sample its mute end: only zeros followed by the next
  // counter sample are silence put into the audio.
  if (!counterStarted_) {
    if (word == 0) return;
    counterStarted_ = true;
    if (word != 1) stats_.counterBreaks += 1;
    counterNext_ = word + 1;
    return;
  }
  if (word == counterNext_) {
    if (counterZeros_ != 0) stats_.counterSilences += 1;
    counterZeros_ = 0;
    counterNext_ += 1;
  } else if (word == 0) {
    counterZeros_ += 1;
  } else {
    stats_.counterBreaks += 1;
    counterZeros_ = 0;
    counterNext_ = word + 1;
  }
}

std::vector<uint8_t> Sink::audio() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> out;
  out.reserve(stats_.audioBytes);
  for (const auto& c : chunks_) out.insert(out.end(), c.begin(), c.end());
  return out;
}

std::vector<SinkPacket> Sink::packets() const {
  std::lock_guard<std::mutex> lock(mu_);
  return packets_;
}

SinkStats Sink::stats() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

uint64_t Sink::wireFormat() const {
  std::lock_guard<std::mutex> lock(mu_);
  return wire_;
}

bool Sink::connectedMs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ms_;
}

std::string Sink::hostName() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hostName_;
}

uint64_t Sink::hostTag() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hostTag_;
}

uint64_t Sink::connectPre() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connectPre_;
}

KALMO::IPAddress Sink::hostControl() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hostControl_;
}

bool Sink::waitAudio(uint64_t bytes, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return stats_.audioBytes >= bytes; });
}

bool Sink::waitStats(const std::function<bool(const SinkStats&)>& done,
                     std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return done(stats_); });
}

}  // namespace vsim
