#pragma once
// One icon downloaded from a target (Find::downloadIcon): its pixels row
// after row, row 0 first. A width of 0 means no icon.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace VELLORA {

class Icon {
 public:
  // Four bytes as received; a one-byte pixel sits in the fourth byte.
  using Pixel = std::array<uint8_t, 4>;

  bool singleByte = false;  // the icon came one byte per pixel
  std::vector<Pixel> pixels;
  uint16_t width = 0;

  size_t height() const { return width == 0 ? 0 : pixels.size() / width; }
  void clear() {
    singleByte = false;
    pixels.clear();
    width = 0;
  }
};

}  // namespace VELLORA
