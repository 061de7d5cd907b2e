#pragma once
// The code handlers one stand-in behaviour (upload, information and
// settings, icons) registers on one endpoint, removed again when it goes.
// Each handler runs on the engine thread under its state's mutex, so the
// test thread may read that state under the same mutex.

#include "sim/target/target_sim.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vsim {

class EndpointHandlers {
 public:
  EndpointHandlers(TargetSim& engine, EndpointId endpoint) : engine_(engine), endpoint_(endpoint) {}
  ~EndpointHandlers() {
    for (uint16_t code : codes_) engine_.onCode(endpoint_, code, nullptr);
  }
  EndpointHandlers(const EndpointHandlers&) = delete;
  EndpointHandlers& operator=(const EndpointHandlers&) = delete;

  // Valid requests of `code` go to serve(*state, engine, request), which
  // deals with them all.
  template <class State, class Serve>
  void serve(uint16_t code, const std::shared_ptr<State>& state, Serve serve) {
    codes_.push_back(code);
    engine_.onCode(endpoint_, code, [state, serve](TargetSim& engine, const Datagram& request) {
      std::lock_guard<std::mutex> lock(state->mu);
      serve(*state, engine, request);
      return true;
    });
  }

 private:
  TargetSim& engine_;
  EndpointId endpoint_;
  std::vector<uint16_t> codes_;
};

}  // namespace vsim
