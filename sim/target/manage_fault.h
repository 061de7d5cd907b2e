#pragma once
// How a stand-in's management answer (upload, information, settings, icons)
// goes wrong. Each kind of answer carries one Fault with its own count: the
// first `skip` answers go out right, the next `times` ones (-1: all the
// rest) as `kind` says.

#include "sim/target/target_sim.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace vsim {

struct Fault {
  enum class Kind {
    NONE,         // the right answer
    SILENT,       // no answer
    REFUSE,       // the answer without STATUS_ACK
    ECHO,         // the request's own bytes back
    OTHER,        // option0 one more: the answer for another slot or item
    TRUNCATED,    // only the first 10 header bytes
    LENGTH_OVER,  // the length word claims 8 bytes more than are sent
  };
  Kind kind = Kind::NONE;
  int skip = 0;
  int times = -1;
  EndpointId from = NO_ENDPOINT;  // send the (faulty) answer from here instead
  bool thenAnswer = false;        // after the faulty one, the right answer from the addressed endpoint
  std::chrono::milliseconds delay{0};

  static Fault always(Kind k) { return Fault{k}; }
  static Fault once(Kind k, int skip = 0) { return Fault{k, skip, 1}; }
  // A faulty answer from another endpoint, then the right one.
  static Fault decoy(Kind k, EndpointId from) {
    Fault f{k};
    f.from = from;
    f.thenAnswer = true;
    return f;
  }
};

// The running count of one Fault; not thread-safe (the owner's lock).
class FaultCount {
 public:
  // True when the next answer is a faulty one.
  bool next(const Fault& fault);

 private:
  int seen_ = 0;
};

// Sends the answer (code, STATUS_ACK, option, payload) to `request` from the
// endpoint it reached, spoilt as `fault` says when `hit`.
void answerWith(TargetSim& engine, const Datagram& request, uint16_t code, uint64_t option,
                const std::vector<uint8_t>& payload, const Fault& fault, bool hit);

// The four 16-bit options as one 64-bit option.
constexpr uint64_t options(uint16_t o0, uint16_t o1, uint16_t o2, uint16_t o3) {
  return uint64_t{o0} | (uint64_t{o1} << 16) | (uint64_t{o2} << 32) | (uint64_t{o3} << 48);
}

}  // namespace vsim
