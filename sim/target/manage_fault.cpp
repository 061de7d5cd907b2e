#include "sim/target/manage_fault.h"

#include <utility>

namespace vsim {
namespace {

void putWord(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  if (bytes.size() < at + 2) return;
  bytes[at] = static_cast<uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void sendAfter(TargetSim& engine, std::chrono::milliseconds delay, EndpointId from, const KALMO::IPAddress& to,
               std::vector<uint8_t> bytes) {
  if (delay.count() > 0) {
    engine.sendLater(delay, from, to, std::move(bytes));
  } else {
    engine.send(from, to, bytes);
  }
}

}  // namespace

bool FaultCount::next(const Fault& fault) {
  const int n = seen_++;
  if (n < fault.skip) return false;
  return fault.times < 0 || n - fault.skip < fault.times;
}

void answerWith(TargetSim& engine, const Datagram& request, uint16_t code, uint64_t option,
                const std::vector<uint8_t>& payload, const Fault& fault, bool hit) {
  const std::vector<uint8_t> right = TargetSim::build(code, VELLORA::STATUS_ACK, option, payload);
  if (!hit) {
    sendAfter(engine, fault.delay, request.endpoint, request.sender, right);
    return;
  }
  std::vector<uint8_t> bytes;
  switch (fault.kind) {
    case Fault::Kind::NONE:
      bytes = right;
      break;
    case Fault::Kind::SILENT:
      break;
    case Fault::Kind::REFUSE:
      bytes = TargetSim::build(code, 0, option, payload);
      break;
    case Fault::Kind::ECHO:
      bytes = request.bytes;
      break;
    case Fault::Kind::OTHER:
      bytes = TargetSim::build(code, VELLORA::STATUS_ACK, (option & ~uint64_t{0xFFFF}) | ((option + 1) & 0xFFFF),
                               payload);
      break;
    case Fault::Kind::TRUNCATED:
      bytes = right;
      bytes.resize(10);
      break;
    case Fault::Kind::LENGTH_OVER:
      bytes = right;
      putWord(bytes, 2, VELLORA::lengthWord(payload.size() + 8));
      break;
  }
  const EndpointId from = fault.from != NO_ENDPOINT ? fault.from : request.endpoint;
  if (!bytes.empty()) sendAfter(engine, fault.delay, from, request.sender, std::move(bytes));
  if (fault.thenAnswer) sendAfter(engine, fault.delay, request.endpoint, request.sender, right);
}

}  // namespace vsim
