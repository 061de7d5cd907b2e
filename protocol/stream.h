#pragma once
// One block of audio bytes handed from the audio source to the streaming
// engine. A block either owns its bytes (`own`) or is a view of another
// block's bytes: the copy assignment makes a view, so handing a block to the
// streaming worker never copies audio. A view stays valid only while the
// block it points into is neither resized nor freed.
//
// The ring of blocks is refilled every period: resize and clear keep the
// capacity of `own`, so refilling a block of the same size never allocates.

#include <cstdint>

#include "base/buffer.h"

namespace VELLORA {

// Stream format word of the driver-side interface: byte 0 times byte 1 is
// the number of bits per frame.
using _vellora_stream_format = int32_t;

class Stream {
 public:
  Stream() = default;
  Stream(Stream&& other) noexcept;
  Stream& operator=(Stream&& other) noexcept;
  // View copy: this block forgets its own bytes (keeping their capacity) and
  // shows other's. tagA becomes 0 and tagB 0xFFFF.
  Stream& operator=(const Stream& other);
  Stream(const Stream&) = delete;
  ~Stream() = default;

  // Zeroes data, frames, format and the tags; own and size stay.
  void reset();
  // own becomes n bytes (kept bytes unchanged, new ones zero) and data its
  // start; frames and format stay.
  void resize(unsigned long n);
  // own becomes n bytes, every one of them value.
  void resize(unsigned long n, unsigned char value);
  // Every byte of own becomes value; sizes stay.
  void fill(unsigned char value);
  // Empties the block (capacity kept) and zeroes every other member.
  void clear();
  void swap(Stream& other) noexcept;
  // count frames of fmt (0: the present format) as zero bytes; the tags are
  // zeroed. A count below 1 gives an empty block.
  void resize_fmt(int count, _vellora_stream_format fmt);

  uint8_t* data = nullptr;
  int32_t frames = 0;
  _vellora_stream_format format = 0;
  int32_t tag = 0;
  uint16_t tagA = 0;
  uint16_t tagB = 0;
  KALMO::Buffer own;
  uint64_t size = 0;
};

}  // namespace VELLORA
