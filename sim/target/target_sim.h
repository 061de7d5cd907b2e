#pragma once
// The network target stand-in's engine: UDP/IPv6 endpoints served by one
// thread of its own, a scriptable answer per message code, and a log of
// every datagram received.
//
// Use (in a test, inside its private network namespace):
//
//   vsim::TargetSim sim;                                  // the thread runs
//   vsim::EndpointId ep = sim.addEndpoint(vsim::ipv6("::1", 0));
//   KALMO::IPAddress peer = sim.address(ep);              // port chosen
//   // Unscripted, an endpoint answers every valid even request (except
//   // STREAMDATA_REQ) from itself with the answer code (code + 1,
//   // SUPPORTFORMAT_ANS for PROBE_REQ) and STATUS_ACK, options 0, no
//   // payload. Scripts change that per endpoint and code:
//   vsim::Script s;
//   s.silentFirst = 1;                                    // answer try 2
//   s.answer.option = 0x1234;
//   sim.script(ep, VELLORA::LATENCY_REQ, s);
//   ... run the code under test against `peer` ...
//   sim.waitFor(ep, VELLORA::LATENCY_REQ, 2, std::chrono::seconds(1));
//   auto log = sim.received(ep, VELLORA::LATENCY_REQ);   // sender, time, ...
//
// Behaviours (discovery, control, sink, upload, ...) build on this engine
// with handlers: onCode(ep, code, h) for valid datagrams of one code,
// onEndpoint(ep, h) for every datagram of an endpoint that no code handler
// took (valid or not, e.g. headerless audio). A handler returns true when it
// dealt with the datagram, false to pass it on. Order for a datagram:
// script for the code, script for ANY_CODE, code handler, endpoint handler,
// the default answer above. Handlers run on the engine thread; they may call
// every operation here (reply, send, after, script, ...), but must not block.
//
// The engine thread runs in the round-robin real-time class at priority 10
// when the process may use it (as root), so that its answers keep the host's
// short windows on a busy machine; otherwise in the normal class.
//
// Sockets are created on the thread that calls addEndpoint, so they belong
// to that thread's network namespace (enter the target namespace first);
// interface names are resolved there too. Every operation is thread-safe.

#include "base/buffer.h"
#include "base/clock.h"
#include "base/ip_address.h"
#include "protocol/message.h"
#include "protocol/message_id.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vsim {

using EndpointId = int;
inline constexpr EndpointId NO_ENDPOINT = -1;
inline constexpr int ANY_CODE = -1;

// ::1, fe80::..., ff02::1 with a port in host order and a scope.
// An unparsable text gives the unspecified address.
KALMO::IPAddress ipv6(const std::string& text, uint16_t port, uint32_t scope = 0);
// The port of an endpoint in host order.
uint16_t portOf(const KALMO::IPAddress& address);
// The first link-local address of a local interface with its index as scope
// (in the calling thread's namespace); false when it has none.
bool linkLocalOf(const std::string& device, KALMO::IPAddress& out);

struct EndpointSpec {
  // Address, port (0: the system chooses, see address()) and scope. For a
  // link-local address the scope is the interface index.
  KALMO::IPAddress address;
  // Non-empty: the socket sees only this interface (and its index is the
  // scope when address.interfaceIndex is 0).
  std::string device;
  // Join ff02::1 on the endpoint's interface, for discovery requests.
  bool joinAllNodes = false;
};

// One datagram the stand-in received.
struct Datagram {
  std::vector<uint8_t> bytes;  // as it arrived
  bool valid = false;          // a well-formed protocol datagram
  uint16_t code = 0;           // the header words, 0 when too short
  uint16_t status = 0;
  uint64_t option = 0;
  std::vector<uint8_t> payload;  // valid datagrams only
  KALMO::IPAddress sender;
  EndpointId endpoint = NO_ENDPOINT;
  KALMO::Clock time;  // monotonic picoseconds at reception

  uint16_t option0() const { return static_cast<uint16_t>(option); }
  uint16_t option1() const { return static_cast<uint16_t>(option >> 16); }
  uint16_t option2() const { return static_cast<uint16_t>(option >> 32); }
  uint16_t option3() const { return static_cast<uint16_t>(option >> 48); }
  std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// An answer datagram.
struct Answer {
  int code = -1;  // -1: the request's answer code
  VELLORA::StatusID status = VELLORA::STATUS_ACK;
  uint64_t option = 0;
  std::vector<uint8_t> payload;

  static Answer withText(const std::string& text, uint64_t option = 0);
};

enum class Malformed {
  BAD_MAGIC,         // magic 99
  SHORT,             // only the first 10 header bytes
  LENGTH_TOO_LARGE,  // the length word claims 8 bytes more than are sent
  LENGTH_WORD,       // the length word replaced by Script::lengthWord
};

// What an endpoint does with one request code.
struct Script {
  enum class Action {
    ANSWER,     // send `answer`
    REFUSE,     // send `answer` without STATUS_ACK
    ECHO,       // send the request's own bytes back
    SILENT,     // send nothing
    MALFORMED,  // send `answer` damaged as `malformed` says
    RAW,        // send `raw` as it is
    HANDLER,    // what the endpoint does unscripted (handler or default)
  };
  Action action = Action::ANSWER;
  Answer answer;
  Malformed malformed = Malformed::BAD_MAGIC;
  uint16_t lengthWord = 17;
  std::vector<uint8_t> raw;
  std::chrono::milliseconds delay{0};  // before the action's datagram goes
  int silentFirst = 0;                 // ignore the first k requests
  EndpointId from = NO_ENDPOINT;       // send from this endpoint instead
  // After the action, also send the plain accepted answer from the
  // addressed endpoint (a decoy first, then the real answer).
  bool thenAnswer = false;
};

class TargetSim {
 public:
  using Handler = std::function<bool(TargetSim&, const Datagram&)>;

