#pragma once
// A sink for the target stand-in: answers the stream handshake, receives
// the stream on its control port (or headerless on its data port), keeps the
// audio in order, answers info requests with the feedback it is told to
// give, asks for resends of packets it was told to drop, and ends streams.
//
//   vsim::TargetSim sim;
//   vsim::Sink sink(sim);                 // endpoints on [::1]
//   ... host.setSink(sink.address(), ...), connect, stream ...
//   sink.waitAudio(bytes, timeout);
//   auto audio = sink.audio();            // every byte, in sequence order
//
// Every operation is thread-safe; handlers run on the engine thread.

#include "base/clock.h"
#include "base/ip_address.h"
#include "base/socket.h"
#include "sim/target/target_sim.h"

#include <array>
#include <atomic>
#include <thread>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vsim {

// Options 0 to 2 of a feedback STREAMINFO_ANS.
struct SinkFeedback {
  uint16_t option0 = 0x2000;
  uint16_t option1 = 0;
  uint16_t option2 = 0;

  // The same buffer state in each of the four kinds (0 to 3) of the
  // protocol; kind 0 carries no error, so it is always neutral.
  static SinkFeedback neutral(int kind = 1);
  static SinkFeedback tooFull(int kind = 1);   // error +0.5
  static SinkFeedback tooEmpty(int kind = 1);  // error -0.5
};

// What the network between host and sink does to one datagram.
struct NetFate {
  bool drop = false;
  int copies = 1;                      // delivered this often when not dropped
  std::chrono::milliseconds delay{0};  // held back (later datagrams overtake it)
};

// Fates for the two directions. A stream packet is known by its header; a
// datagram to the host by its kind.
struct WirePacket {
  uint16_t sequence = 0;
  bool resent = false;  // the number was on the wire before
  bool cycleEnd = false;
  bool infoRequest = false;
};
enum class ToHost { RESEND_REQUEST, FEEDBACK, OTHER };
using PacketNet = std::function<NetFate(const WirePacket& packet)>;
using HostNet = std::function<NetFate(ToHost kind)>;

struct SinkConfig {
  // SUPPORTFORMAT_ANS per group asked; the answer to option 0 is their union.
  uint64_t pcm = 0;
  uint64_t dsdLsb = 0;
  uint64_t dsdMsb = 0;
  // PARAMETER_ANS options 0 to 2; none: the request is not answered.
  std::optional<std::array<uint16_t, 3>> parameter;
  // LATENCY_ANS: the agreed latency for a request of 0 (a wish is granted
  // as it stands) and the hardware latency, 100 us units.
  uint16_t latency = 20;
  uint16_t hwLatency = 5;
  bool answerLatency = true;
  // DATASIZE_ANS options 0 and 1; none: not answered.
  std::optional<std::pair<uint16_t, uint16_t>> dataSize = std::make_pair(uint16_t{1500}, uint16_t{0xFFFF});
  bool answerMtuTest = true;
  bool answerConnectPre = true;
  uint16_t connectPreLatency = 30;
  bool answerSynchroNode = true;
  // CONNECTMS_ANS offers a data port; false gives data port 0.
  bool offerDataPort = true;
  bool answerConnect = true;
  // The phase the sink states in its answers.
  bool inverted = false;
  bool answerDisconnect = true;
  // False: the audio is counted and checksummed, not kept (a long stream
  // at a high rate would otherwise hold hundreds of megabytes), and no
  // packet records are kept either.
  bool keepAudio = true;
  // Checks the audio as the card player's frame counter in 32-bit samples
  // (sample k holds k + 1), after the mute bytes before its start.
  bool checkCounter = false;
};

// One stream packet as it arrived.
struct SinkPacket {
  uint64_t index = 0;       // sequence number, unwrapped
  uint32_t bytes = 0;       // audio bytes
  bool cycleEnd = false;
  bool infoRequest = false;
  bool headerless = false;  // came on the data port
  uint8_t tag = 0;          // the data port's tag byte
  KALMO::Clock time;
};

struct SinkStats {
  uint64_t packets = 0;     // every stream packet that arrived
  uint64_t duplicates = 0;  // already received before
  uint64_t gaps = 0;        // times a packet was missing
  uint64_t ahead = 0;       // came after a gap, discarded until resent
  uint64_t dropped = 0;     // dropped on purpose
  uint64_t audioBytes = 0;  // kept in order
  uint64_t infoRequests = 0;
  uint64_t resendRequests = 0;  // RESEND_REQ sent
  uint64_t feedbacks = 0;       // feedback answers sent
  uint64_t disconnects = 0;     // DSICONNECT_REQ received
  uint64_t synchroStatus = 0;   // SYNCHRO_STATUS_REQ received
  uint64_t connects = 0;        // CONNECT_REQ or CONNECTMS_REQ accepted
  uint64_t wire = 0;            // stream packets the host put on the wire
  uint64_t netDropped = 0;      // lost to the network (setNetwork)
  uint64_t checksum = 14695981039346656037ull;  // FNV-1a (64 bit) of the audio kept in order
  // With checkCounter: runs of zero samples inside the counter (silence
  // put into the stream), and samples that do not follow the one before.
  uint64_t counterSilences = 0;
  uint64_t counterBreaks = 0;
};

