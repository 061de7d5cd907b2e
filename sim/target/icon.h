#pragma once
// The icons of a stand-in target: each icon set (0, 1, 2) answers its header
// request with width, height and pixel format and its pixel requests with
// the pixels from the asked row and column on, as many as the request asks
// (a group of rows, or the rest of one row), or fewer or more when told to.
//
//   vsim::IconSpec icon;
//   icon.code = 2;
//   icon.width = icon.height = 32;
//   vsim::IconSim icons(engine, ep, {icon});
//   // icons.bytes(0) holds what the host must end up with

#include "sim/target/manage_fault.h"
#include "sim/target/manage_handlers.h"
#include "sim/target/target_sim.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vsim {

struct IconSpec {
  uint16_t set = 0;  // 0, 1, 2
  uint16_t code = 1;
  uint16_t width = 32;
  uint16_t height = 32;
  uint16_t format = 0;        // 2: one byte per pixel, else four
  std::vector<uint8_t> bytes;  // row-major; empty: a pattern that differs per set and code
  int answerPixels = -1;      // at most this many pixels per answer (short answers); -1: as asked
  int extraBytes = 0;         // bytes added after the pixels of every answer (overlong, misaligned)
  Fault headerFault, pixelFault;
};

class IconSim {
 public:
  IconSim(TargetSim& engine, EndpointId endpoint, const std::vector<IconSpec>& icons);

  // The pixel bytes of icon k (in the order given), pattern filled in.
  std::vector<uint8_t> bytes(size_t k) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  EndpointHandlers handlers_;  // after state_: removed first
};

}  // namespace vsim