  TargetSim();   // starts the engine thread
  ~TargetSim();  // stops and joins it, then closes every endpoint
  TargetSim(const TargetSim&) = delete;
  TargetSim& operator=(const TargetSim&) = delete;

  // False when the engine could not start (no thread, no wake-up).
  bool running() const { return running_.load(); }

  // Endpoints. NO_ENDPOINT when the socket cannot be created or bound.
  EndpointId addEndpoint(const EndpointSpec& layout);
  EndpointId addEndpoint(const KALMO::IPAddress& address);
  bool removeEndpoint(EndpointId id);
  // The bound endpoint: address, actual port, scope. All zero when unknown.
  KALMO::IPAddress address(EndpointId id) const;

  // Behaviour. An empty handler removes the registration.
  void onCode(EndpointId id, uint16_t code, Handler handler);
  void onEndpoint(EndpointId id, Handler handler);
  void script(EndpointId id, int code, const Script& script);
  void unscript(EndpointId id, int code);

  // Sending, from any thread. False when the endpoint is unknown or the
  // system refused the datagram.
  bool send(EndpointId from, const KALMO::IPAddress& to, KALMO::BufferCS_const bytes);
  bool send(EndpointId from, const KALMO::IPAddress& to, const std::vector<uint8_t>& bytes);
  // Sends the record's header-only or padded image (a SendBuffer as updated).
  bool send(EndpointId from, const KALMO::IPAddress& to, const VELLORA::Send& record);
  // Sends later from the engine thread.
  void sendLater(std::chrono::milliseconds delay, EndpointId from, const KALMO::IPAddress& to,
                 std::vector<uint8_t> bytes);
  // Runs work on the engine thread after delay.
  void after(std::chrono::milliseconds delay, std::function<void()> work);

  // Answers a request from the endpoint it reached (or `from`).
  bool reply(const Datagram& request, const Answer& answer, EndpointId from = NO_ENDPOINT);
  // The unscripted answer: an accepted answer to a valid even request other
  // than STREAMDATA_REQ; false when there is none to give.
  bool answerDefault(const Datagram& request);
  // The bytes of a protocol datagram.
  static std::vector<uint8_t> build(uint16_t code, VELLORA::StatusID status, uint64_t option,
                                    const std::vector<uint8_t>& payload = {});
  // The answer code of a request code.
  static uint16_t answerCode(uint16_t requestCode);

  // The log of received datagrams, oldest first. NO_ENDPOINT matches every
  // endpoint; a code matches valid datagrams of that code only.
  std::vector<Datagram> received() const;
  std::vector<Datagram> received(EndpointId id, int code = ANY_CODE) const;
  size_t count(EndpointId id, int code = ANY_CODE) const;
  // Waits until at least n datagrams of that endpoint and code were logged.
  bool waitFor(EndpointId id, int code, size_t n, std::chrono::milliseconds timeout) const;
  // Waits until the predicate over the whole log holds.
  bool waitUntil(const std::function<bool(const std::deque<Datagram>&)>& done,
                 std::chrono::milliseconds timeout) const;
  void clearLog();
  // At most this many entries are kept (the oldest go first); 100000 at start.
  void setLogLimit(size_t limit);

 private:
  struct Endpoint;
  struct ScriptState {
    Script script;
    int seen = 0;
  };

  std::shared_ptr<Endpoint> find(EndpointId id) const;
  void run();
  void wake();
  void receiveFrom(const std::shared_ptr<Endpoint>& ep);
  void dispatch(const Datagram& d);
  void applyScript(const Datagram& d, const Script& s);
  void record(const Datagram& d);
  void sendDelayed(std::chrono::milliseconds delay, EndpointId from, const KALMO::IPAddress& to,
                   std::vector<uint8_t> bytes);

  mutable std::mutex mu_;  // endpoints, handlers, scripts, timers
  std::map<EndpointId, std::shared_ptr<Endpoint>> endpoints_;
  EndpointId nextId_ = 0;
  std::map<std::pair<EndpointId, int>, std::shared_ptr<Handler>> codeHandlers_;
  std::map<EndpointId, std::shared_ptr<Handler>> endpointHandlers_;
  std::map<std::pair<EndpointId, int>, ScriptState> scripts_;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;

  mutable std::mutex logMu_;
  mutable std::condition_variable logCv_;
  std::deque<Datagram> log_;
  uint64_t firstSeq_ = 0;  // arrival number of log_.front()
  size_t logLimit_ = 100000;

  std::vector<uint8_t> receiveSpace_;  // engine thread only

  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  int wakeFd_ = -1;
  std::thread thread_;
};

}  // namespace vsim