class Sink {
 public:
  explicit Sink(TargetSim& sim, const KALMO::IPAddress& at = ipv6("::1", 0),
                const SinkConfig& config = SinkConfig());
  ~Sink();
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  // The handshake endpoint (the output port's address).
  KALMO::IPAddress address() const;
  EndpointId handshakeEndpoint() const { return handshake_; }
  EndpointId controlEndpoint() const { return control_; }

  // Behaviour while running.
  void setFeedback(const SinkFeedback& feedback);
  void setInverted(bool inverted);  // the phase stated from now on
  void setSilent(bool silent);      // stop answering on the control port
  void setAnswerDisconnect(bool answer);
  void dropOnce(uint64_t index);    // drop this packet's first arrival
  void dropEvery(uint64_t k);       // drop the first arrival of every k-th packet (0: none)
  // A network between host and sink: stream packets on the control port
  // and the sink's resend requests, feedback and DSICONNECT_ANS pass
  // through these (an empty function passes everything as it is).
  void setNetwork(PacketNet toSink, HostNet toHost);
  // The sink takes nothing in for this long (its queues fill meanwhile).
  void pause(std::chrono::milliseconds length);
  // Sends an unasked message to the host's control socket, from the control
  // port (or from `from` when given).
  bool sendToHost(uint16_t code, VELLORA::StatusID status, uint64_t option,
                  EndpointId from = NO_ENDPOINT);
  // A resend request for `first` on, from the control port.
  bool requestResend(uint16_t first);

  // What arrived.
  std::vector<uint8_t> audio() const;
  std::vector<SinkPacket> packets() const;
  SinkStats stats() const;
  uint64_t wireFormat() const;       // the option of the connect request
  bool connectedMs() const;          // the stream uses the data port
  std::string hostName() const;      // payload of CONNECTNAME_REQ
  uint64_t hostTag() const;
  uint64_t connectPre() const;       // option of CONNECTPRE_REQ
  KALMO::IPAddress hostControl() const;
  // Waits until at least `bytes` audio bytes are kept.
  bool waitAudio(uint64_t bytes, std::chrono::milliseconds timeout) const;
  // Waits until the predicate over the statistics holds.
  bool waitStats(const std::function<bool(const SinkStats&)>& done,
                 std::chrono::milliseconds timeout) const;

 private:
  bool onHandshake(const Datagram& d);
  bool onControl(const Datagram& d);
  void readData();
  // One stream packet, from either port; caller holds mu_.
  void onPacket(uint16_t sequence, bool sevenBits, bool cycleEnd, bool infoRequest, bool headerless,
                uint8_t tag, const uint8_t* audio, size_t bytes, KALMO::Clock time);
  bool shouldDrop(uint64_t index);
  void append(const uint8_t* audio, size_t bytes);
  void checkCounter(const uint8_t* audio, size_t bytes);
  void counterWord(uint32_t word);
  void sendControl(const std::vector<uint8_t>& bytes, ToHost kind);
  // Sends to `to` from endpoint `from` as the network decides; caller holds mu_.
  void sendThroughNet(EndpointId from, const KALMO::IPAddress& to, std::vector<uint8_t> bytes,
                      ToHost kind);
  // Drops what the data port holds of an earlier stream; caller holds mu_.
  void flushStaleData();
  VELLORA::StatusID phaseBits() const;

  TargetSim& sim_;
  EndpointId handshake_ = NO_ENDPOINT;
  EndpointId control_ = NO_ENDPOINT;
  KALMO::Socket dataSocket_;
  KALMO::IPAddress dataAddress_;
  std::thread dataThread_;
  std::atomic<bool> dataStop_{false};
  std::atomic<uint64_t> dataStream_{0};  // streams begun, for the data reader

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  SinkConfig config_;
  SinkFeedback feedback_;
  bool silent_ = false;
  std::vector<uint64_t> dropOnce_;
  uint64_t dropEvery_ = 0;
  uint64_t droppedUpTo_ = 0;  // every-k drops are decided once per index
  bool anyDropped_ = false;
  PacketNet toSink_;
  HostNet toHost_;
  uint64_t wireHighest_ = 0;  // newest sequence on the wire, unwrapped (once stats_.wire > 0)
  uint64_t streamGen_ = 0;  // streams begun
  // Delayed packets run on the engine after the sink may be gone.
  struct Life {
    std::mutex mu;
    bool alive = true;
  };
  std::shared_ptr<Life> life_ = std::make_shared<Life>();

  KALMO::IPAddress hostControl_;
  bool ms_ = false;
  uint64_t wire_ = 0;
  uint64_t connectPre_ = 0;
  std::string hostName_;
  uint64_t hostTag_ = 0;

  uint64_t expected_ = 0;       // next index to keep
  bool resendAsked_ = false;    // a request for expected_ is out
  KALMO::Clock resendAskedAt_;
  uint64_t highest_ = 0;        // newest index seen
  uint64_t previous_ = 0;       // index of the packet before
  bool seenAny_ = false;
  std::vector<std::vector<uint8_t>> chunks_;  // the audio kept, in order
  // Frame-counter check of the current stream.
  bool counterStarted_ = false;
  uint32_t counterNext_ = 0;
  uint64_t counterZeros_ = 0;  // zero samples since the last counter sample
  uint32_t counterPart_ = 0;   // bytes of a sample cut by a packet end
  unsigned counterPartBytes_ = 0;
  std::vector<SinkPacket> packets_;
  SinkStats stats_;
};

}  // namespace vsim
