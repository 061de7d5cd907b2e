#pragma once
// CRC-16/USB: polynomial 0x8005 reflected (0xA001), initial value 0xFFFF,
// final XOR 0xFFFF. "123456789" gives 0xB4C8.

#include <cstdint>

#include "base/buffer.h"

namespace KALMO {

class CRC16 {
 public:
  CRC16() = default;

  void clear() { state = 0xFFFF; }
  // Folds every byte of the view into the register; views may be fed in
  // pieces.
  void update(BufferCS_const view);
  // The check value so far; update may go on afterwards.
  uint16_t get() const { return static_cast<uint16_t>(~state); }

  uint16_t state = 0xFFFF;
};

}  // namespace KALMO
