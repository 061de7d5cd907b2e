#include "sim/target/debug.h"

#include "protocol/message_id.h"

#include <algorithm>

namespace vsim {

namespace {

constexpr uint16_t kTextOption = 2;

}  // namespace

DebugPort::DebugPort(TargetSim& sim, const KALMO::IPAddress& address) : sim_(sim) {
  KALMO::IPAddress at = address;
  at.port = static_cast<uint16_t>((PORT >> 8) | (PORT << 8));
  endpoint_ = sim_.addEndpoint(at);
  ownEndpoint_ = true;
  sim_.onCode(endpoint_, VELLORA::DEBUG_REQ,
              [this](TargetSim&, const Datagram& d) { return onRequest(d); });
}

DebugPort::DebugPort(TargetSim& sim, EndpointId existing) : sim_(sim), endpoint_(existing) {
  sim_.onCode(endpoint_, VELLORA::DEBUG_REQ,
              [this](TargetSim&, const Datagram& d) { return onRequest(d); });
}

DebugPort::~DebugPort() {
  sim_.onCode(endpoint_, VELLORA::DEBUG_REQ, TargetSim::Handler());
  // A handler may still run on the engine thread: wait for one round of it.
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  sim_.after(std::chrono::milliseconds(0), [&] {
    std::lock_guard<std::mutex> lock(m);
    done = true;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(2), [&] { return done; });
  }
  if (ownEndpoint_) sim_.removeEndpoint(endpoint_);
}

KALMO::IPAddress DebugPort::address() const { return sim_.address(endpoint_); }

void DebugPort::setAnswer(bool answer) {
  std::lock_guard<std::mutex> lock(mu_);
  answer_ = answer;
}

void DebugPort::setGreeting(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  greeting_ = text;
}

std::vector<KALMO::IPAddress> DebugPort::listeners() const {
  std::lock_guard<std::mutex> lock(mu_);
  return listeners_;
}

bool DebugPort::waitListeners(size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return listeners_.size() >= n; });
}

std::vector<uint8_t> DebugPort::textDatagram(const std::string& text) {
  return TargetSim::build(VELLORA::DEBUG_ANS, 0, kTextOption,
                          std::vector<uint8_t>(text.begin(), text.end()));
}

bool DebugPort::sendText(const KALMO::IPAddress& to, const std::string& text) {
  return sim_.send(endpoint_, to, textDatagram(text));
}

bool DebugPort::sendText(const std::string& text) {
  const std::vector<KALMO::IPAddress> to = listeners();
  bool ok = !to.empty();
  for (const KALMO::IPAddress& host : to) ok = sendText(host, text) && ok;
  return ok;
}

bool DebugPort::onRequest(const Datagram& d) {
  bool answer = false;
  std::string greeting;
  const bool wants = d.option0() == 1;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto at = std::find(listeners_.begin(), listeners_.end(), d.sender);
    const bool isNew = at == listeners_.end();
    if (wants && isNew) listeners_.push_back(d.sender);
    if (!wants && !isNew) listeners_.erase(at);
    answer = answer_;
    if (wants) greeting = greeting_;
    cv_.notify_all();
  }
  if (answer) {
    Answer a;
    a.option = d.option0();
    sim_.reply(d, a);
  }
  if (!greeting.empty()) sendText(d.sender, greeting);
  return true;
}

}  // namespace vsim
