#include "base/crc16.h"

#include <array>

namespace KALMO {

namespace {

constexpr std::array<uint16_t, 256> makeTable() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ 0xA001u : r >> 1;
    t[i] = static_cast<uint16_t>(r);
  }
  return t;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

}  // namespace

void CRC16::update(BufferCS_const view) {
  if (view.data == nullptr) return;
  uint16_t s = state;
  for (size_t i = 0; i < view.size; ++i) {
    s = static_cast<uint16_t>((s >> 8) ^ kTable[(s ^ view.data[i]) & 0xFFu]);
  }
  state = s;
}

}  // namespace KALMO
