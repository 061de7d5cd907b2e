#include "protocol/stream.h"

#include <algorithm>
#include <utility>

namespace VELLORA {

Stream::Stream(Stream&& other) noexcept { swap(other); }

Stream& Stream::operator=(Stream&& other) noexcept {
  swap(other);
  return *this;
}

Stream& Stream::operator=(const Stream& other) {
  // Viewing oneself would leave data pointing at bytes own no longer holds;
  // the block keeps its bytes and only takes the view's tags.
  if (this != &other) {
    own.clear();
    data = other.data;
    frames = other.frames;
    format = other.format;
    tag = other.tag;
    size = other.size;
  }
  tagA = 0;
  tagB = 0xFFFF;
  return *this;
}

void Stream::reset() {
  data = nullptr;
  frames = 0;
  format = 0;
  tag = 0;
  tagA = 0;
  tagB = 0;
}

void Stream::resize(unsigned long n) {
  own.resize(n);
  size = n;
  data = own.data();
}

void Stream::resize(unsigned long n, unsigned char value) {
  own.resize(n);
  std::fill(own.begin(), own.end(), value);
  size = n;
  data = own.data();
}

void Stream::fill(unsigned char value) { std::fill(own.begin(), own.end(), value); }

void Stream::clear() {
  own.clear();
  reset();
  size = 0;
}

void Stream::swap(Stream& other) noexcept {
  std::swap(data, other.data);
  std::swap(frames, other.frames);
  std::swap(format, other.format);
  std::swap(tag, other.tag);
  std::swap(tagA, other.tagA);
  std::swap(tagB, other.tagB);
  own.swap(other.own);
  std::swap(size, other.size);
}

void Stream::resize_fmt(int count, _vellora_stream_format fmt) {
  if (fmt == 0) fmt = format;
  const uint64_t bitsPerFrame =
      uint64_t(uint32_t(fmt) & 0xFF) * uint64_t((uint32_t(fmt) >> 8) & 0xFF);
  // In 64 bits: count x 255 x 255 overflows an int from 33026 frames on.
  const uint64_t bytes = count > 0 ? uint64_t(count) * bitsPerFrame / 8 : 0;
  own.clear();
  own.resize(bytes);
  data = own.data();
  frames = count;
  format = fmt;
  tag = 0;
  tagA = 0;
  tagB = 0;
  size = bytes;
}

}  // namespace VELLORA
